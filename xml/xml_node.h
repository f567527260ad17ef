// TXmlNode: one node of a TsdXmlDocument tree.
//
// A node has an element type (TXmlElementType), a name, a raw value (character
// content as written in the source: references stay encoded until ValueAsString
// decodes them), attributes held as text lines "name=value" with the value still
// quoted and escaped, and owned children in document order. A node belongs to a
// document (which may be absent: the node then behaves as with hexadecimal
// binary encoding and without UTF-8 text).
//
// Reading: ReadFromStream reads exactly one node and, for an element, its whole
// content and end tag (see xml_node.cpp for the rules). Every parse error is an
// EFilerError. Elements nested deeper than kMaxNestingDepth are refused, so
// hostile input cannot exhaust the stack.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/stream.h"

namespace quillon {

class TsdXmlDocument;
class TsdCodecStream;

enum TXmlElementType : uint8_t {
  etElement = 0,       // "<" ... ">", content, end tag
  etCloseTag = 1,      // a stray "</" ... ">" where a node was expected ("Unknown")
  etEmptyElement = 2,  // "<" ... "/>"
  etComment = 3,       // "<!--" ... "-->" ("Comment")
  etCData = 4,         // "<![CDATA[" ... "]]>" ("CData")
  etDeclaration = 5,   // "<?xml" ... "?>" ("xml")
  etStylesheet = 6,    // "<?xml-stylesheet" ... "?>" ("xml-stylesheet")
  etDocType = 7,       // "<!DOCTYPE" ... ">" ("DTD")
  etExclamation = 8,   // any other "<!" ... ">" ("Special")
  etInstruction = 9,   // any other "<?" ... "?>" ("Special")
  etRawTag = 10,       // never produced by the parser
};

// One row of the tag table: opening string, closing string, element type.
struct TTagType {
  std::string_view start;
  std::string_view close;
  TXmlElementType style;
};
// The nine rows, longest openings first within each family.
extern const TTagType kTagTypes[9];

// Binary encodings of a node's value (TsdXmlDocument::BinaryEncoding).
enum TBinaryEncoding : uint8_t { xbeBinHex = 0, xbeBase64 = 1, xbeSixBits = 2 };

class TXmlNode {
 public:
  // Elements nested deeper than this are refused with an EFilerError.
  static constexpr int kMaxNestingDepth = 1000;

  explicit TXmlNode(TsdXmlDocument* document);
  TXmlNode(TsdXmlDocument* document, std::string name);
  TXmlNode(TsdXmlDocument* document, std::string name, std::string value);
  TXmlNode(TsdXmlDocument* document, TXmlElementType type);
  virtual ~TXmlNode();
  TXmlNode(const TXmlNode&) = delete;
  TXmlNode& operator=(const TXmlNode&) = delete;

  // --- Fields ---
  TsdXmlDocument* Document() const { return document_; }
  TXmlElementType ElementType() const { return element_type_; }
  void SetElementType(TXmlElementType type) { element_type_ = type; }
  const std::string& Name() const { return name_; }
  TXmlNode* Parent() const { return parent_; }
  // The raw value: character content as written, references still encoded.
  const std::string& Value() const { return value_; }
  void SetValue(std::string value) { value_ = std::move(value); }

  // --- Children ---
  virtual int NodeCount() const { return static_cast<int>(nodes_.size()); }
  // The child at an index (0 .. NodeCount()-1); absent for other indexes.
  virtual TXmlNode* Nodes(int index) const;
  // Appends a child (owned from now on); returns its index, -1 for no node.
  int NodeAdd(std::unique_ptr<TXmlNode> node);
  // Takes a child out without freeing it; absent when it is not a child.
  std::unique_ptr<TXmlNode> NodeExtract(TXmlNode* node);
  // Frees the child at an index; out-of-range indexes do nothing.
  void NodeDelete(int index);
  int NodeIndexOf(const TXmlNode* node) const;
  void NodesClear();
  // Empties name, value, attributes and children.
  void Clear();
  // Number of ancestors (a top-level node has 0).
  int TreeDepth() const;

  // "/" joined names from the top-level node down to this one ("/Root/A").
  std::string FullPath() const;

  // --- Text ---
  // The value with entity and character references decoded (UnescapeString).
  std::string ValueAsString() const;
  // Decodes the five predefined entities and numeric character references by
  // the document's rules: ANSI (codes 0-254 become one byte) or, when the
  // document is Utf8Encoded, UTF-8 (codes 0-65534 become their UTF-8 bytes).
  // Everything else, including numbers too large for any integer, stays as
  // written.
  virtual std::string UnescapeString(std::string_view text) const;

  // --- Attributes (lines "name=value", value quoted and escaped) ---
  // Appends an attribute; the value is escaped and quoted.
  void AttributeAdd(std::string_view name, std::string_view value);
  // The decoded value of the first attribute of that name (case ignored); empty
  // when there is none.
  std::string AttributeByName(std::string_view name) const;
  // Index of the first attribute of that name (case ignored), or -1.
  int AttributeIndexByName(std::string_view name) const;
  int AttributeCount() const { return static_cast<int>(attributes_.size()); }
  // The name part of line index (empty when the line has no "=").
  std::string AttributeName(int index) const;
  // The raw line.
  std::string AttributePair(int index) const;
  // AttributeByName(AttributeName(index)): quotes removed, doubled quote
  // characters undoubled, references decoded.
  std::string AttributeValue(int index) const;

  // --- Binary content ---
  // The value decoded from base64 (whatever the document's BinaryEncoding).
  std::string BinaryString() const;
  // Number of bytes the value holds by the document's BinaryEncoding
  // (white space ignored). EFilerError "Error while calculating streamlength"
  // for a base64 length that is not a multiple of 4 or an odd hexadecimal
  // length, "Cannot determine stream length" for the six-bit alphabet.
  int64_t BufferLength() const;
  // Decodes count bytes of the value into buffer by the document's
  // BinaryEncoding; EFilerError "Missing data in binary stream" when the value
  // holds fewer.
  void BufferRead(void* buffer, int64_t count) const;

  // --- Reading ---
  // Reads exactly one node from the stream (a codec stream, or any stream read
  // byte by byte). Parse errors raise EFilerError; OnNodeLoaded and OnProgress
  // fire at the end of every node, also when reading it failed.
  virtual void ReadFromStream(TStream& stream);
  // ReadFromStream on the text.
  virtual void ReadFromString(const std::string& text);

 private:
  friend class TsdXmlDocument;

  void ReadNode(TsdCodecStream& s, int depth);
  void ReadElementContent(TsdCodecStream& s, int depth);
  void ParseTag(std::string_view tag);
  int BinaryEncoding() const;
  int64_t LengthFor(int encoding, std::string_view clean) const;
  void DecodeInto(int encoding, std::string_view clean, uint8_t* out, int64_t count) const;

  std::vector<std::string> attributes_;
  TsdXmlDocument* document_;
  TXmlElementType element_type_ = etElement;
  std::string name_;
  std::vector<std::unique_ptr<TXmlNode>> nodes_;
  TXmlNode* parent_ = nullptr;
  std::string value_;
};

// Escapes the five characters of the escape table ("&" first).
std::string EscapeString(std::string_view text);

}  // namespace quillon
