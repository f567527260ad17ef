// TsdXmlDocument: writing a document as XML text, to streams, files and
// strings, and copying documents.
#include "base/exceptions.h"
#include "base/file_stream.h"
#include "base/memory_stream.h"
#include "xml/xml_document.h"
#include "xml/xml_writer.h"

namespace quillon {

TsdXmlDocument::TsdXmlDocument(std::string_view root_name) : TsdXmlDocument() { root_->SetName(root_name); }

void TsdXmlDocument::WriteToStream(TStream& stream) {
  if (!root_ || root_->Name().empty()) throw EFilerError("XML root element not defined.");
  TXmlWriter out(stream);
  DoProgress(0);
  const std::string lf = LineFeed();
  if (!version_string_.empty() || !encoding_.empty()) {
    out.Append("<?xml ");
    if (!version_string_.empty()) {
      out.Append("version=\"");
      out.Append(EscapeString(version_string_));
      out.Append('"');
    }
    if (!encoding_.empty()) {
      out.Append(" encoding=\"");
      out.Append(EscapeString(encoding_));
      out.Append('"');
    }
    out.Append("?>");
    out.Append(lf);
  }
  if (!style_sheet_.empty()) {
    out.Append("<?xml-stylesheet ");
    out.Append(style_sheet_);
    out.Append("?>");
    out.Append(lf);
  }
  for (const std::string& comment : comments_) {
    if (comment.empty()) continue;
    out.Append("<!--");
    out.Append(EscapeString(comment));
    out.Append("-->");
    out.Append(lf);
  }
  for (const auto& node : root_nodes_) {
    std::string_view open, close;
    switch (node->ElementType()) {
      case etDocType: open = "<!DOCTYPE", close = ">"; break;
      case etExclamation: open = "<!", close = ">"; break;
      case etInstruction: open = "<?", close = "?>"; break;
      case etRawTag: open = "<", close = ">"; break;
      default: continue;
    }
    out.Append(open);
    out.Append(node->Value());
    out.Append(close);
    out.Append(lf);
  }
  root_->WriteTo(out, xml_format_, 0);
  out.Flush();
  DoProgress(stream.Size());
}

void TsdXmlDocument::SaveToStream(TStream& stream) {
  WithCodec(stream, [this](TsdCodecStream& codec) {
    codec.SetEncoding(detected_encoding_);
    WriteToStream(codec);
    codec.Flush();
  });
}

void TsdXmlDocument::SaveToFile(const std::string& file_name) {
  TFileStream file(file_name, fmCreate);
  SaveToStream(file);
}

std::string TsdXmlDocument::WriteToString() {
  TStringStream s;
  WriteToStream(s);
  return s.DataString();
}

void TsdXmlDocument::CopyFrom(const TsdXmlDocument& source) {
  if (&source == this) return;
  TMemoryStream text;
  // Writing does not change the source; WriteToStream is not const only
  // because it fires the source's events.
  const_cast<TsdXmlDocument&>(source).WriteToStream(text);
  Clear();
  text.SetPosition(0);
  ReadFromStream(text);
}

}  // namespace quillon
