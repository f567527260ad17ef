// Reading XML: the parser, top-level handling, lookups, text and binary
// accessors, events and every parse error.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "base/exceptions.h"
#include "base/memory_stream.h"
#include "tests/support/temp_dir.h"
#include "xml/name_case.h"
#include "xml/xml_document.h"

// Counts allocations, so that a test can tell geometric buffer growth from
// growth by a fixed step.
static std::atomic<long> g_allocations{0};
void* operator new(std::size_t n) {
  ++g_allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace quillon {
namespace {

// Loads through the codec, as the program does.
void Load(TsdXmlDocument& doc, const std::string& text) {
  TStringStream s(text);
  doc.LoadFromStream(s);
}

// The message of the EFilerError that loading raises ("" when none).
std::string LoadError(const std::string& text) {
  TsdXmlDocument doc;
  try {
    Load(doc, text);
  } catch (const EFilerError& e) {
    return e.what();
  }
  return "";
}

TEST(XmlDocument, DeclarationAndSimpleTree) {
  TsdXmlDocument doc;
  Load(doc, "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<Root><A>x</A></Root>");
  EXPECT_EQ(doc.VersionString(), "1.0");
  EXPECT_EQ(doc.Encoding(), "windows-1252");
  EXPECT_EQ(doc.DetectedEncoding(), encAnsi);
  EXPECT_FALSE(doc.Utf8Encoded());
  ASSERT_EQ(doc.Root()->Name(), "Root");
  ASSERT_EQ(doc.Root()->NodeCount(), 1);
  EXPECT_EQ(doc.Root()->Nodes(0)->Name(), "A");
  EXPECT_EQ(doc.Root()->Nodes(0)->Value(), "x");
  EXPECT_EQ(doc.Root()->Nodes(0)->Parent(), doc.Root());
  EXPECT_EQ(doc.Root()->Parent(), nullptr);
  EXPECT_EQ(doc.RootNodeCount(), 0);
  EXPECT_TRUE(doc.Comments().empty());
  EXPECT_EQ(doc.Root()->Nodes(1), nullptr);
}

TEST(XmlDocument, DefaultsAfterCreate) {
  TsdXmlDocument doc;
  EXPECT_EQ(doc.BinaryEncoding(), 1);
  EXPECT_EQ(doc.Encoding(), "windows-1252");
  EXPECT_EQ(doc.VersionString(), "1.0");
  EXPECT_EQ(doc.XmlFormat(), 1);
  EXPECT_TRUE(doc.WriteOnDefault());
  EXPECT_FALSE(doc.FullEndTags());
  ASSERT_NE(doc.Root(), nullptr);
  EXPECT_TRUE(doc.Root()->Name().empty());
  EXPECT_EQ(doc.Codec(), nullptr);
}

TEST(XmlDocument, CloseTags) {
  TsdXmlDocument doc;
  Load(doc, "<a><b/></A>");
  EXPECT_EQ(doc.Root()->Name(), "a");
  EXPECT_EQ(doc.Root()->Nodes(0)->ElementType(), etEmptyElement);
  EXPECT_EQ(LoadError("<a><b/></c>"), "Incorrect close tag in element a");
  EXPECT_EQ(LoadError("<a>"), "Missing close tag in element a");
  EXPECT_EQ(LoadError("<a>text"), "Missing close tag in element a");
  EXPECT_EQ(LoadError("<a>x< \t"), "Missing data after \"<\" in element a");
  EXPECT_EQ(LoadError("<a>x</a"), "Missing \">\" in close tag of element a");
  EXPECT_EQ(LoadError("<>"), "Missing element name");
  EXPECT_EQ(LoadError("< />"), "Missing element name");
  // The end tag is compared trimmed.
  Load(doc, "<a></ a \r\n>");
  EXPECT_EQ(doc.Root()->Name(), "a");
}

TEST(XmlDocument, TopLevelNodes) {
  EXPECT_EQ(LoadError("<a/><b/>"), "More than one root element found in xml");
  EXPECT_EQ(LoadError("<!-- only a comment -->"), "No root element found in xml");
  {
    // Empty input: the codec's first detection row matches, a refused encoding.
    TsdXmlDocument doc;
    try {
      Load(doc, "");
      FAIL();
    } catch (const EStreamError& e) {
      EXPECT_STREQ(e.what(), "Unsupported string encoding");
    }
  }
  EXPECT_EQ(LoadError("<a/><![CDATA[x]]>"), "No CDATA allowed in root");
  EXPECT_EQ(LoadError("<?xml-stylesheet a?><?xml-stylesheet b?><r/>"),
            "Multiple stylesheets in root not supported");

  TsdXmlDocument doc;
  Load(doc,
       "<?xml version=\"1.1\"?><!--one--><?xml-stylesheet type=\"text/xsl\" href=\"s.xsl\"?>"
       "<!DOCTYPE r SYSTEM \"r.dtd\"><?pi data?><!ENTITY x><r>v</r>\r\n<!--two--></x>  trailing text\n");
  EXPECT_EQ(doc.VersionString(), "1.1");
  EXPECT_EQ(doc.Encoding(), "windows-1252");
  EXPECT_EQ(doc.Comments(), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(doc.StyleSheet(), "type=\"text/xsl\" href=\"s.xsl\"");
  ASSERT_EQ(doc.RootNodeCount(), 4);
  EXPECT_EQ(doc.RootNodes(0)->ElementType(), etDocType);
  EXPECT_EQ(doc.RootNodes(0)->Name(), "DTD");
  EXPECT_EQ(doc.RootNodes(0)->Value(), " r SYSTEM \"r.dtd\"");
  EXPECT_EQ(doc.RootNodes(1)->ElementType(), etInstruction);
  EXPECT_EQ(doc.RootNodes(1)->Name(), "Special");
  EXPECT_EQ(doc.RootNodes(1)->Value(), "pi data");
  EXPECT_EQ(doc.RootNodes(2)->ElementType(), etExclamation);
  EXPECT_EQ(doc.RootNodes(2)->Value(), "ENTITY x");
  EXPECT_EQ(doc.RootNodes(3)->ElementType(), etCloseTag);
  EXPECT_EQ(doc.RootNodes(3)->Name(), "Unknown");
  EXPECT_EQ(doc.RootNodes(3)->Value(), "x");
  EXPECT_EQ(doc.RootNodes(0)->Parent(), nullptr);
  EXPECT_EQ(doc.Root()->Value(), "v");
  EXPECT_EQ(doc.Root()->FullPath(), "/r");
}

TEST(XmlDocument, DeclarationThatIsNotFirstIsStillRead) {
  // Reading a declaration drops the first node read so far: here the comment.
  TsdXmlDocument doc;
  Load(doc, "<!--c--><?xml version=\"2.0\" encoding=\"x\"?><r/>");
  EXPECT_EQ(doc.VersionString(), "2.0");
  EXPECT_EQ(doc.Encoding(), "x");
  EXPECT_TRUE(doc.Comments().empty());
}

TEST(XmlDocument, LoadReplacesContentAndFailureLeavesClearedRoot) {
  TsdXmlDocument doc;
  Load(doc, "<?xml version=\"1.1\"?><!--c--><r><a/></r>");
  EXPECT_THROW(Load(doc, "<!--only-->"), EFilerError);
  EXPECT_EQ(doc.VersionString(), "1.0");
  EXPECT_TRUE(doc.Root()->Name().empty());
  EXPECT_EQ(doc.Root()->NodeCount(), 0);
  EXPECT_TRUE(doc.Comments().empty());
}

TEST(XmlDocument, LongestMatchOfTheTagTable) {
  TsdXmlDocument doc;
  Load(doc, "<r><![CDATA[a<b>]]]><!--c--->d<!-x-><?xmlish?></r>");
  const TXmlNode* r = doc.Root();
  ASSERT_EQ(r->NodeCount(), 4);
  EXPECT_EQ(r->Nodes(0)->ElementType(), etCData);
  EXPECT_EQ(r->Nodes(0)->Name(), "CData");
  EXPECT_EQ(r->Nodes(0)->Value(), "a<b>]");
  EXPECT_EQ(r->Nodes(1)->ElementType(), etComment);
  EXPECT_EQ(r->Nodes(1)->Value(), "c-");
  // "<!-" is no comment: "<!" matched, and the "-" read after it stays consumed.
  EXPECT_EQ(r->Nodes(2)->ElementType(), etExclamation);
  EXPECT_EQ(r->Nodes(2)->Value(), "x-");
  // "<?xml" followed by more letters is a declaration: its tag text is "ish".
  EXPECT_EQ(r->Nodes(3)->ElementType(), etDeclaration);
  EXPECT_EQ(r->Nodes(3)->Name(), "xml");
  EXPECT_EQ(r->Nodes(3)->AttributePair(0), "ish");
  Load(doc, "<r><?xml-stylesheet href='a'?><?x?></r>");
  EXPECT_EQ(doc.Root()->Nodes(0)->ElementType(), etStylesheet);
  EXPECT_EQ(doc.Root()->Nodes(0)->Name(), "xml-stylesheet");
  EXPECT_EQ(doc.Root()->Nodes(0)->Value(), "href='a'");
  EXPECT_EQ(doc.Root()->Nodes(0)->AttributeValue(0), "a");
  // "<?x" matched the start of "<?xml": the "x" stays consumed.
  EXPECT_EQ(doc.Root()->Nodes(1)->ElementType(), etInstruction);
  EXPECT_EQ(doc.Root()->Nodes(1)->Value(), "");
}

TEST(XmlDocument, ContentRuleForValues) {
  TsdXmlDocument doc;
  Load(doc, "<a>\r\n  text\r\n  <b/>\r\n</a>");
  EXPECT_EQ(doc.Root()->Value(), "\r\n  text");
  Load(doc, "<a>abc<b/>\r\n</a>");
  EXPECT_EQ(doc.Root()->Value(), "");
  Load(doc, "<a>abc<b/></a>");
  EXPECT_EQ(doc.Root()->Value(), "abc");
  // Text after the first child is dropped; a CR before the next child is forgotten.
  Load(doc, "<a>x\r<b/>\r<c/>y</a>");
  EXPECT_EQ(doc.Root()->Value(), "x\r");
  Load(doc, "<a>x\r<b/>\r<c/></a>");
  EXPECT_EQ(doc.Root()->Value(), "x\r");  // CR after the last child: cut to the last CR
  Load(doc, "<a>  keep  spaces </a>");
  EXPECT_EQ(doc.Root()->Value(), "  keep  spaces ");
}

TEST(XmlDocument, TextUnescapeAnsiAndUtf8Rules) {
  TsdXmlDocument doc;
  Load(doc, "<a>&amp;&lt;&#65;&#x42;&#255;&zz;</a>");
  EXPECT_EQ(doc.Root()->Value(), "&amp;&lt;&#65;&#x42;&#255;&zz;");
  EXPECT_EQ(doc.Root()->ValueAsString(), "&<AB&#255;&zz;");
  Load(doc, "<a>T&apos;s &quot;q&quot; &gt; &AMP; &#254;&#0233;&#X41;</a>");
  EXPECT_EQ(doc.Root()->ValueAsString(), "T's \"q\" > &AMP; \xFE\xE9" "A");
  // Not numbers, or numbers too large for any integer: stay as written.
  Load(doc, "<a>&#;&#x;&#12a;&#-1;&#99999999999999999999999;&#x10000000000000000;&#4294967361;</a>");
  EXPECT_EQ(doc.Root()->ValueAsString(), doc.Root()->Value());
  // No ";" after an "&": the rest is copied; "&" text ";" is one unknown reference.
  Load(doc, "<a>a & b; c &amp</a>");
  EXPECT_EQ(doc.Root()->ValueAsString(), "a & b; c &amp");

  doc.SetUtf8Encoded(true);
  Load(doc, "<a>&#233;&#x20AC;&#65534;&#65535;&#255;</a>");
  EXPECT_EQ(doc.Root()->ValueAsString(), "\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBE&#65535;\xC3\xBF");
}

TEST(XmlDocument, AttributesAndTheirAccessors) {
  TsdXmlDocument doc;
  Load(doc, "<a x = \"1 2\" y='3'/>");
  TXmlNode* a = doc.Root();
  EXPECT_EQ(a->ElementType(), etEmptyElement);
  EXPECT_EQ(a->Name(), "a");
  ASSERT_EQ(a->AttributeCount(), 2);
  EXPECT_EQ(a->AttributeName(0), "x");
  EXPECT_EQ(a->AttributeValue(0), "1 2");
  EXPECT_EQ(a->AttributePair(0), "x=\"1 2\"");
  EXPECT_EQ(a->AttributeName(1), "y");
  EXPECT_EQ(a->AttributeValue(1), "3");
  EXPECT_EQ(a->AttributeByName("Y"), "3");
  EXPECT_EQ(a->AttributeIndexByName("X"), 0);
  EXPECT_EQ(a->AttributeIndexByName("z"), -1);
  EXPECT_EQ(a->AttributeByName("z"), "");

  Load(doc, "<a\tq='it''s' e=\"&lt;&amp;&#65;\" bare one=x tab\r\n=\r\n'v' n=\"\"/>");
  a = doc.Root();
  ASSERT_EQ(a->AttributeCount(), 6);
  EXPECT_EQ(a->AttributeValue(0), "it's");
  EXPECT_EQ(a->AttributeValue(1), "<&A");
  EXPECT_EQ(a->AttributeName(2), "");  // no "=": no name, no value
  EXPECT_EQ(a->AttributeValue(2), "");
  EXPECT_EQ(a->AttributeValue(3), "x");
  EXPECT_EQ(a->AttributePair(4), "tab='v'");
  EXPECT_EQ(a->AttributeValue(5), "");

  // The same attribute name twice: the value of the first.
  Load(doc, "<a k=\"1\" k=\"2\"/>");
  EXPECT_EQ(doc.Root()->AttributeValue(1), "1");

  TXmlNode n(&doc, "n");
  n.AttributeAdd("k", "a\"b<c");
  EXPECT_EQ(n.AttributePair(0), "k=\"a&quot;b&lt;c\"");
  EXPECT_EQ(n.AttributeValue(0), "a\"b<c");
  EXPECT_EQ(n.AttributeName(7), "");
}

TEST(XmlDocument, ReadingEveryAttributeIsLinear) {
  // 20 000 names, a repeated one (other case) and a line without "=".
  std::string text = "<e";
  for (int i = 0; i < 20000; ++i) text += " a" + std::to_string(i) + "=\"v" + std::to_string(i) + "\"";
  TsdXmlDocument doc;
  Load(doc, text + " A7=\"again\" bare/>");
  TXmlNode* e = doc.Root();
  ASSERT_EQ(e->AttributeCount(), 20002);
  const int64_t before = NameExaminationCount();
  for (int i = 0; i < 20000; ++i) ASSERT_EQ(e->AttributeValue(i), "v" + std::to_string(i));
  EXPECT_EQ(e->AttributeValue(20000), "v7");  // the first of that name
  EXPECT_EQ(e->AttributeValue(20001), "");    // no name, no value
  EXPECT_LE(NameExaminationCount() - before, 2 * 20002);

  // Lines that change are seen at once.
  e->AttributeAdd("late", "new");
  EXPECT_EQ(e->AttributeValue(20002), "new");
  e->SetAttributeValue(7, "changed");
  EXPECT_EQ(e->AttributeValue(20000), "changed");
  e->AttributesClear();
  for (int i = 0; i < 20; ++i) e->AttributeAdd("b" + std::to_string(i), std::to_string(i));
  EXPECT_EQ(e->AttributeValue(19), "19");
  EXPECT_EQ(e->AttributeValue(20000), "");
}

TEST(XmlDocument, FindNodeAndFindNodes) {
  TsdXmlDocument doc;
  Load(doc,
       "<Root><Interface_Information><Window_Caption>W</Window_Caption></Interface_Information>"
       "<Program_Group><Program_Name>P1</Program_Name>"
       "<Download><Description>D1</Description></Download>"
       "<download><Description>D2</Description></download></Program_Group>"
       "<program_group><Program_Name>P2</Program_Name></program_group></Root>");
  TXmlNode* root = doc.Root();
  TXmlNode* info = FindNode(root, "/root/interface_information");
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->Name(), "Interface_Information");
  TXmlNode* caption = FindNode(root, "/ROOT/INTERFACE_INFORMATION/WINDOW_CAPTION");
  ASSERT_NE(caption, nullptr);
  EXPECT_EQ(caption->ValueAsString(), "W");
  EXPECT_EQ(caption->FullPath(), "/Root/Interface_Information/Window_Caption");
  EXPECT_EQ(FindNode(root, "/Root/Window_Caption"), nullptr);
  EXPECT_EQ(FindNode(root, "Root"), nullptr);  // the node given is never tested
  EXPECT_EQ(FindNode(nullptr, "Root"), nullptr);

  std::vector<TXmlNode*> groups;
  FindNodes(root, "Program_Group", &groups);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(FindNode(groups[1], "Program_Name")->ValueAsString(), "P2");
  // The first Description in document order, from a node with several Download children.
  EXPECT_EQ(FindNode(groups[0], "Description")->ValueAsString(), "D1");
  std::vector<TXmlNode*> links{root};
  FindNodes(groups[0], "DOWNLOAD", &links);
  ASSERT_EQ(links.size(), 2u);  // cleared first
  EXPECT_EQ(FindNode(links[1], "description")->ValueAsString(), "D2");
  FindNodes(groups[0], "Nothing", &links);
  EXPECT_TRUE(links.empty());
  FindNodes(groups[0], "Download", nullptr);  // no list: nothing happens
}

// The first node in document order whose name or full path is the key,
// case ignored, looked for by the plain walk the rule describes.
TXmlNode* FirstMatch(TXmlNode* node, const std::string& key) {
  for (int i = 0; i < node->NodeCount(); ++i) {
    TXmlNode* child = node->Nodes(i);
    if (SameName(child->Name(), key, false) || SameName(child->FullPath(), key, false)) return child;
    if (TXmlNode* found = FirstMatch(child, key)) return found;
  }
  return nullptr;
}

void AllNodes(TXmlNode* node, std::vector<TXmlNode*>* out) {
  out->push_back(node);
  for (int i = 0; i < node->NodeCount(); ++i) AllNodes(node->Nodes(i), out);
}

TEST(XmlDocument, FullPathLookupVisitsEachNodeOnce) {
  // Every node's full path (in other case) from every node of a tree with
  // repeated names gives what the rule gives.
  TsdXmlDocument doc;
  Load(doc, "<Root><a><b><a/><c/></b><B><c>1</c></B></a><A><b><c>2</c></b></A><c><a><b/></a></c></Root>");
  std::vector<TXmlNode*> nodes;
  AllNodes(doc.Root(), &nodes);
  for (TXmlNode* from : nodes) {
    for (TXmlNode* target : nodes) {
      std::string key = target->FullPath();
      for (char& ch : key) ch = static_cast<char>(ch == 'a' ? 'A' : ch == 'B' ? 'b' : ch);
      EXPECT_EQ(FindNode(from, key), FirstMatch(from, key)) << from->FullPath() << " " << key;
    }
  }

  // A deep tree: one name comparison or two per node, however deep it is.
  std::string deep = "<Root>";
  for (int i = 0; i < 998; ++i) deep += "<d>";
  for (int i = 0; i < 2000; ++i) deep += "<a/>";
  for (int i = 0; i < 998; ++i) deep += "</d>";
  Load(doc, deep + "</Root>");
  const int64_t node_count = 1 + 998 + 2000;
  int64_t before = NameExaminationCount();
  const long allocations = g_allocations.load();
  EXPECT_EQ(FindNode(doc.Root(), "/Root/Interface_Information/Window_Caption"), nullptr);
  EXPECT_LE(NameExaminationCount() - before, 2 * node_count + 2);
  EXPECT_LT(g_allocations.load() - allocations, 10);  // no text built per node
  std::string leaf = "/root";
  for (int i = 0; i < 998; ++i) leaf += "/D";
  before = NameExaminationCount();
  TXmlNode* found = FindNode(doc.Root(), leaf + "/A");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->Parent()->Nodes(0), found);
  EXPECT_LE(NameExaminationCount() - before, 2 * node_count + 2);
}

TEST(XmlDocument, NamesFoldTheLettersOfTheCataloguesEncoding) {
  for (const bool utf8 : {false, true}) {
    SCOPED_TRACE(utf8 ? "UTF-8" : "windows-1252");
    const std::string big = utf8 ? "\xC3\x89" : "\xC9", small = utf8 ? "\xC3\xA9" : "\xE9";
    const std::string declaration =
        std::string("<?xml version=\"1.0\" encoding=\"") + (utf8 ? "UTF-8" : "windows-1252") + "\"?>";
    TsdXmlDocument doc;
    // The end tag spells the name in the other case.
    Load(doc, declaration + "<Root><Caf" + big + " " + small + "t" + big + "=\"summer\">x</CAF" + small + "></Root>");
    EXPECT_EQ(doc.Utf8Encoded(), utf8);
    TXmlNode* node = FindNode(doc.Root(), "caf" + small);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(FindNode(doc.Root(), "/ROOT/CAF" + big), node);
    std::vector<TXmlNode*> list;
    FindNodes(doc.Root(), "CAF" + big, &list);
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(node->AttributeByName(big + "T" + small), "summer");
  }
}

TEST(XmlDocument, BinaryContent) {
  TsdXmlDocument doc;
  Load(doc, "<r><a>QQ==</a><b> QUJD\r\n REVG </b><c>QUJ</c><d></d><e>QUJDRA=</e><f>QQ</f></r>");
  TXmlNode* r = doc.Root();
  EXPECT_EQ(r->Nodes(0)->BufferLength(), 1);
  EXPECT_EQ(r->Nodes(0)->BinaryString(), "A");
  EXPECT_EQ(r->Nodes(1)->BinaryString(), "ABCDEF");
  EXPECT_EQ(r->Nodes(3)->BinaryString(), "");
  try {
    r->Nodes(2)->BinaryString();
    FAIL();
  } catch (const EFilerError& e) {
    EXPECT_STREQ(e.what(), "Error while calculating streamlength");
  }
  EXPECT_THROW(r->Nodes(4)->BinaryString(), EFilerError);  // 7 characters
  Load(doc, "<a>QUJD R</a>");  // 5 characters without the white space
  EXPECT_THROW(doc.Root()->BufferLength(), EFilerError);
  Load(doc, "<r><a>QQ==</a><b> QUJD\r\n REVG </b></r>");
  r = doc.Root();
  EXPECT_EQ(r->Nodes(1)->BufferLength(), 6);

  // A shorter read stops early; a longer one raises.
  char buf[8] = {};
  r->Nodes(1)->BufferRead(buf, 2);
  EXPECT_EQ(std::string(buf, 2), "AB");
  try {
    r->Nodes(1)->BufferRead(buf, 7);
    FAIL();
  } catch (const EFilerError& e) {
    EXPECT_STREQ(e.what(), "Missing data in binary stream");
  }

  // Hexadecimal.
  doc.SetBinaryEncoding(xbeBinHex);
  Load(doc, "<r><a>00fF 7a</a><b>abc</b></r>");
  doc.SetBinaryEncoding(xbeBinHex);
  TXmlNode* hex = doc.Root()->Nodes(0);
  EXPECT_EQ(hex->BufferLength(), 3);
  hex->BufferRead(buf, 3);
  EXPECT_EQ(std::string(buf, 3), std::string("\x00\xff\x7a", 3));
  EXPECT_THROW(hex->BufferRead(buf, 4), EFilerError);
  EXPECT_THROW(doc.Root()->Nodes(1)->BufferLength(), EFilerError);
  // BinaryString is base64 whatever the setting, and leaves the setting alone.
  Load(doc, "<a>QUJD</a>");
  doc.SetBinaryEncoding(xbeBinHex);
  EXPECT_EQ(doc.Root()->BinaryString(), "ABC");
  EXPECT_EQ(doc.BinaryEncoding(), xbeBinHex);

  // The six-bit alphabet: the fourth character of a group is the most significant.
  doc.SetBinaryEncoding(xbeSixBits);
  Load(doc, "<a>1000</a>");
  doc.SetBinaryEncoding(xbeSixBits);
  try {
    doc.Root()->BufferLength();
    FAIL();
  } catch (const EFilerError& e) {
    EXPECT_STREQ(e.what(), "Cannot determine stream length");
  }
  doc.Root()->BufferRead(buf, 3);
  EXPECT_EQ(std::string(buf, 3), std::string("\x00\x00\x01", 3));
  doc.SetBinaryEncoding(xbeBase64);
}

TEST(XmlDocument, EventsFireInOrder) {
  TsdXmlDocument doc;
  std::vector<std::string> log;
  doc.OnNodeNew = [&](TsdXmlDocument* sender, TXmlNode* n) {
    EXPECT_EQ(sender, &doc);
    log.push_back("new " + n->Name());
  };
  doc.OnNodeLoaded = [&](TsdXmlDocument*, TXmlNode* n) { log.push_back("loaded " + n->Name()); };
  doc.OnProgress = [&](TsdXmlDocument*, int64_t pos) { log.push_back("progress " + std::to_string(pos)); };
  Load(doc, "<a><b/><!--c--></a>\n");
  EXPECT_EQ(log, (std::vector<std::string>{"progress 0", "new a", "new b", "loaded b", "progress 7", "new Comment",
                                           "loaded Comment", "progress 15", "loaded a", "progress 19",
                                           "progress 20"}));
  // A node whose reading failed is reported as loaded too.
  log.clear();
  EXPECT_THROW(Load(doc, "<a><b>"), EFilerError);
  EXPECT_EQ(log, (std::vector<std::string>{"progress 0", "new a", "new b", "loaded b", "progress 6", "loaded a",
                                           "progress 6"}));
}

TEST(XmlDocument, NestingIsBounded) {
  // 1000 levels are fine.
  std::string ok;
  for (int i = 0; i < 1000; ++i) ok += "<e>";
  for (int i = 0; i < 1000; ++i) ok += "</e>";
  TsdXmlDocument doc;
  Load(doc, ok);
  EXPECT_EQ(doc.Root()->Name(), "e");
  // A million nested elements give an error naming the element, not a stack overflow.
  std::string deep;
  deep.reserve(4000000);
  for (int i = 0; i < 1000000; ++i) deep += i == 1000 ? "<deep>" : "<e>";
  EXPECT_EQ(LoadError(deep), "Elements nested deeper than 1000 levels at element deep");
  // Comments at the deepest level are no nesting.
  std::string comment;
  for (int i = 0; i < 1000; ++i) comment += "<e>";
  comment += "<!--x-->";
  for (int i = 0; i < 1000; ++i) comment += "</e>";
  EXPECT_EQ(LoadError(comment), "");
}

TEST(XmlDocument, LargeValuesAndStrayInput) {
  // A multi-megabyte value is read whole, its buffer growing geometrically:
  // growing by a fixed 2048 characters would take some 2000 allocations.
  std::string big(4 << 20, 'Q');
  TStringStream input("<r><p>" + big + "</p></r>");
  TsdXmlDocument doc;
  const long before = g_allocations.load();
  doc.LoadFromStream(input);
  EXPECT_LT(g_allocations.load() - before, 200);
  EXPECT_EQ(doc.Root()->Nodes(0)->Value().size(), big.size());
  // Trailing white space or stray text after the root is skipped.
  Load(doc, "<r/>  \r\n stray text \t");
  EXPECT_EQ(doc.Root()->Name(), "r");
  // Leading stray text too.
  Load(doc, "junk<r/>");
  EXPECT_EQ(doc.Root()->Name(), "r");
}

TEST(XmlDocument, MalformedUtf8CannotMakeTheParserGoRoundInCircles) {
  // A UTF-8 lead byte swallows the "<" that follows it; stepping back two
  // characters then lands before the previous child again.
  TsdXmlDocument doc;
  doc.SetUtf8Encoded(true);
  EXPECT_EQ([&] {
    try {
      Load(doc, "\xEF\xBB\xBF<rz>\xC3/\xA9\xEF<r>");
    } catch (const EFilerError& e) {
      return std::string(e.what());
    }
    return std::string();
  }(), "Malformed character data in element rz");
}

TEST(XmlDocument, ReadFromStringReadsWithoutCodec) {
  TsdXmlDocument doc;
  // Without a codec a byte-order mark is text (stray, skipped) and a zero byte
  // is an ordinary character.
  doc.ReadFromString(std::string("\xEF\xBB\xBF<r>a\0b</r>", 13));
  EXPECT_EQ(doc.Root()->Value(), std::string("a\0b", 3));
  EXPECT_EQ(doc.Codec(), nullptr);
  // With the codec a zero byte ends the input.
  EXPECT_EQ(LoadError(std::string("<r>a\0b</r>", 10)), "Missing close tag in element r");
}

TEST(XmlDocument, Utf8InputSetsUtf8Encoded) {
  TsdXmlDocument doc;
  Load(doc, "\xEF\xBB\xBF<r>\xC3\xA9&#233;</r>");
  EXPECT_EQ(doc.DetectedEncoding(), encUtf8);
  EXPECT_TRUE(doc.Utf8Encoded());
  EXPECT_EQ(doc.Root()->ValueAsString(), "\xC3\xA9\xC3\xA9");

  TsdXmlDocument declared;
  Load(declared, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r>\xC3\xA9</r>");
  EXPECT_EQ(declared.DetectedEncoding(), encUtf8);
  EXPECT_TRUE(declared.Utf8Encoded());
  EXPECT_EQ(declared.Root()->Value(), "\xC3\xA9");

  // The encoding name is not case-sensitive: the UTF-8 codec does not convert
  // UTF-8 input a second time.
  TsdXmlDocument lower;
  lower.SetUtf8Encoded(true);
  Load(lower, "<?xml version=\"1.0\" encoding=\"utf-8\"?><r>\xC3\xA9</r>");
  EXPECT_EQ(lower.Root()->Value(), "\xC3\xA9");
  EXPECT_EQ(lower.DetectedEncoding(), encUtf8);

  // A UTF-8 document converts windows-1252 input to UTF-8.
  TsdXmlDocument converting;
  converting.SetUtf8Encoded(true);
  Load(converting, "<?xml version=\"1.0\" encoding=\"windows-1252\"?><r>\x80\xE9</r>");
  EXPECT_EQ(converting.Root()->Value(), "\xE2\x82\xAC\xC3\xA9");
  EXPECT_EQ(converting.DetectedEncoding(), encAnsi);
}

TEST(XmlDocument, Utf16InputAndUnicodeLoss) {
  std::u16string text = u"<r>\u00e9\u20ac</r>";
  std::string bytes("\xFF\xFE", 2);
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  TsdXmlDocument doc;
  int losses = 0;
  doc.OnUnicodeLoss = [&](TsdXmlDocument* sender) {
    EXPECT_EQ(sender, &doc);
    ++losses;
  };
  Load(doc, bytes);
  EXPECT_EQ(doc.DetectedEncoding(), encUtf16Le);
  EXPECT_EQ(doc.Root()->Value(), "\xE9\xAC");  // low bytes
  EXPECT_EQ(losses, 1);
  EXPECT_FALSE(doc.Utf8Encoded());
}

TEST(XmlDocument, LoadFromFile) {
  TsdXmlDocument doc;
  EXPECT_THROW(doc.LoadFromFile("/nonexistent/x.xml"), EFOpenError);
  testing::TempDir dir;
  testing::WriteFile(dir.File("c.xml"), "\xEF\xBB\xBF<Root><A>&#233;</A></Root>\n");
  doc.LoadFromFile(dir.File("c.xml"));
  EXPECT_EQ(FindNode(doc.Root(), "A")->ValueAsString(), "\xC3\xA9");
  EXPECT_EQ(doc.DetectedEncoding(), encUtf8);
  // The next load reads through the UTF-8 codec, converting windows-1252.
  testing::WriteFile(dir.File("d.xml"), "<Root>\xE9</Root>");
  doc.LoadFromFile(dir.File("d.xml"));
  EXPECT_EQ(doc.Root()->Value(), "\xC3\xA9");
}

TEST(XmlNode, ReadFromStringReadsOneNode) {
  TsdXmlDocument doc;
  TXmlNode n(&doc);
  n.ReadFromString("  <item k='v'>text</item><next/>");
  EXPECT_EQ(n.Name(), "item");
  EXPECT_EQ(n.Value(), "text");
  EXPECT_EQ(n.AttributeValue(0), "v");
  TXmlNode empty(nullptr);
  empty.ReadFromString("no tag");
  EXPECT_TRUE(empty.Name().empty());
  // A node without a document reads binary content as hexadecimal.
  TXmlNode hex(nullptr);
  hex.ReadFromString("<h>4142</h>");
  EXPECT_EQ(hex.BufferLength(), 2);
  EXPECT_EQ(hex.BinaryString(), std::string("\xE3\x5E\x36", 3));
}

}  // namespace
}  // namespace quillon
