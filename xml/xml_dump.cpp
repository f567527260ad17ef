#include "xml/xml_dump.h"

namespace quillon {

namespace {

void DumpNode(const TXmlNode& node, int depth, std::string& out) {
  out.append(static_cast<size_t>(depth) * 2, ' ');
  out += std::to_string(node.ElementType());
  out += ':';
  out += node.Name();
  for (int i = 0; i < node.AttributeCount(); ++i) {
    out += " @";
    out += node.AttributeName(i);
    out += '=';
    out += DumpEscape(node.AttributeValue(i));
  }
  const std::string value = node.ValueAsString();
  if (!value.empty()) {
    out += " = ";
    out += DumpEscape(value);
  }
  out += '\n';
  for (int i = 0; i < node.NodeCount(); ++i) DumpNode(*node.Nodes(i), depth + 1, out);
}

}  // namespace

std::string DumpEscape(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += ch;
        }
    }
  }
  return out;
}

std::string DumpXmlDocument(const TsdXmlDocument& doc) {
  std::string out = "declaration version=" + DumpEscape(doc.VersionString()) + " encoding=" + DumpEscape(doc.Encoding()) +
                    " detected=" + std::to_string(doc.DetectedEncoding()) +
                    " utf8=" + (doc.Utf8Encoded() ? "1" : "0") + "\n";
  for (const std::string& comment : doc.Comments()) out += "comment " + DumpEscape(comment) + "\n";
  if (!doc.StyleSheet().empty()) out += "stylesheet " + DumpEscape(doc.StyleSheet()) + "\n";
  for (int i = 0; i < doc.RootNodeCount(); ++i) {
    const TXmlNode* n = doc.RootNodes(i);
    out += "rootnode " + std::to_string(n->ElementType()) + ":" + n->Name() + " " + DumpEscape(n->Value()) + "\n";
  }
  if (doc.Root()) DumpNode(*doc.Root(), 0, out);
  return out;
}

}  // namespace quillon
