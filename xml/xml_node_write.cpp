// TXmlNode: tree editing, writing text, attributes and binary content, and
// writing a node back as XML text.
#include <algorithm>

#include "base/base64.h"
#include "base/code_page.h"
#include "base/exceptions.h"
#include "base/memory_stream.h"
#include "base/strings.h"
#include "xml/name_case.h"
#include "xml/xml_document.h"
#include "xml/xml_node.h"
#include "xml/xml_writer.h"

namespace quillon {

namespace {

// Escaped text never holds a double quote, so double quotes always do.
std::string QuotedValue(std::string_view value) {
  std::string out(1, '"');
  out += EscapeString(value);
  out += '"';
  return out;
}

// The six-bit alphabet: within each group of four characters the first
// carries the least significant six bits.
constexpr std::string_view kSixBitAlphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ*-";

std::string HexEncode(const uint8_t* p, size_t n) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out(n * 2, '\0');
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = kDigits[p[i] >> 4];
    out[2 * i + 1] = kDigits[p[i] & 15];
  }
  return out;
}

std::string SixBitEncode(const uint8_t* p, size_t n) {
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  for (size_t i = 0; i < n; i += 3) {
    uint32_t v = static_cast<uint32_t>(p[i]) << 16;
    if (i + 1 < n) v |= static_cast<uint32_t>(p[i + 1]) << 8;
    if (i + 2 < n) v |= p[i + 2];
    for (int k = 0; k < 4; ++k) out += kSixBitAlphabet[(v >> (6 * k)) & 63];
  }
  return out;
}

// Element types written in their own form rather than as elements.
bool WrittenAsElement(TXmlElementType type) {
  switch (type) {
    case etComment:
    case etCData:
    case etDeclaration:
    case etStylesheet:
    case etDocType:
    case etExclamation:
    case etInstruction:
    case etRawTag:
      return false;
    default:
      return true;
  }
}

void AppendUtf16(std::u16string& out, int32_t cp) {
  if (cp < 0) cp = 0xFFFD;
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  } else {
    out += static_cast<char16_t>(cp);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Settings that follow the document (with the documented values without one)

int TXmlNode::LayoutFormat() const { return document_ ? document_->XmlFormat() : 1; }
bool TXmlNode::WriteOnDefault() const { return document_ ? document_->WriteOnDefault() : true; }
bool TXmlNode::Utf8() const { return document_ && document_->Utf8Encoded(); }

// ---------------------------------------------------------------------------
// Tree editing

void TXmlNode::NodeInsert(int index, std::unique_ptr<TXmlNode> node) {
  if (!node || index < 0 || index > NodeCount()) return;
  node->parent_ = this;
  nodes_.insert(nodes_.begin() + index, std::move(node));
}

TXmlNode* TXmlNode::NodeNew(std::string_view name) { return NodeNewAtIndex(NodeCount(), name); }

TXmlNode* TXmlNode::NodeNewAtIndex(int index, std::string_view name) {
  if (index < 0 || index > NodeCount()) return nullptr;
  auto node = std::make_unique<TXmlNode>(document_, std::string(name));
  TXmlNode* result = node.get();
  NodeInsert(index, std::move(node));
  return result;
}

int TXmlNode::NodeRemove(TXmlNode* node) {
  const int index = NodeIndexOf(node);
  NodeDelete(index);
  return index;
}

void TXmlNode::Delete() {
  if (parent_) parent_->NodeRemove(this);
}

TXmlNode* TXmlNode::NodeByName(std::string_view name) const { return Nodes(NodeIndexByName(name)); }

int TXmlNode::NodeIndexByNameFrom(std::string_view name, int start) const {
  for (int i = std::max(start, 0); i < NodeCount(); ++i)
    if (SameName(nodes_[static_cast<size_t>(i)]->name_, name, Utf8())) return i;
  return -1;
}

TXmlNode* TXmlNode::NodeFindOrCreate(std::string_view name) {
  if (TXmlNode* found = NodeByName(name)) return found;
  return NodeNew(name);
}

void TXmlNode::Assign(const TXmlNode& source) {
  if (&source == this) return;
  TMemoryStream text;
  {
    TXmlWriter out(text);
    source.WriteTo(out, 1, 0);
    out.Flush();
  }
  Clear();
  text.SetPosition(0);
  ReadFromStream(text);
}

void TXmlNode::SetName(std::string_view name) {
  if (name == name_) return;
  if (std::any_of(name.begin(), name.end(), IsWhiteSpace))
    throw Exception("Illegal character in node name \"" + std::string(name) + "\"");
  name_ = std::string(name);
}

// ---------------------------------------------------------------------------
// Text and attributes

void TXmlNode::SetValueAsString(std::string_view text) { value_ = EscapeString(text); }

std::u16string TXmlNode::ValueAsWidestring() const {
  const std::string text = ValueAsString();
  std::u16string out;
  out.reserve(text.size());
  if (Utf8()) {
    size_t pos = 0;
    while (pos < text.size()) AppendUtf16(out, NextUtf8CodePoint(text, &pos));
  } else {
    for (char c : text) out += Cp1252ToUnicode(static_cast<uint8_t>(c));
  }
  return out;
}

void TXmlNode::SetValueAsWidestring(std::u16string_view text) {
  const bool utf8 = Utf8();
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;  // a lone surrogate
    }
    if (utf8) {
      AppendUtf8(out, cp);
    } else {
      const int b = UnicodeToCp1252(cp);
      out += b < 0 ? '?' : static_cast<char>(b);
    }
  }
  SetValueAsString(out);
}

void TXmlNode::SetAttributeValue(int index, std::string_view value) {
  if (index < 0 || index >= AttributeCount()) return;
  std::string line = AttributeName(index);
  line += '=';
  line += QuotedValue(value);
  attributes_[static_cast<size_t>(index)] = std::move(line);
}

// ---------------------------------------------------------------------------
// Binary content

void TXmlNode::BufferWrite(const void* buffer, int64_t count) {
  const auto* p = static_cast<const uint8_t*>(buffer);
  const size_t n = count > 0 ? static_cast<size_t>(count) : 0;
  std::string encoded;
  switch (BinaryEncoding()) {
    case xbeBinHex:
      encoded = HexEncode(p, n);
      break;
    case xbeBase64:
      encoded = Base64Encode(std::string_view(reinterpret_cast<const char*>(p), n));
      break;
    default:
      encoded = SixBitEncode(p, n);
      break;
  }
  const std::string brk = NodeLineFeed() + Indent();
  if (brk.empty()) {
    value_ = std::move(encoded);
    return;
  }
  constexpr size_t kLine = 76;
  value_.clear();
  value_.reserve(encoded.size() + (encoded.size() / kLine + 2) * brk.size());
  for (size_t i = 0; i < encoded.size(); i += kLine) {
    value_ += brk;
    value_.append(encoded, i, kLine);
  }
  value_ += brk;
}

// ---------------------------------------------------------------------------
// Writing

std::string TXmlNode::Indent() const {
  if (!document_ || LayoutFormat() != 0) return {};
  return std::string(static_cast<size_t>(2 * TreeDepth()), ' ');
}

std::string TXmlNode::NodeLineFeed() const {
  if (!document_) return {};
  switch (LayoutFormat()) {
    case 0: return "\r\n";
    case 2: return "\n";
    default: return {};
  }
}

std::string TXmlNode::WriteInnerTag() const {
  std::string out;
  for (const std::string& line : attributes_) {
    out += ' ';
    out += line;
  }
  if (WrittenEmpty()) out += '/';
  return out;
}

bool TXmlNode::WrittenEmpty() const {
  const bool full_end_tags = document_ && document_->FullEndTags();
  return WrittenAsElement(element_type_) && value_.empty() && nodes_.empty() && !full_end_tags;
}

void TXmlNode::WriteTo(TXmlWriter& out, int format, int level) const {
  const bool layout = document_ != nullptr;
  const std::string_view brk = !layout ? "" : format == 0 ? "\r\n" : format == 2 ? "\n" : "";
  const std::string indent(layout && format == 0 ? static_cast<size_t>(2 * level) : 0, ' ');
  out.Append(indent);
  auto wrapped = [&](std::string_view open, std::string_view text, std::string_view close) {
    out.Append(open);
    out.Append(text);
    out.Append(close);
  };
  switch (element_type_) {
    case etComment: wrapped("<!--", value_, "-->"); break;
    case etCData: wrapped("<![CDATA[", value_, "]]>"); break;
    case etDeclaration: wrapped("<?xml", WriteInnerTag(), "?>"); break;
    case etStylesheet: wrapped("<?xml-stylesheet", WriteInnerTag(), "?>"); break;
    // A document type inside the tree keeps its own form; written as an
    // element it would come back as an element named "DTD".
    case etDocType: wrapped("<!DOCTYPE", value_, ">"); break;
    case etExclamation: wrapped("<!", value_, ">"); break;
    case etInstruction: wrapped("<?", value_, "?>"); break;
    case etRawTag: wrapped("<", value_, ">"); break;
    default: {
      const std::string inner = WriteInnerTag();
      out.Append('<');
      out.Append(name_);
      out.Append(inner);
      out.Append('>');
      out.Append(value_);
      if (!nodes_.empty()) out.Append(brk);
      for (const auto& child : nodes_) {
        child->WriteTo(out, format, level + 1);
        out.Append(brk);
      }
      if (!WrittenEmpty()) {
        if (!nodes_.empty()) out.Append(indent);
        wrapped("</", name_, ">");
      }
      break;
    }
  }
  if (document_ && document_->OnProgress)
    document_->OnProgress(document_, out.Position());
  else
    out.MaybeFlush();
}

void TXmlNode::WriteToStream(TStream& stream) {
  TXmlWriter out(stream);
  WriteTo(out, LayoutFormat(), TreeDepth());
  out.Flush();
}

std::string TXmlNode::WriteToString() {
  TStringStream s;
  WriteToStream(s);
  return s.DataString();
}

}  // namespace quillon
