#include "xml/xml_document.h"

#include <deque>

#include "base/exceptions.h"
#include "base/file_stream.h"
#include "base/memory_stream.h"
#include "base/strings.h"
#include "xml/ansi_stream.h"
#include "xml/name_case.h"
#include "xml/utf8_stream.h"

namespace quillon {

TsdXmlDocument::TsdXmlDocument() : root_(std::make_unique<TXmlNode>(this)) { TsdXmlDocument::SetDefaults(); }

TsdXmlDocument::~TsdXmlDocument() = default;

void TsdXmlDocument::SetDefaults() {
  binary_encoding_ = xbeBase64;
  comments_.clear();
  encoding_ = "windows-1252";
  detected_encoding_ = encAnsi;
  style_sheet_.clear();
  version_string_ = "1.0";
  write_on_default_ = true;
  xml_format_ = 1;
}

void TsdXmlDocument::Clear() {
  SetDefaults();
  root_->Clear();
  ClearRootNodes();
}

void TsdXmlDocument::ClearRootNodes() { root_nodes_.clear(); }

TXmlNode* TsdXmlDocument::RootNodes(int index) const {
  if (index < 0 || index >= RootNodeCount()) return nullptr;
  return root_nodes_[static_cast<size_t>(index)].get();
}

void TsdXmlDocument::WithCodec(TStream& stream, const std::function<void(TsdCodecStream& codec)>& work) {
  std::unique_ptr<TsdCodecStream> codec;
  if (utf8_encoded_)
    codec = std::make_unique<TsdUtf8Stream>(&stream);
  else
    codec = std::make_unique<TsdAnsiStream>(&stream);
  codec->OnUnicodeLoss = [this](TsdCodecStream*) {
    if (OnUnicodeLoss) OnUnicodeLoss(this);
  };
  codec_ = codec.get();
  struct ClearCodec {
    TsdXmlDocument* doc;
    ~ClearCodec() { doc->codec_ = nullptr; }
  } clear_codec{this};
  work(*codec);
}

void TsdXmlDocument::LoadFromStream(TStream& stream) {
  WithCodec(stream, [this](TsdCodecStream& codec) {
    ReadFromStream(codec);
    detected_encoding_ = codec.Encoding();
  });
  // The text read is UTF-8 when the input was (the ANSI codec passes UTF-8
  // bytes through unchanged); the value accessors must then use UTF-8 rules.
  if (detected_encoding_ == encUtf8 || (detected_encoding_ == encAnsi && SameText(encoding_, "UTF-8")))
    utf8_encoded_ = true;
}

void TsdXmlDocument::LoadFromFile(const std::string& file_name) {
  TFileStream file(file_name, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(file);
}

void TsdXmlDocument::ReadFromString(const std::string& text) {
  TStringStream stream(text);
  ReadFromStream(stream);
}

void TsdXmlDocument::ApplyDeclaration(const TXmlNode& node) {
  if (node.AttributeIndexByName("version") >= 0) version_string_ = node.AttributeByName("version");
  if (node.AttributeIndexByName("encoding") >= 0) encoding_ = node.AttributeByName("encoding");
  // Encoding names are not case-sensitive: "utf-8" is UTF-8 too, and leaving
  // the codec on windows-1252 would garble (or, in the UTF-8 codec, encode
  // twice) every character outside ASCII.
  if (codec_ && SameText(encoding_, "UTF-8")) codec_->SetEncoding(encUtf8);
}

void TsdXmlDocument::ReadFromStream(TStream& stream) {
  std::unique_ptr<TsdPassThroughStream> raw;
  TsdCodecStream* s = dynamic_cast<TsdCodecStream*>(&stream);
  if (!s) {
    raw = std::make_unique<TsdPassThroughStream>(&stream);
    s = raw.get();
  }
  Clear();
  // The top-level nodes in the order read (they have no parent).
  std::deque<std::unique_ptr<TXmlNode>> top;
  DoProgress(0);
  do {
    top.push_back(std::make_unique<TXmlNode>(this));
    TXmlNode* node = top.back().get();
    node->ReadNode(*s, 1);
    if (node->ElementType() == etDeclaration) {
      ApplyDeclaration(*node);
      // Drops the first node read so far: the declaration itself when it came
      // first, as it should.
      top.pop_front();
    } else if (node->Name().empty()) {
      // Only white space or stray text was found.
      top.pop_back();
    }
  } while (s->Position() < s->Size());
  DoProgress(s->Size());

  int root_index = -1;
  for (size_t i = 0; i < top.size(); ++i) {
    const TXmlElementType t = top[i]->ElementType();
    if (t != etElement && t != etEmptyElement) continue;
    if (root_index >= 0) throw EFilerError("More than one root element found in xml");
    root_index = static_cast<int>(i);
  }
  if (root_index < 0) throw EFilerError("No root element found in xml");
  root_ = std::move(top[static_cast<size_t>(root_index)]);

  for (auto& node : top) {
    if (!node) continue;  // the root
    switch (node->ElementType()) {
      case etDeclaration:
        ApplyDeclaration(*node);
        break;
      case etStylesheet:
        if (!style_sheet_.empty()) throw EFilerError("Multiple stylesheets in root not supported");
        style_sheet_ = node->ValueAsString();
        break;
      case etComment:
        comments_.push_back(node->ValueAsString());
        break;
      case etCData:
        throw EFilerError("No CDATA allowed in root");
      default:
        root_nodes_.push_back(std::move(node));
        break;
    }
  }
}

namespace {

constexpr size_t kNoPath = std::string_view::npos;

// The search below `node`, in document order. `at` is the length of the
// key's beginning that `node`'s full path matches (kNoPath once they differ):
// a child's full path is then matched by comparing its own name with the
// next component, so every node is visited once, whatever its depth.
TXmlNode* FindBelow(TXmlNode* node, std::string_view key, size_t at, bool utf8) {
  for (int i = 0; i < node->NodeCount(); ++i) {
    TXmlNode* child = node->Nodes(i);
    const std::string& name = child->Name();
    if (SameName(name, key, utf8)) return child;
    size_t child_at = kNoPath;
    if (at != kNoPath && key.size() - at > name.size() && key[at] == '/' &&
        SameName(key.substr(at + 1, name.size()), name, utf8)) {
      child_at = at + 1 + name.size();
      if (child_at == key.size()) return child;
    }
    if (TXmlNode* found = FindBelow(child, key, child_at, utf8)) return found;
  }
  return nullptr;
}

bool Utf8Names(const TXmlNode* node) { return node->Document() && node->Document()->Utf8Encoded(); }

}  // namespace

TXmlNode* FindNode(TXmlNode* node, std::string_view key) {
  if (!node) return nullptr;
  const bool utf8 = Utf8Names(node);
  // A full path always begins with "/"; other keys can only match names. The
  // full paths below the node all begin with the node's own.
  size_t at = kNoPath;
  if (!key.empty() && key[0] == '/') {
    const std::string prefix = node->FullPath();
    if (key.size() > prefix.size() && SameName(key.substr(0, prefix.size()), prefix, utf8)) at = prefix.size();
  }
  return FindBelow(node, key, at, utf8);
}

void FindNodes(TXmlNode* node, std::string_view name, std::vector<TXmlNode*>* list) {
  if (!list) return;
  list->clear();
  if (!node) return;
  const bool utf8 = Utf8Names(node);
  for (int i = 0; i < node->NodeCount(); ++i)
    if (SameName(node->Nodes(i)->Name(), name, utf8)) list->push_back(node->Nodes(i));
}

}  // namespace quillon
