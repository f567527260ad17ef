// Round trips: documents read by the parser and written again read back to the
// same tree (names, attributes, values, element types), in every layout.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/memory_stream.h"
#include "tests/support/temp_dir.h"
#include "xml/xml_document.h"

namespace quillon {
namespace {

// An element without value and children is written "<a/>" whether it was
// read from "<a/>" or from "<a></a>": both are the empty element.
bool WrittenAsElement(const TXmlNode& n) { return n.ElementType() == etElement || n.ElementType() == etEmptyElement; }

int TypeOf(const TXmlNode& n) {
  if (n.ElementType() == etElement && n.Value().empty() && n.NodeCount() == 0) return etEmptyElement;
  return n.ElementType();
}

// Compares two subtrees; reports the path of the first difference. In the LF
// layout an element with children reads back with the LF written after its
// value: only a CR ends the text the parser keeps (`lf_layout`).
void ExpectSameTree(const TXmlNode& a, const TXmlNode& b, bool lf_layout = false, const std::string& path = "") {
  const std::string here = path + "/" + a.Name();
  ASSERT_EQ(a.Name(), b.Name()) << here;
  ASSERT_EQ(TypeOf(a), TypeOf(b)) << here;
  const bool container = a.NodeCount() > 0 && WrittenAsElement(a);
  ASSERT_EQ(a.Value() + (lf_layout && container ? "\n" : ""), b.Value()) << here;
  ASSERT_EQ(a.AttributeCount(), b.AttributeCount()) << here;
  for (int i = 0; i < a.AttributeCount(); ++i) {
    ASSERT_EQ(a.AttributeName(i), b.AttributeName(i)) << here;
    ASSERT_EQ(a.AttributeValue(i), b.AttributeValue(i)) << here;
  }
  ASSERT_EQ(a.NodeCount(), b.NodeCount()) << here;
  for (int i = 0; i < a.NodeCount(); ++i) ExpectSameTree(*a.Nodes(i), *b.Nodes(i), lf_layout, here);
}

void ExpectSameDocument(const TsdXmlDocument& a, const TsdXmlDocument& b, bool lf_layout) {
  EXPECT_EQ(a.VersionString(), b.VersionString());
  EXPECT_EQ(a.Encoding(), b.Encoding());
  EXPECT_EQ(a.StyleSheet(), b.StyleSheet());
  EXPECT_EQ(a.Comments(), b.Comments());
  ASSERT_EQ(a.RootNodeCount(), b.RootNodeCount());
  for (int i = 0; i < a.RootNodeCount(); ++i) ExpectSameTree(*a.RootNodes(i), *b.RootNodes(i), lf_layout);
  ExpectSameTree(*a.Root(), *b.Root(), lf_layout);
}

// Reads the text, writes it in each layout, reads that back and compares; the
// compact form, written again, is the same text.
void RoundTrip(const std::string& text) {
  TsdXmlDocument first;
  TStringStream in(text);
  first.LoadFromStream(in);
  for (uint8_t format : {1, 0, 2}) {
    first.SetXmlFormat(format);
    TStringStream out;
    first.SaveToStream(out);
    TsdXmlDocument second;
    out.SetPosition(0);
    second.LoadFromStream(out);
    SCOPED_TRACE("format " + std::to_string(format));
    ExpectSameDocument(first, second, format == 2);
    if (format == 1) {
      TStringStream again;
      second.SaveToStream(again);
      EXPECT_EQ(again.DataString(), out.DataString());
    }
  }
}

// A random document: nested elements with attributes in both quote styles,
// text with entities and character references, comments, CDATA sections,
// processing instructions, empty elements and base64 pictures.
class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}

  std::string Document() {
    std::string s = "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n";
    if (Chance(2)) s += "<!-- top &amp; comment -->\n";
    if (Chance(3)) s += "<!DOCTYPE Root SYSTEM \"r.dtd\">\n";
    s += Element(0);
    return s;
  }

 private:
  bool Chance(int one_in) { return std::uniform_int_distribution<int>(0, one_in - 1)(rng_) == 0; }
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  std::string Name() {
    static const char* names[] = {"Root", "Item", "a", "Program_Group", "x.y", "n-1", "URL", "Data_42"};
    return names[Pick(8)];
  }

  std::string Text() {
    static const char* parts[] = {"plain", " ", "&amp;", "&lt;tag&gt;", "&apos;", "&quot;", "&#65;", "&#x42;",
                                  "&#233;", "caf\xE9", "&#13;&#10;", "\t", "&unknown;", "a;b", "\x80\x99"};
    std::string s;
    for (int i = Pick(5); i > 0; --i) s += parts[Pick(15)];
    return s;
  }

  std::string Attributes() {
    std::string s;
    for (int i = Pick(3); i > 0; --i) {
      s += " k" + std::to_string(i);
      if (Chance(2))
        s += "=\"" + Text() + "\"";
      else
        s += "='it&apos;s \"" + std::to_string(Pick(100)) + "\"'";
    }
    return s;
  }

  std::string Picture() {
    std::string bytes;
    for (int i = Pick(200); i > 0; --i) bytes += static_cast<char>(Pick(256));
    TsdXmlDocument doc("p");
    doc.SetXmlFormat(static_cast<uint8_t>(Pick(3)));
    doc.Root()->BufferWrite(bytes.data(), static_cast<int64_t>(bytes.size()));
    return "<Icon>" + doc.Root()->Value() + "</Icon>";
  }

  std::string Element(int depth) {
    const std::string name = depth == 0 ? "Root" : Name();
    if (depth > 0 && Chance(4)) return "<" + name + Attributes() + "/>";
    std::string s = "<" + name + Attributes() + ">" + Text();
    const int children = depth < 4 ? Pick(5) : 0;
    for (int i = 0; i < children; ++i) {
      switch (Pick(7)) {
        case 0: s += "<!--" + Text() + "-->"; break;
        case 1: s += "<![CDATA[" + Text() + "<not a tag>]]>"; break;
        case 2: s += Picture(); break;
        case 3: s += "<?php echo 1; ?>"; break;
        default: s += Element(depth + 1); break;
      }
    }
    return s + "</" + name + ">";
  }

  std::mt19937 rng_;
};

TEST(XmlRoundTrip, GeneratedDocuments) {
  for (unsigned seed = 1; seed <= 200; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::string text = Generator(seed).Document();
    RoundTrip(text);
    if (::testing::Test::HasFatalFailure()) {
      ADD_FAILURE() << text;
      return;
    }
  }
}

TEST(XmlRoundTrip, ReadableInputWithLayoutWhiteSpace) {
  RoundTrip(
      "<?xml version=\"1.0\"?>\r\n<!--a-->\r\n<Root a = \"1 2\" b='x'>\r\n  <A>x</A>\r\n  <B>\r\n"
      "    <C/>\r\n  </B>\r\n</Root>\r\n");
}

TEST(XmlRoundTrip, SampleCatalogue) {
  const std::string text = testing::ReadFile(testing::SourceDir() + "/samples/catalogue.xml");
  RoundTrip(text);
}

}  // namespace
}  // namespace quillon
