// The dump form printed by the publisher's tool.
#include <gtest/gtest.h>

#include "base/memory_stream.h"
#include "xml/xml_dump.h"

namespace quillon {
namespace {

TEST(XmlDump, Escaping) {
  EXPECT_EQ(DumpEscape("a\\b\r\n\t\x01\x1f\x7f\x80\xff z~"), "a\\\\b\\r\\n\\t\\x01\\x1f\\x7f\\x80\\xff z~");
  EXPECT_EQ(DumpEscape(std::string("\0", 1)), "\\x00");
}

TEST(XmlDump, DeclarationAndSmallTree) {
  TsdXmlDocument doc;
  TStringStream s("<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<Root><A>x</A></Root>");
  doc.LoadFromStream(s);
  EXPECT_EQ(DumpXmlDocument(doc),
            "declaration version=1.0 encoding=windows-1252 detected=0 utf8=0\n"
            "0:Root\n"
            "  0:A = x\n");

  // Texts of the declaration are escaped like every other text: one line.
  TsdXmlDocument odd;
  TStringStream t("<?xml version=\"1.0\\x\" encoding=\"&#10;a\tb\"?>\n<Root/>");
  odd.LoadFromStream(t);
  const std::string dump = DumpXmlDocument(odd);
  EXPECT_EQ(dump.substr(0, dump.find("detected=")), "declaration version=1.0\\\\x encoding=\\na\\tb ");
}

TEST(XmlDump, EveryKindOfLine) {
  TsdXmlDocument doc;
  TStringStream s(
      "\xEF\xBB\xBF<!--c\r\n1--><?xml-stylesheet href=\"a\tb\"?><!DOCTYPE r [x]>"
      "<r k=\"v&amp;w\" e=''><a>&lt;\xC3\xA9</a><b><c/></b><!--in--></r><?pi x?>");
  doc.LoadFromStream(s);
  EXPECT_EQ(DumpXmlDocument(doc),
            "declaration version=1.0 encoding=windows-1252 detected=7 utf8=1\n"
            "comment c\\r\\n1\n"
            "stylesheet href=\"a\\tb\"\n"
            "rootnode 7:DTD  r [x]\n"
            "rootnode 9:Special pi x\n"
            "0:r @k=v&w @e=\n"
            "  0:a = <\\xc3\\xa9\n"
            "  0:b\n"
            "    2:c\n"
            "  3:Comment = in\n");
}

}  // namespace
}  // namespace quillon
