// TsdXmlDocument: a small XML document model with a one-pass parser. Not a
// conforming XML processor: no DTD processing, no namespaces; entity handling
// covers the five predefined entities and numeric character references.
//
// Typical use (the catalogue):
//   TsdXmlDocument doc;
//   doc.LoadFromStream(stream);                 // EFilerError on malformed input
//   TXmlNode* caption = FindNode(doc.Root(), "/Root/Interface_Information/Window_Caption");
//   std::vector<TXmlNode*> products;
//   FindNodes(doc.Root(), "Program_Group", &products);
//   std::string text = caption->ValueAsString();
//   std::string jpeg = FindNode(products[0], "Icon")->BinaryString();
//
// A load replaces the whole content: the document is cleared first, the
// top-level nodes are read one by one, and then sorted out: the one element is
// Root(), declarations set VersionString/Encoding, a stylesheet instruction sets
// StyleSheet, top-level comments go to Comments(), other nodes (document type,
// "<!", "<?" and stray end tags) to RootNodes(). A load that fails part-way
// leaves the document cleared and partly filled. Node pointers obtained by
// lookup stay valid until the next load or the document's destruction.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/stream.h"
#include "xml/codec_stream.h"
#include "xml/xml_node.h"

namespace quillon {

class TsdXmlDocument {
 public:
  // An empty document with the defaults and an empty root node.
  TsdXmlDocument();
  // The same, with the root named by SetName (which checks the name).
  explicit TsdXmlDocument(std::string_view root_name);
  virtual ~TsdXmlDocument();
  TsdXmlDocument(const TsdXmlDocument&) = delete;
  TsdXmlDocument& operator=(const TsdXmlDocument&) = delete;

  // --- Loading ---
  // Replaces the content by what the stream holds from its position to its
  // end, read through a codec stream (TsdUtf8Stream when Utf8Encoded, else
  // TsdAnsiStream). Afterwards DetectedEncoding is the codec's encoding, and
  // Utf8Encoded is set when the text read is UTF-8: UTF-8 input (by its byte
  // order mark or a declaration naming "UTF-8").
  void LoadFromStream(TStream& stream);
  // Opens the file for reading (others may read) and calls LoadFromStream.
  void LoadFromFile(const std::string& file_name);
  // Reads the text without a codec (ReadFromStream on its bytes).
  void ReadFromString(const std::string& text);
  // The load itself, on a codec stream or any other stream (read byte by byte).
  virtual void ReadFromStream(TStream& stream);

  // --- Writing ---
  // Writes the declaration (when VersionString or Encoding is set), the
  // stylesheet instruction, the top-level comments and the document-type,
  // "<!", "<?" and raw top-level nodes, each followed by LineFeed, then the
  // root in XmlFormat. EFilerError "XML root element not defined." when the
  // root has no name. OnProgress fires with 0, after each node, and with the
  // stream size at the end.
  virtual void WriteToStream(TStream& stream);
  // WriteToStream through a codec stream (TsdUtf8Stream when Utf8Encoded, else
  // TsdAnsiStream) with DetectedEncoding, which writes its byte-order mark.
  void SaveToStream(TStream& stream);
  // Creates the file anew and calls SaveToStream.
  void SaveToFile(const std::string& file_name);
  // WriteToStream into memory, without a codec.
  std::string WriteToString();
  // CR LF in the readable format (XmlFormat 0), else LF.
  virtual std::string LineFeed() const { return xml_format_ == 0 ? "\r\n" : "\n"; }
  // Replaces the content by a copy of another document: written to memory
  // and read back (which applies SetDefaults, then what the text says).
  virtual void CopyFrom(const TsdXmlDocument& source);
  void Assign(const TsdXmlDocument& source) { CopyFrom(source); }
  // The root is clear (no name, value, attributes or children).
  bool IsEmpty() const { return !root_ || root_->IsClear(); }

  // SetDefaults, empty Root, no RootNodes.
  void Clear();
  void ClearRootNodes();
  // BinaryEncoding 1, no comments, Encoding "windows-1252", DetectedEncoding 0,
  // StyleSheet empty, VersionString "1.0", WriteOnDefault true, XmlFormat 1.
  virtual void SetDefaults();

  // --- Content ---
  TXmlNode* Root() const { return root_.get(); }
  const std::vector<std::string>& Comments() const { return comments_; }
  int RootNodeCount() const { return static_cast<int>(root_nodes_.size()); }
  TXmlNode* RootNodes(int index) const;
  const std::string& StyleSheet() const { return style_sheet_; }
  const std::string& Encoding() const { return encoding_; }
  // The encoding name the declaration is written with (SetDefaults makes it
  // "windows-1252"); it does not convert the texts, which stay as they are.
  void SetEncoding(std::string name) { encoding_ = std::move(name); }
  const std::string& VersionString() const { return version_string_; }
  TsdStringEncoding DetectedEncoding() const { return detected_encoding_; }

  // --- Settings ---
  // 0 hexadecimal, 1 base64, 2 the six-bit alphabet (BufferLength/BufferRead).
  uint8_t BinaryEncoding() const { return binary_encoding_; }
  void SetBinaryEncoding(uint8_t v) { binary_encoding_ = v; }
  bool Utf8Encoded() const { return utf8_encoded_; }
  void SetUtf8Encoded(bool v) { utf8_encoded_ = v; }
  bool FullEndTags() const { return full_end_tags_; }
  void SetFullEndTags(bool v) { full_end_tags_ = v; }
  bool WriteOnDefault() const { return write_on_default_; }
  void SetWriteOnDefault(bool v) { write_on_default_ = v; }
  // 0 readable (CR LF, indentation), 1 compact, 2 LF without indentation.
  uint8_t XmlFormat() const { return xml_format_; }
  void SetXmlFormat(uint8_t v) { xml_format_ = v; }
  // The codec stream in use while loading or saving; absent otherwise.
  TsdCodecStream* Codec() const { return codec_; }

  // --- Events (fire only when assigned) ---
  // A node's opening tag has been read.
  std::function<void(TsdXmlDocument* sender, TXmlNode* node)> OnNodeNew;
  // A node has been read completely, or reading it failed.
  std::function<void(TsdXmlDocument* sender, TXmlNode* node)> OnNodeLoaded;
  // 0 when a read starts, the stream position after each node, the stream
  // size at the end.
  std::function<void(TsdXmlDocument* sender, int64_t position)> OnProgress;
  // The codec had to cut a character above 255 to 8 bits.
  std::function<void(TsdXmlDocument* sender)> OnUnicodeLoss;

 private:
  friend class TXmlNode;

  void ApplyDeclaration(const TXmlNode& node);
  // Runs work on a codec over stream (UTF-8 or ANSI as Utf8Encoded says),
  // which Codec() returns meanwhile and whose Unicode losses fire
  // OnUnicodeLoss.
  void WithCodec(TStream& stream, const std::function<void(TsdCodecStream& codec)>& work);
  void DoProgress(int64_t position) {
    if (OnProgress) OnProgress(this, position);
  }

  uint8_t binary_encoding_ = 1;
  TsdCodecStream* codec_ = nullptr;
  std::vector<std::string> comments_;
  std::string encoding_;
  TsdStringEncoding detected_encoding_ = encAnsi;
  std::vector<std::unique_ptr<TXmlNode>> root_nodes_;
  std::unique_ptr<TXmlNode> root_;
  std::string style_sheet_;
  bool full_end_tags_ = false;
  bool utf8_encoded_ = false;
  std::string version_string_;
  bool write_on_default_ = true;
  uint8_t xml_format_ = 1;
};

// Depth-first search below a node (the node itself is never tested): the first
// node whose name, or whose FullPath, equals the key without regard to case.
// A plain name finds the first node of that name in document order; a full
// path ("/Root/Interface_Information/Window_Caption") the node whose ancestors
// carry exactly those names. Absent when nothing matches or no node is given.
TXmlNode* FindNode(TXmlNode* node, std::string_view key);

// Fills the caller's list with the direct children of the node whose name
// equals the given one without regard to case, in document order. The list is
// cleared first; nothing happens when no list is given.
void FindNodes(TXmlNode* node, std::string_view name, std::vector<TXmlNode*>* list);

}  // namespace quillon
