// TXmlNode: one node of a TsdXmlDocument tree.
//
// A node has an element type (TXmlElementType), a name, a raw value (character
// content as written in the source: references stay encoded until ValueAsString
// decodes them), attributes held as text lines "name=value" with the value still
// quoted and escaped, and owned children in document order. A node belongs to a
// document (which may be absent: the node then behaves as with hexadecimal
// binary encoding and without UTF-8 text).
//
// Writing: WriteToStream writes the node and its subtree as XML text in the
// document's XmlFormat (see xml_node_write.cpp); tree editing and the typed
// readers and writers, which keep numbers, flags, dates, colours, brushes,
// fonts and pens in child elements, complete the model.
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

#include "base/date_time.h"
#include "base/stream.h"
#include "xml/graphic_values.h"

namespace quillon {

class TsdXmlDocument;
class TsdCodecStream;
class TXmlWriter;

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
// The rows, longest openings first within each family.
inline constexpr int kTagTypeCount = 9;
extern const TTagType kTagTypes[kTagTypeCount];

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
  // Inserts at an index from 0 up to NodeCount(); other indexes do nothing
  // (the node is then freed).
  void NodeInsert(int index, std::unique_ptr<TXmlNode> node);
  // Creates a child of that name and appends it.
  TXmlNode* NodeNew(std::string_view name);
  // As NodeNew at an index from 0 up to NodeCount(); absent for other indexes.
  TXmlNode* NodeNewAtIndex(int index, std::string_view name);
  // Frees a child; returns its former index, or -1 when it is not a child.
  int NodeRemove(TXmlNode* node);
  // Removes and frees this node through its parent. The node must not be used
  // afterwards; a node without a parent is left alone.
  void Delete();
  // The first direct child of that name (case ignored), or absent.
  TXmlNode* NodeByName(std::string_view name) const;
  // Index of the first direct child of that name (case ignored) at or after
  // start, or -1.
  int NodeIndexByName(std::string_view name) const { return NodeIndexByNameFrom(name, 0); }
  int NodeIndexByNameFrom(std::string_view name, int start) const;
  // NodeByName, else NodeNew.
  TXmlNode* NodeFindOrCreate(std::string_view name);
  void AttributesClear() {
    attributes_.clear();
    first_of_name_.reset();
  }
  // Value, children and attributes all empty.
  bool IsEmpty() const { return value_.empty() && nodes_.empty() && attributes_.empty(); }
  // IsEmpty and an empty name.
  bool IsClear() const { return IsEmpty() && name_.empty(); }
  // Makes this node a copy of another: Clear, write the other in the compact
  // format, read that text back into this node.
  void Assign(const TXmlNode& source);

  // Number of ancestors (a top-level node has 0).
  int TreeDepth() const;

  // "/" joined names from the top-level node down to this one ("/Root/A").
  std::string FullPath() const;

  // Sets the name; a new name holding a white-space character raises
  // Exception "Illegal character in node name "%s"".
  void SetName(std::string_view name);

  // --- Text ---
  // Stores the text escaped (the five characters of the escape table).
  void SetValueAsString(std::string_view text);
  // The decoded value as UTF-16, read as UTF-8 when the document is
  // Utf8Encoded, else as windows-1252 (malformed UTF-8 gives U+FFFD).
  std::u16string ValueAsWidestring() const;
  // Stores UTF-16 text in the document's 8-bit form (characters windows-1252
  // lacks become "?"), escaped.
  void SetValueAsWidestring(std::u16string_view text);
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
  // Replaces line index by "name=value" (value escaped and quoted); other
  // indexes do nothing.
  void SetAttributeValue(int index, std::string_view value);
  // An attribute of that name exists (case ignored).
  bool HasAttribute(std::string_view name) const { return AttributeIndexByName(name) >= 0; }
  // The raw line.
  std::string AttributePair(int index) const;
  // AttributeByName(AttributeName(index)): quotes removed, doubled quote
  // characters undoubled, references decoded. Reading every attribute of a
  // node this way costs time linear in their number.
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

  // Encodes count bytes into the value by the document's BinaryEncoding:
  // upper-case hexadecimal, base64 with "=" padding, or the six-bit alphabet
  // (whole groups of four, zero bits filling the last), so that BufferRead
  // gives the bytes back. The text is cut into lines of 76 characters, with
  // the node's line break and indentation before every line and once more at
  // the end (nothing is inserted in the compact format).
  void BufferWrite(const void* buffer, int64_t count);

  // --- Typed values of child elements (the name is the child's, case
  // ignored). Readers give the default when there is no such child. ---
  // The raw value as a whole number; the default when it is not one.
  int ValueAsIntegerDef(int def) const;
  // The raw value with its first "," read as "."; the default when it is not a
  // number.
  double ValueAsFloatDef(double def) const;
  // "TRUE" or a value beginning with "T" or "Y" (case ignored) is true;
  // "FALSE", "F..." or "N..." false; anything else gives the default.
  bool ValueAsBoolDef(bool def) const;
  // The decoded value as a date: year at characters 1-4, month 6-7, day
  // 9-10, and with more than 16 characters hour 12-13, minute 15-16, second
  // 18-19, millisecond 21-23 ("yyyy-mm-ddThh:nn:ss.zzz"); seconds and
  // milliseconds that are not numbers count as 0. The default when it does
  // not parse or names no real date or time.
  TDateTime ValueAsDateTimeDef(TDateTime def) const;

  std::string ReadString(std::string_view name, std::string_view def = {}) const;
  std::u16string ReadWidestring(std::string_view name, std::u16string_view def = {}) const;
  int ReadInteger(std::string_view name, int def = 0) const;
  // EConvertError when the child's text is not a number ("$" for hexadecimal).
  TColor ReadColor(std::string_view name, TColor def = 0) const;
  double ReadFloat(std::string_view name, double def = 0.0) const;
  bool ReadBool(std::string_view name, bool def = false) const;
  TDateTime ReadDateTime(std::string_view name, TDateTime def = 0.0) const;
  // Attributes of this node: the decoded value, or the default when empty /
  // not a whole number.
  std::string ReadAttributeString(std::string_view name, std::string_view def = {}) const;
  int ReadAttributeInteger(std::string_view name, int def = 0) const;
  // Children "Color", "Style" / "Name", "Color", "Size", "Bold", "Italic",
  // "Underline", "Strikeout" / "Color", "Mode", "Style", "Width"; the value
  // types' defaults for what is absent (the whole child included).
  void ReadBrush(std::string_view name, TXmlBrush& brush) const;
  void ReadFont(std::string_view name, TXmlFont& font) const;
  void ReadPen(std::string_view name, TXmlPen& pen) const;

  // Writers store into the child found or created by name, unless the
  // document's WriteOnDefault is false and the value equals the default.
  void WriteString(std::string_view name, std::string_view value, std::string_view def = {});
  void WriteWidestring(std::string_view name, std::u16string_view value, std::u16string_view def = {});
  void WriteInteger(std::string_view name, int value, int def = 0);
  // The shortest decimal text that reads back as the same number.
  void WriteFloat(std::string_view name, double value, double def = 0.0);
  void WriteBool(std::string_view name, bool value, bool def = false);
  // "$" and at least `digits` upper-case hexadecimal digits.
  void WriteHex(std::string_view name, uint32_t value, int digits, uint32_t def = 0);
  // The RGB value as WriteHex with 8 digits ("$00BBGGRR").
  void WriteColor(std::string_view name, TColor value, TColor def = 0);
  // "yyyy-mm-dd" at midnight, else "yyyy-mm-ddThh:nn:ss.zzzZ".
  void WriteDateTime(std::string_view name, TDateTime value, TDateTime def = 0.0);
  // Set the attribute when it exists, else add it.
  void WriteAttributeString(std::string_view name, std::string_view value);
  void WriteAttributeInteger(std::string_view name, int value);
  // The same children, each left out (WriteOnDefault off) when it equals the
  // default its reader uses.
  void WriteBrush(std::string_view name, const TXmlBrush& brush);
  void WriteFont(std::string_view name, const TXmlFont& font);
  void WritePen(std::string_view name, const TXmlPen& pen);

  // --- Writing ---
  // The node and its subtree as XML text in the document's XmlFormat (no line
  // breaks or indentation without a document); OnProgress fires with the
  // stream position after each node.
  virtual void WriteToStream(TStream& stream);
  virtual std::string WriteToString();
  // The attribute lines, each after one space, then "/" when the node is an
  // element without value and children and the document's FullEndTags is off.
  virtual std::string WriteInnerTag() const;
  // Two spaces per ancestor in the readable format, else empty.
  std::string Indent() const;
  // CR LF in the readable format, LF in format 2, else (and without a
  // document) empty.
  std::string NodeLineFeed() const;

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
  int LayoutFormat() const;
  // An element without value and children, written "<name/>" unless the
  // document wants full end tags.
  bool WrittenEmpty() const;
  bool WriteOnDefault() const;
  bool Utf8() const;
  // Appends the node's text in the given format to `out`; see xml_node_write.cpp.
  void WriteTo(TXmlWriter& out, int format, int level) const;
  int64_t LengthFor(int encoding, std::string_view clean) const;
  // The index of the first attribute whose name is that of line `index`
  // (0 .. AttributeCount()-1), or -1.
  int FirstAttributeOfSameName(int index) const;
  void DecodeInto(int encoding, std::string_view clean, uint8_t* out, int64_t count) const;

  std::vector<std::string> attributes_;
  // For each attribute line, the index of the first line of the same name;
  // built by FirstAttributeOfSameName for nodes with many attributes, dropped
  // whenever the names change (setting a value keeps the name).
  mutable std::unique_ptr<std::vector<int>> first_of_name_;
  mutable bool first_of_name_utf8_ = false;
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
