#include "xml/xml_node.h"

#include <array>
#include <unordered_map>

#include "base/code_page.h"
#include "base/exceptions.h"
#include "base/memory_stream.h"
#include "base/strings.h"
#include "xml/codec_stream.h"
#include "xml/name_case.h"
#include "xml/xml_document.h"

namespace quillon {

const TTagType kTagTypes[kTagTypeCount] = {
    {"<![CDATA[", "]]>", etCData},
    {"<!DOCTYPE", ">", etDocType},
    {"<?xml-stylesheet", "?>", etStylesheet},
    {"<?xml", "?>", etDeclaration},
    {"<!--", "-->", etComment},
    {"<!", ">", etExclamation},
    {"<?", "?>", etInstruction},
    {"</", ">", etCloseTag},
    {"<", ">", etElement},
};

namespace {

constexpr int kPlainElementRow = 8;

// The escape table, in the order used for escaping.
struct TEscape {
  char ch;
  std::string_view entity;
};
constexpr TEscape kEscapes[5] = {
    {'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'\'', "&apos;"}, {'"', "&quot;"}};

bool IsQuote(char c) { return c == '"' || c == '\''; }

int SkipWhiteSpace(TsdCodecStream& s) {
  int c;
  do {
    c = s.GetChar();
  } while (c >= 0 && IsWhiteSpace(static_cast<char>(c)));
  return c;
}

// Reads up to and including `close`; `out` gets the text before it. At the end
// of the input `out` holds everything read and the result is false.
bool ReadUntilString(TsdCodecStream& s, std::string_view close, std::string& out) {
  const char last = close.back();
  const std::string_view head = close.substr(0, close.size() - 1);
  for (;;) {
    if (!s.ScanUntil(last, &out, nullptr)) return false;
    if (out.size() >= head.size() && std::string_view(out).substr(out.size() - head.size()) == head) {
      out.resize(out.size() - head.size());
      return true;
    }
    out.push_back(last);
  }
}

// Removes the quotes of a quoted attribute value and undoubles doubled quote
// characters; other values are returned unchanged.
std::string Dequote(std::string_view v) {
  if (v.size() <= 1 || !IsQuote(v[0])) return std::string(v);
  const char q = v[0];
  std::string out;
  out.reserve(v.size());
  for (size_t i = 1; i < v.size(); ++i) {
    if (v[i] == q) {
      if (i + 1 < v.size() && v[i + 1] == q) {
        out += q;
        ++i;
      } else {
        break;
      }
    } else {
      out += v[i];
    }
  }
  return out;
}

std::string Quote(std::string_view v) {
  const char q = v.find('"') != std::string_view::npos ? '\'' : '"';
  std::string out(1, q);
  for (char c : v) {
    out += c;
    if (c == q) out += q;
  }
  out += q;
  return out;
}

// Value of a hexadecimal digit; characters outside the alphabet count as 0.
uint8_t HexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  return 0;
}

using TDecodeTable = std::array<uint8_t, 256>;

// Six-bit values of the characters of an alphabet; others (and "=") are 0.
constexpr TDecodeTable MakeTable(std::string_view alphabet) {
  TDecodeTable t{};
  for (size_t i = 0; i < alphabet.size(); ++i) t[static_cast<uint8_t>(alphabet[i])] = static_cast<uint8_t>(i);
  return t;
}
constexpr TDecodeTable kBase64 = MakeTable("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
constexpr TDecodeTable kSixBits = MakeTable("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ*-");

// The value without white space; `storage` holds the copy when one is needed.
std::string_view WithoutWhiteSpace(const std::string& value, std::string& storage) {
  size_t i = 0;
  while (i < value.size() && !IsWhiteSpace(value[i])) ++i;
  if (i == value.size()) return value;
  storage.reserve(value.size());
  storage.assign(value, 0, i);
  for (; i < value.size(); ++i)
    if (!IsWhiteSpace(value[i])) storage += value[i];
  return storage;
}

}  // namespace

std::string EscapeString(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    bool done = false;
    for (const auto& e : kEscapes) {
      if (c == e.ch) {
        out += e.entity;
        done = true;
        break;
      }
    }
    if (!done) out += c;
  }
  return out;
}

TXmlNode::TXmlNode(TsdXmlDocument* document) : document_(document) {}
TXmlNode::TXmlNode(TsdXmlDocument* document, std::string name) : document_(document), name_(std::move(name)) {}
TXmlNode::TXmlNode(TsdXmlDocument* document, std::string name, std::string value)
    : document_(document), name_(std::move(name)), value_(std::move(value)) {}
TXmlNode::TXmlNode(TsdXmlDocument* document, TXmlElementType type) : document_(document), element_type_(type) {}
TXmlNode::~TXmlNode() = default;

TXmlNode* TXmlNode::Nodes(int index) const {
  if (index < 0 || index >= static_cast<int>(nodes_.size())) return nullptr;
  return nodes_[static_cast<size_t>(index)].get();
}

int TXmlNode::NodeAdd(std::unique_ptr<TXmlNode> node) {
  if (!node) return -1;
  node->parent_ = this;
  nodes_.push_back(std::move(node));
  return static_cast<int>(nodes_.size()) - 1;
}

std::unique_ptr<TXmlNode> TXmlNode::NodeExtract(TXmlNode* node) {
  int i = NodeIndexOf(node);
  if (i < 0) return nullptr;
  std::unique_ptr<TXmlNode> out = std::move(nodes_[static_cast<size_t>(i)]);
  nodes_.erase(nodes_.begin() + i);
  out->parent_ = nullptr;
  return out;
}

void TXmlNode::NodeDelete(int index) {
  if (index >= 0 && index < static_cast<int>(nodes_.size())) nodes_.erase(nodes_.begin() + index);
}

int TXmlNode::NodeIndexOf(const TXmlNode* node) const {
  for (size_t i = 0; i < nodes_.size(); ++i)
    if (nodes_[i].get() == node) return static_cast<int>(i);
  return -1;
}

void TXmlNode::NodesClear() { nodes_.clear(); }

void TXmlNode::Clear() {
  name_.clear();
  value_.clear();
  AttributesClear();
  nodes_.clear();
}

int TXmlNode::TreeDepth() const {
  int depth = 0;
  for (const TXmlNode* n = parent_; n; n = n->parent_) ++depth;
  return depth;
}

std::string TXmlNode::FullPath() const {
  std::vector<const TXmlNode*> chain;
  for (const TXmlNode* n = this; n; n = n->parent_) chain.push_back(n);
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    path += '/';
    path += (*it)->name_;
  }
  return path;
}

// ---------------------------------------------------------------------------
// Text

std::string TXmlNode::ValueAsString() const { return UnescapeString(value_); }

std::string TXmlNode::UnescapeString(std::string_view text) const {
  const bool utf8 = document_ && document_->Utf8Encoded();
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const size_t amp = text.find('&', i);
    if (amp == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, amp - i));
    const size_t semi = text.find(';', amp + 1);
    if (semi == std::string_view::npos) {
      out.append(text.substr(amp));
      break;
    }
    const std::string_view ref = text.substr(amp, semi - amp + 1);
    bool replaced = false;
    if (ref.size() >= 2 && ref[1] == '#') {
      const std::string_view digits = ref.substr(2, ref.size() - 3);
      std::optional<int64_t> code;
      if (!digits.empty() && (digits[0] == 'x' || digits[0] == 'X')) {
        std::string hex(1, '$');
        hex.append(digits.substr(1));
        code = ParseInt64(hex);
      } else {
        code = ParseInt64(digits);
      }
      // Numbers that do not fit any integer are not numbers: they stay.
      if (code && *code >= 0) {
        if (!utf8 && *code <= 254) {
          out += static_cast<char>(*code);
          replaced = true;
        } else if (utf8 && *code <= 65534) {
          AppendUtf8(out, static_cast<uint32_t>(*code));
          replaced = true;
        }
      }
    } else {
      for (const auto& e : kEscapes) {
        if (ref == e.entity) {
          out += e.ch;
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out.append(ref);
    i = semi + 1;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Attributes

void TXmlNode::AttributeAdd(std::string_view name, std::string_view value) {
  std::string line(name);
  line += '=';
  line += Quote(EscapeString(value));
  attributes_.push_back(std::move(line));
  first_of_name_.reset();
}

int TXmlNode::AttributeIndexByName(std::string_view name) const {
  const bool utf8 = Utf8();
  for (size_t i = 0; i < attributes_.size(); ++i) {
    const std::string& line = attributes_[i];
    const size_t eq = line.find('=');
    if (eq != std::string::npos && SameName(std::string_view(line).substr(0, eq), name, utf8))
      return static_cast<int>(i);
  }
  return -1;
}

int TXmlNode::FirstAttributeOfSameName(int index) const {
  // Few attributes: looking back is cheap. Many: one pass builds, for every
  // line, the index of the first line of its name, so that reading all of
  // them stays linear.
  constexpr size_t kLookBackLimit = 16;
  if (attributes_.size() <= kLookBackLimit) return AttributeIndexByName(AttributeName(index));
  const bool utf8 = Utf8();
  if (!first_of_name_ || first_of_name_utf8_ != utf8) {
    auto first = std::make_unique<std::vector<int>>(attributes_.size(), -1);
    std::unordered_map<std::string, int> seen;
    std::vector<size_t> nameless;
    for (size_t i = 0; i < attributes_.size(); ++i) {
      const size_t eq = attributes_[i].find('=');
      if (eq == std::string::npos) {
        nameless.push_back(i);
        continue;
      }
      (*first)[i] = seen.emplace(FoldName(std::string_view(attributes_[i]).substr(0, eq), utf8), static_cast<int>(i))
                        .first->second;
    }
    // A line without "=" has an empty name: it finds the first line "=...".
    const auto empty = seen.find(std::string());
    for (size_t i : nameless) (*first)[i] = empty == seen.end() ? -1 : empty->second;
    first_of_name_ = std::move(first);
    first_of_name_utf8_ = utf8;
  }
  return (*first_of_name_)[static_cast<size_t>(index)];
}

std::string TXmlNode::AttributeByName(std::string_view name) const {
  const int i = AttributeIndexByName(name);
  if (i < 0) return {};
  const std::string& line = attributes_[static_cast<size_t>(i)];
  return UnescapeString(Dequote(std::string_view(line).substr(line.find('=') + 1)));
}

std::string TXmlNode::AttributeName(int index) const {
  if (index < 0 || index >= AttributeCount()) return {};
  const std::string& line = attributes_[static_cast<size_t>(index)];
  const size_t eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(0, eq);
}

std::string TXmlNode::AttributePair(int index) const {
  if (index < 0 || index >= AttributeCount()) return {};
  return attributes_[static_cast<size_t>(index)];
}

std::string TXmlNode::AttributeValue(int index) const {
  if (index < 0 || index >= AttributeCount()) return AttributeByName({});
  const int i = FirstAttributeOfSameName(index);
  if (i < 0) return {};
  const std::string& line = attributes_[static_cast<size_t>(i)];
  return UnescapeString(Dequote(std::string_view(line).substr(line.find('=') + 1)));
}

// ---------------------------------------------------------------------------
// Binary content

int TXmlNode::BinaryEncoding() const { return document_ ? static_cast<int>(document_->BinaryEncoding()) : static_cast<int>(xbeBinHex); }

int64_t TXmlNode::LengthFor(int encoding, std::string_view clean) const {
  const int64_t n = static_cast<int64_t>(clean.size());
  if (encoding == xbeBase64) {
    if (n % 4 != 0) throw EFilerError("Error while calculating streamlength");
    int64_t len = n / 4 * 3;
    if (n > 0 && clean[static_cast<size_t>(n - 1)] == '=') {
      --len;
      if (n > 1 && clean[static_cast<size_t>(n - 2)] == '=') --len;
    }
    return len;
  }
  if (encoding == xbeBinHex) {
    if (n % 2 != 0) throw EFilerError("Error while calculating streamlength");
    return n / 2;
  }
  throw EFilerError("Cannot determine stream length");
}

void TXmlNode::DecodeInto(int encoding, std::string_view clean, uint8_t* out, int64_t count) const {
  if (count <= 0) return;
  const int64_t n = static_cast<int64_t>(clean.size());
  const uint8_t* p = reinterpret_cast<const uint8_t*>(clean.data());
  if (encoding == xbeBinHex) {
    if (n / 2 < count) throw EFilerError("Missing data in binary stream");
    for (int64_t i = 0; i < count; ++i)
      out[i] = static_cast<uint8_t>((HexValue(clean[2 * i]) << 4) | HexValue(clean[2 * i + 1]));
    return;
  }
  if (encoding != xbeBase64 && encoding != xbeSixBits) throw EFilerError("Cannot determine stream length");
  if (n / 4 * 3 < count) throw EFilerError("Missing data in binary stream");
  const TDecodeTable& t = encoding == xbeBase64 ? kBase64 : kSixBits;
  int64_t j = 0;
  // Whole groups first, then the last, partly used group.
  for (; j + 3 <= count; j += 3, p += 4) {
    uint32_t v = encoding == xbeBase64 ? (t[p[0]] << 18) | (t[p[1]] << 12) | (t[p[2]] << 6) | t[p[3]]
                                       : (t[p[3]] << 18) | (t[p[2]] << 12) | (t[p[1]] << 6) | t[p[0]];
    out[j] = static_cast<uint8_t>(v >> 16);
    out[j + 1] = static_cast<uint8_t>(v >> 8);
    out[j + 2] = static_cast<uint8_t>(v);
  }
  if (j < count) {
    uint32_t v = encoding == xbeBase64 ? (t[p[0]] << 18) | (t[p[1]] << 12) | (t[p[2]] << 6) | t[p[3]]
                                       : (t[p[3]] << 18) | (t[p[2]] << 12) | (t[p[1]] << 6) | t[p[0]];
    for (int shift = 16; j < count; shift -= 8) out[j++] = static_cast<uint8_t>(v >> shift);
  }
}

int64_t TXmlNode::BufferLength() const {
  std::string storage;
  return LengthFor(BinaryEncoding(), WithoutWhiteSpace(value_, storage));
}

void TXmlNode::BufferRead(void* buffer, int64_t count) const {
  std::string storage;
  DecodeInto(BinaryEncoding(), WithoutWhiteSpace(value_, storage), static_cast<uint8_t*>(buffer), count);
}

std::string TXmlNode::BinaryString() const {
  // Always base64, whatever the document's setting.
  std::string storage;
  const std::string_view clean = WithoutWhiteSpace(value_, storage);
  std::string out(static_cast<size_t>(LengthFor(xbeBase64, clean)), '\0');
  DecodeInto(xbeBase64, clean, reinterpret_cast<uint8_t*>(out.data()), static_cast<int64_t>(out.size()));
  return out;
}

// ---------------------------------------------------------------------------
// Reading

void TXmlNode::ReadFromStream(TStream& stream) {
  if (auto* codec = dynamic_cast<TsdCodecStream*>(&stream)) {
    ReadNode(*codec, TreeDepth() + 1);
  } else {
    TsdPassThroughStream raw(&stream);
    ReadNode(raw, TreeDepth() + 1);
  }
}

void TXmlNode::ReadFromString(const std::string& text) {
  TStringStream s(text);
  ReadFromStream(s);
}

void TXmlNode::ReadNode(TsdCodecStream& s, int depth) {
  int c = SkipWhiteSpace(s);
  if (c != '<') return;

  // Longest match over the tag table; "<" has been read.
  bool alive[kTagTypeCount];
  for (bool& a : alive) a = true;
  int row = kPlainElementRow;
  for (size_t k = 1;; ++k) {
    c = s.GetChar();
    bool matched = false;
    for (int i = 0; i < kTagTypeCount; ++i) {
      const std::string_view start = kTagTypes[i].start;
      if (!alive[i] || start.size() <= k) continue;
      if (c >= 0 && start[k] == static_cast<char>(c)) {
        matched = true;
        if (start.size() == k + 1) row = i;
      } else {
        alive[i] = false;
      }
    }
    if (!matched) {
      s.StepBack(1);
      break;
    }
  }
  element_type_ = kTagTypes[row].style;

  TsdXmlDocument* doc = document_;
  auto loaded = [&] {
    if (!doc) return;
    if (doc->OnNodeLoaded) doc->OnNodeLoaded(doc, this);
    if (doc->OnProgress) doc->OnProgress(doc, s.Position());
  };
  try {
    switch (element_type_) {
      case etElement:
      case etDeclaration:
      case etStylesheet: {
        std::string tag;
        ReadUntilString(s, kTagTypes[row].close, tag);
        if (element_type_ == etElement && !tag.empty() && tag.back() == '/') {
          element_type_ = etEmptyElement;
          tag.pop_back();
        }
        ParseTag(tag);
        if (element_type_ == etElement && depth > kMaxNestingDepth)
          throw EFilerError("Elements nested deeper than 1000 levels at element " + name_);
        if (doc && doc->OnNodeNew) doc->OnNodeNew(doc, this);
        if (element_type_ == etElement) ReadElementContent(s, depth);
        break;
      }
      default: {
        switch (element_type_) {
          case etComment: name_ = "Comment"; break;
          case etCData: name_ = "CData"; break;
          case etDocType: name_ = "DTD"; break;
          case etCloseTag: name_ = "Unknown"; break;
          default: name_ = "Special"; break;
        }
        if (doc && doc->OnNodeNew) doc->OnNodeNew(doc, this);
        ReadUntilString(s, kTagTypes[row].close, value_);
        break;
      }
    }
  } catch (...) {
    loaded();
    throw;
  }
  loaded();
}

void TXmlNode::ReadElementContent(TsdCodecStream& s, int depth) {
  // Text before the first child is the value; text after it is read and
  // dropped, but a CR in it decides the content rule below.
  std::string text;
  text.reserve(80);
  bool cr_after_last_child = false;
  int64_t last_child_start = -1;
  for (;;) {
    if (!s.ScanUntil('<', nodes_.empty() ? &text : nullptr, &cr_after_last_child))
      throw EFilerError("Missing close tag in element " + name_);
    const int c = SkipWhiteSpace(s);
    if (c < 0) throw EFilerError("Missing data after \"<\" in element " + name_);
    if (c == '/') break;
    cr_after_last_child = false;
    s.StepBack(2);
    // Stepping back two characters normally lands on the "<". Inside a
    // malformed UTF-8 sequence that swallowed the "<" it can land before the
    // previous child's start, and reading would go round in circles.
    const int64_t child_start = s.Position();
    if (child_start <= last_child_start) throw EFilerError("Malformed character data in element " + name_);
    last_child_start = child_start;
    auto child = std::make_unique<TXmlNode>(document_);
    TXmlNode* node = child.get();
    NodeAdd(std::move(child));
    node->ReadNode(s, depth + 1);
  }
  std::string close;
  if (!s.ScanUntil('>', &close, nullptr)) throw EFilerError("Missing \">\" in close tag of element " + name_);
  if (!SameName(TrimWS(close), name_, Utf8() || s.Encoding() == encUtf8))
    throw EFilerError("Incorrect close tag in element " + name_);
  // With children, and a CR after the last one, the value is cut back to its
  // last CR (formatting of the children is not content).
  if (!nodes_.empty() && cr_after_last_child) {
    const size_t cr = text.rfind('\r');
    text.resize(cr == std::string::npos ? 0 : cr);
  }
  // The buffer grew geometrically; cut it to its length when that frees much
  // (the document keeps its values for its whole life).
  if (text.capacity() - text.size() > 4096) text.shrink_to_fit();
  value_ = std::move(text);
}

void TXmlNode::ParseTag(std::string_view tag) {
  const std::string_view trimmed = TrimWS(tag);
  std::string text(trimmed);
  // Outside quotes, TAB and space separate tokens.
  char quote = 0;
  for (char& ch : text) {
    if (quote) {
      if (ch == quote) quote = 0;
    } else if (IsQuote(ch)) {
      quote = ch;
    } else if (ch == '\t' || ch == ' ') {
      ch = '\n';
    }
  }
  // Lines at CR, LF or CR LF, trimmed, empty ones dropped; a line that begins
  // with "=" joins the line before it, and then one that begins with a quote
  // does ("a = "x y"" becomes the single line "a="x y"").
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\r' || text[i] == '\n') {
      const std::string_view line = TrimWS(std::string_view(text).substr(start, i - start));
      if (!line.empty()) {
        if (!lines.empty() && line[0] == '=')
          lines.back() += line;
        else
          lines.emplace_back(line);
      }
      start = i + 1;
    }
  }
  std::vector<std::string> joined;
  joined.reserve(lines.size());
  for (auto& line : lines) {
    if (!joined.empty() && IsQuote(line[0]))
      joined.back() += line;
    else
      joined.push_back(std::move(line));
  }

  first_of_name_.reset();
  if (element_type_ == etDeclaration) {
    name_ = "xml";
    attributes_ = std::move(joined);
  } else if (element_type_ == etStylesheet) {
    name_ = "xml-stylesheet";
    value_ = std::string(trimmed);
    attributes_ = std::move(joined);
  } else {
    if (joined.empty()) throw EFilerError("Missing element name");
    name_ = std::move(joined[0]);
    attributes_.assign(std::make_move_iterator(joined.begin() + 1), std::make_move_iterator(joined.end()));
  }
}

}  // namespace quillon
