// Writing XML: the three layouts, empty elements, the header lines, codecs and
// byte-order marks, binary content, names and attribute text, tree editing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/base64.h"
#include "base/exceptions.h"
#include "base/memory_stream.h"
#include "tests/support/temp_dir.h"
#include "xml/xml_document.h"

namespace quillon {
namespace {

// A document whose root "Root" holds one child "A" with the value "x".
void FillRootA(TsdXmlDocument& doc) {
  doc.Root()->SetName("Root");
  doc.Root()->NodeNew("A")->SetValueAsString("x");
}

std::string Saved(TsdXmlDocument& doc) {
  TStringStream s;
  doc.SaveToStream(s);
  return s.DataString();
}

TEST(XmlWrite, DefaultsGiveTheDeclarationOneLfAndTheTreeOnOneLine) {
  TsdXmlDocument doc;
  FillRootA(doc);
  const std::string expected = "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<Root><A>x</A></Root>";
  EXPECT_EQ(Saved(doc), expected);
  EXPECT_EQ(doc.WriteToString(), expected);
  EXPECT_EQ(doc.Codec(), nullptr);
}

TEST(XmlWrite, ReadableAndLfLayouts) {
  TsdXmlDocument doc;
  FillRootA(doc);
  doc.Root()->NodeByName("A")->NodeNew("B");
  doc.SetXmlFormat(0);
  EXPECT_EQ(doc.WriteToString(),
            "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\r\n"
            "<Root>\r\n  <A>x\r\n    <B/>\r\n  </A>\r\n</Root>");
  doc.SetXmlFormat(2);
  EXPECT_EQ(doc.WriteToString(),
            "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<Root>\n<A>x\n<B/>\n</A>\n</Root>");
  // A node written on its own follows its depth.
  doc.SetXmlFormat(0);
  EXPECT_EQ(doc.Root()->NodeByName("A")->WriteToString(), "  <A>x\r\n    <B/>\r\n  </A>");
  // The readable layout reads back to the same values.
  TsdXmlDocument back;
  back.ReadFromString(doc.WriteToString());
  EXPECT_EQ(back.Root()->NodeByName("A")->Value(), "x");
  EXPECT_EQ(back.Root()->Value(), "");
}

TEST(XmlWrite, EmptyElementsAndFullEndTags) {
  TsdXmlDocument doc;
  TXmlNode* a = doc.Root();
  a->SetName("a");
  EXPECT_EQ(a->WriteToString(), "<a/>");
  a->AttributeAdd("k", "v");
  EXPECT_EQ(a->WriteInnerTag(), " k=\"v\"/");
  EXPECT_EQ(a->WriteToString(), "<a k=\"v\"/>");
  doc.SetFullEndTags(true);
  EXPECT_EQ(a->WriteToString(), "<a k=\"v\"></a>");
  EXPECT_EQ(a->WriteInnerTag(), " k=\"v\"");
  // A node without a document: no layout, no full end tags.
  TXmlNode loose(nullptr, "n");
  loose.NodeNew("c");
  EXPECT_EQ(loose.WriteToString(), "<n><c/></n>");
}

TEST(XmlWrite, OtherNodeKindsKeepTheirForms) {
  TsdXmlDocument doc;
  doc.ReadFromString(
      "<?xml version=\"1.0\"?><!DOCTYPE r><?pi x?><!-- top --><r><!-- c --><![CDATA[a<b]]>"
      "<?do it?><!ENTITY e><e a='say \"hi\"'/></r>");
  doc.SetXmlFormat(2);
  EXPECT_EQ(doc.WriteToString(),
            "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<!-- top -->\n<!DOCTYPE r>\n<?pi x?>\n"
            "<r>\n<!-- c -->\n<![CDATA[a<b]]>\n<?do it?>\n<!ENTITY e>\n<e a='say \"hi\"'/>\n</r>");
  // A raw tag is written around its value.
  TXmlNode raw(&doc, etRawTag);
  raw.SetValue("br");
  EXPECT_EQ(raw.WriteToString(), "<br>");
}

TEST(XmlWrite, HeaderPartsFollowTheSettings) {
  TsdXmlDocument doc("Root");
  doc.ReadFromString("<?xml version=\"1.1\" encoding=\"a&amp;b\"?><?xml-stylesheet href=\"s.xsl\"?><Root/>");
  EXPECT_EQ(doc.WriteToString(),
            "<?xml version=\"1.1\" encoding=\"a&amp;b\"?>\n<?xml-stylesheet href=\"s.xsl\"?>\n<Root/>");
  // Without version and encoding there is no declaration at all.
  TsdXmlDocument bare;
  bare.ReadFromString("<?xml version=\"\" encoding=\"\"?><r/>");
  EXPECT_EQ(bare.WriteToString(), "<r/>");
}

TEST(XmlWrite, RootWithoutNameIsRefused) {
  TsdXmlDocument doc;
  EXPECT_TRUE(doc.IsEmpty());
  try {
    doc.WriteToString();
    FAIL() << "no error";
  } catch (const EFilerError& e) {
    EXPECT_STREQ(e.what(), "XML root element not defined.");
  }
}

TEST(XmlWrite, CodecsWriteTheirByteOrderMarks) {
  // A UTF-8 document loaded with its byte-order mark is saved with it, bytes
  // unchanged.
  TsdXmlDocument doc;
  TStringStream in("\xEF\xBB\xBF<r>caf\xC3\xA9</r>");
  doc.LoadFromStream(in);
  EXPECT_EQ(Saved(doc), "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<r>caf\xC3\xA9</r>");
  // A UTF-16 document is saved as UTF-16 with its mark.
  TsdXmlDocument wide;
  TStringStream in16(std::string("\xFF\xFE<\0r\0/\0>\0", 10));
  wide.LoadFromStream(in16);
  const std::string out = Saved(wide);
  ASSERT_GE(out.size(), 4u);
  EXPECT_EQ(out.substr(0, 4), std::string("\xFF\xFE<\0", 4));
  EXPECT_EQ(out.substr(out.size() - 8), std::string("<\0r\0/\0>\0", 8));
}

TEST(XmlWrite, SaveToFileAndLoadBack) {
  testing::TempDir dir;
  TsdXmlDocument doc("Root");
  doc.Root()->WriteString("Text", "a < b & \"c\"");
  doc.SaveToFile(dir.File("d.xml"));
  EXPECT_EQ(testing::ReadFile(dir.File("d.xml")),
            "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<Root><Text>a &lt; b &amp; &quot;c&quot;</Text></Root>");
  TsdXmlDocument back;
  back.LoadFromFile(dir.File("d.xml"));
  EXPECT_EQ(back.Root()->ReadString("Text"), "a < b & \"c\"");
}

TEST(XmlWrite, ProgressRunsFromZeroToTheSize) {
  TsdXmlDocument doc;
  FillRootA(doc);
  std::vector<int64_t> seen;
  doc.OnProgress = [&](TsdXmlDocument*, int64_t p) { seen.push_back(p); };
  const std::string text = doc.WriteToString();
  const std::vector<int64_t> expected = {0, static_cast<int64_t>(text.size()) - 7, static_cast<int64_t>(text.size()),
                                         static_cast<int64_t>(text.size())};
  EXPECT_EQ(seen, expected);  // after A, after Root, then the size
  // Through a codec the positions are those of the bytes written, the
  // byte-order mark included.
  doc.SetUtf8Encoded(true);
  TStringStream in("\xEF\xBB\xBF<Root><A>x</A></Root>");
  doc.LoadFromStream(in);
  seen.clear();
  const std::string saved = Saved(doc);
  ASSERT_EQ(saved.substr(0, 3), "\xEF\xBB\xBF");
  const int64_t size = static_cast<int64_t>(saved.size());
  const std::vector<int64_t> through_codec = {0, size - 7, size, size};
  EXPECT_EQ(seen, through_codec);
}

TEST(XmlWrite, CopyFromAssignAndCreateName) {
  TsdXmlDocument doc("Root");
  EXPECT_EQ(doc.Root()->Name(), "Root");
  EXPECT_FALSE(doc.IsEmpty());
  doc.Root()->WriteInteger("N", 5);
  doc.Root()->AttributeAdd("id", "x'y");
  TsdXmlDocument copy;
  copy.CopyFrom(doc);
  EXPECT_EQ(copy.WriteToString(), doc.WriteToString());
  TsdXmlDocument other;
  other.Assign(doc);
  EXPECT_EQ(other.Root()->ReadInteger("N"), 5);

  TXmlNode target(&doc, "old");
  target.NodeNew("gone");
  target.Assign(*doc.Root());
  EXPECT_EQ(target.Name(), "Root");
  EXPECT_EQ(target.NodeCount(), 1);
  EXPECT_EQ(target.AttributeByName("id"), "x'y");
  EXPECT_EQ(target.ReadInteger("N"), 5);
  EXPECT_THROW(TsdXmlDocument("has space"), Exception);
}

TEST(XmlWrite, SetNameRefusesWhiteSpace) {
  TXmlNode n(nullptr, "ok");
  for (const char* bad : {"a b", "a\tb", "a\r\nb"}) {
    try {
      n.SetName(bad);
      FAIL() << "accepted " << bad;
    } catch (const Exception& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Illegal character in node name \"") + bad + "\"");
    }
  }
  EXPECT_EQ(n.Name(), "ok");
  n.SetName("Other");
  EXPECT_EQ(n.Name(), "Other");
}

TEST(XmlWrite, TextAndAttributesAreEscaped) {
  TXmlNode n(nullptr, "n");
  n.SetValueAsString("&<>'\"");
  EXPECT_EQ(n.Value(), "&amp;&lt;&gt;&apos;&quot;");
  EXPECT_EQ(n.ValueAsString(), "&<>'\"");
  n.AttributeAdd("a", "1");
  n.AttributeAdd("b", "x\"y");
  EXPECT_EQ(n.AttributePair(1), "b=\"x&quot;y\"");
  n.SetAttributeValue(0, "<2>");
  EXPECT_EQ(n.AttributePair(0), "a=\"&lt;2&gt;\"");
  n.SetAttributeValue(5, "ignored");
  EXPECT_EQ(n.AttributeCount(), 2);
  n.WriteAttributeString("B", "new");
  n.WriteAttributeInteger("c", -7);
  EXPECT_EQ(n.AttributeByName("b"), "new");
  EXPECT_EQ(n.ReadAttributeInteger("c", 0), -7);
  EXPECT_EQ(n.ReadAttributeInteger("b", 3), 3);
  EXPECT_EQ(n.ReadAttributeString("zz", "def"), "def");
  EXPECT_TRUE(n.HasAttribute("A"));
  EXPECT_FALSE(n.HasAttribute("d"));
  EXPECT_EQ(n.WriteToString(), "<n a=\"&lt;2&gt;\" b=\"new\" c=\"-7\">&amp;&lt;&gt;&apos;&quot;</n>");
  n.AttributesClear();
  EXPECT_EQ(n.AttributeCount(), 0);
}

TEST(XmlWrite, WideTextFollowsTheDocumentsEncoding) {
  TsdXmlDocument doc;
  TXmlNode* n = doc.Root();
  n->SetValueAsWidestring(u"\u20AC & \u4E2D");
  EXPECT_EQ(n->Value(), "\x80 &amp; ?");  // windows-1252 lacks the last one
  EXPECT_EQ(n->ValueAsWidestring(), u"\u20AC & ?");
  doc.SetUtf8Encoded(true);
  n->SetValueAsWidestring(u"\u20AC\u4E2D\U0001F600");
  EXPECT_EQ(n->Value(), "\xE2\x82\xAC\xE4\xB8\xAD\xF0\x9F\x98\x80");
  EXPECT_EQ(n->ValueAsWidestring(), u"\u20AC\u4E2D\U0001F600");
  n->SetValue("a\xFF");  // malformed UTF-8
  EXPECT_EQ(n->ValueAsWidestring(), u"a\uFFFD");
  n->WriteWidestring("W", u"\u00E9");
  EXPECT_EQ(n->ReadWidestring("w"), u"\u00E9");
  EXPECT_EQ(n->ReadWidestring("none", u"d"), u"d");
}

// BufferWrite then BufferRead give the bytes back, in every encoding and at
// every length around the group size.
TEST(XmlWrite, BinaryContentReadsBackInEveryEncoding) {
  for (uint8_t encoding : {0, 1, 2}) {
    for (uint8_t format : {0, 1, 2}) {
      TsdXmlDocument doc("r");
      doc.SetBinaryEncoding(encoding);
      doc.SetXmlFormat(format);
      TXmlNode* n = doc.Root()->NodeNew("pic");
      for (int len = 0; len <= 130; len += (len < 8 ? 1 : 61)) {
        std::string bytes;
        for (int i = 0; i < len; ++i) bytes += static_cast<char>(i * 37 + len);
        n->BufferWrite(bytes.data(), len);
        std::string back(static_cast<size_t>(len), '\0');
        n->BufferRead(back.data(), len);
        EXPECT_EQ(back, bytes) << int(encoding) << "/" << int(format) << "/" << len;
        if (encoding != 2 && len > 0) {
          EXPECT_EQ(n->BufferLength(), len);
        }
      }
    }
  }
}

TEST(XmlWrite, BinaryContentTextAndLines) {
  TsdXmlDocument doc("r");
  TXmlNode* n = doc.Root()->NodeNew("pic");
  const uint8_t three[3] = {0, 1, 2};
  n->BufferWrite(three, 3);
  EXPECT_EQ(n->Value(), "AAEC");
  doc.SetBinaryEncoding(0);
  n->BufferWrite(three, 3);
  EXPECT_EQ(n->Value(), "000102");
  const uint8_t high[2] = {0xAB, 0xFF};
  n->BufferWrite(high, 2);
  EXPECT_EQ(n->Value(), "ABFF");
  doc.SetBinaryEncoding(2);
  n->BufferWrite(three, 3);
  EXPECT_EQ(n->Value(), "2400");  // 0x000102: least significant six bits first
  doc.SetBinaryEncoding(1);
  doc.SetXmlFormat(0);
  n->BufferWrite(three, 3);
  EXPECT_EQ(n->Value(), "\r\n  AAEC\r\n  ");
  // 60 bytes are 80 characters: a line of 76 and one of 4.
  std::string sixty(60, '\x01');
  n->BufferWrite(sixty.data(), 60);
  const std::string line = Base64Encode(sixty);
  EXPECT_EQ(n->Value(), "\r\n  " + line.substr(0, 76) + "\r\n  " + line.substr(76) + "\r\n  ");
  doc.SetXmlFormat(2);
  n->BufferWrite(three, 3);
  EXPECT_EQ(n->Value(), "\nAAEC\n");
  TXmlNode loose(nullptr, "x");
  loose.BufferWrite(three, 3);
  EXPECT_EQ(loose.Value(), "000102");  // hexadecimal without a document
}

TEST(XmlWrite, TreeEditing) {
  TXmlNode p(nullptr, "p");
  EXPECT_EQ(p.NodeAdd(nullptr), -1);
  TXmlNode* b = p.NodeNew("b");
  TXmlNode* a = p.NodeNewAtIndex(0, "a");
  EXPECT_EQ(p.NodeNewAtIndex(3, "x"), nullptr);
  EXPECT_EQ(p.NodeNewAtIndex(-1, "x"), nullptr);
  TXmlNode* c = p.NodeNewAtIndex(2, "B");
  p.NodeInsert(4, std::make_unique<TXmlNode>(nullptr, "no"));
  EXPECT_EQ(p.NodeCount(), 3);
  EXPECT_EQ(a->Parent(), &p);
  EXPECT_EQ(p.NodeByName("B"), b);
  EXPECT_EQ(p.NodeIndexByName("b"), 1);
  EXPECT_EQ(p.NodeIndexByNameFrom("b", 2), 2);
  EXPECT_EQ(p.NodeIndexByNameFrom("b", 3), -1);
  EXPECT_EQ(p.NodeByName("zz"), nullptr);
  EXPECT_EQ(p.NodeFindOrCreate("A"), a);
  TXmlNode* d = p.NodeFindOrCreate("d");
  EXPECT_EQ(p.NodeIndexOf(d), 3);

  std::unique_ptr<TXmlNode> out = p.NodeExtract(b);
  EXPECT_EQ(out.get(), b);
  EXPECT_EQ(b->Parent(), nullptr);
  EXPECT_EQ(p.NodeExtract(b), nullptr);
  p.NodeInsert(0, std::move(out));
  EXPECT_EQ(p.Nodes(0), b);
  EXPECT_EQ(b->Parent(), &p);
  EXPECT_EQ(p.NodeRemove(c), 2);
  EXPECT_EQ(p.NodeRemove(c), -1);
  d->Delete();
  EXPECT_EQ(p.NodeCount(), 2);
  p.NodeDelete(7);
  p.NodeDelete(0);
  EXPECT_EQ(p.Nodes(0), a);
  p.Delete();  // no parent: nothing happens

  EXPECT_FALSE(p.IsEmpty());
  p.NodesClear();
  EXPECT_TRUE(p.IsEmpty());
  EXPECT_FALSE(p.IsClear());
  p.AttributeAdd("x", "1");
  EXPECT_FALSE(p.IsEmpty());
  p.Clear();
  EXPECT_TRUE(p.IsClear());
}

}  // namespace
}  // namespace quillon
