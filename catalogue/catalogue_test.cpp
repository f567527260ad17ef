#include "catalogue/catalogue.h"

#include <gtest/gtest.h>

#include <sstream>
#include <utility>

#include "catalogue/catalogue_check.h"
#include "catalogue/catalogue_signature.h"
#include "tests/support/test_catalogue.h"

namespace quillon {
namespace {

using testing::CatalogueXml;
using testing::InterfaceXml;
using testing::ParseCatalogue;
using testing::TestProduct;

TEST(Catalogue, LooksUpProductsLinksAndFields) {
  TestProduct a{"A", "first", "", "", {{"a1", "http://h/a1", "Send to browser"}, {"a2", "ftp://h/a2"}}};
  TestProduct b{"B", "", "", " ", {}};
  TCatalogue c;
  testing::TempDir dir;
  c.LoadFromProgramFile(testing::ProgramWith(dir, CatalogueXml({a, b})));
  EXPECT_EQ(c.InterfaceText("Window_Caption"), "Test Caption");
  EXPECT_EQ(c.InterfaceText("Next_Button_Caption"), "Next >>");
  EXPECT_EQ(c.InterfaceText("Data_URL"), "");
  EXPECT_EQ(c.InterfaceNode("Data_URL"), nullptr);
  ASSERT_EQ(c.ProductCount(), 2);
  EXPECT_EQ(TCatalogue::FieldText(c.ProductNode(1), "Program_Name"), "B");
  EXPECT_EQ(c.ProductNode(2), nullptr);
  EXPECT_EQ(c.ProductNode(-1), nullptr);
  TXmlNode* link = TCatalogue::LinkNode(c.ProductNode(0), 1);
  EXPECT_EQ(TCatalogue::FieldText(link, "URL"), "ftp://h/a2");
  EXPECT_EQ(TCatalogue::LinkNode(c.ProductNode(0), -1), nullptr);
  EXPECT_EQ(TCatalogue::LinkNode(c.ProductNode(1), 0), nullptr);
  EXPECT_EQ(TCatalogue::FieldText(nullptr, "URL"), "");
  EXPECT_TRUE(TCatalogue::IsBrowserLink(TCatalogue::LinkNode(c.ProductNode(0), 0)));
  EXPECT_FALSE(TCatalogue::IsBrowserLink(link));
  EXPECT_FALSE(TCatalogue::HasScreenshot(c.ProductNode(0)));
  EXPECT_TRUE(TCatalogue::HasScreenshot(c.ProductNode(1)));          // white space
  EXPECT_EQ(TCatalogue::FieldBinary(c.ProductNode(1), "Screenshot"), "");  // decodes to nothing
}

TEST(Catalogue, UpdateRule) {
  auto offer = [](const std::string& extra, int64_t today) {
    return ParseCatalogue(CatalogueXml({}, InterfaceXml(extra))).OfferUpdate(today);
  };
  const std::string url = "<Data_URL>http://h/c.xml</Data_URL>";
  EXPECT_TRUE(offer("<Prompt_after_date>38718</Prompt_after_date>" + url, 38718));
  EXPECT_FALSE(offer("<Prompt_after_date>38718</Prompt_after_date>" + url, 38717));
  EXPECT_FALSE(offer("<Prompt_after_date>0</Prompt_after_date>" + url, 99999));
  EXPECT_FALSE(offer("<Prompt_after_date>1</Prompt_after_date><Data_URL></Data_URL>", 99999));
  EXPECT_FALSE(offer(url, 99999));
  EXPECT_THROW(offer("<Prompt_after_date>1.5</Prompt_after_date>" + url, 99999), EConvertError);
  // The forms a person writes: a date (2026-12-09 is day 46365), always, never.
  EXPECT_TRUE(offer("<Prompt_after_date>2026-12-09</Prompt_after_date>" + url, 46365));
  EXPECT_FALSE(offer("<Prompt_after_date>2026-12-09</Prompt_after_date>" + url, 46364));
  EXPECT_TRUE(offer("<Prompt_after_date>Always</Prompt_after_date>" + url, 1));
  EXPECT_FALSE(offer("<Prompt_after_date>never</Prompt_after_date>" + url, 99999));
  EXPECT_THROW(offer("<Prompt_after_date>2026-02-30</Prompt_after_date>" + url, 99999), EConvertError);
  EXPECT_GT(TodayDayNumber(), 45000);  // after 2023
}

TEST(Catalogue, Pictures) {
  EXPECT_TRUE(TCatalogue::DecodePicture("").isNull());
  const auto jpeg = Base64Decode(testing::JpegBase64(17, 9));
  ASSERT_TRUE(jpeg);
  EXPECT_EQ(TCatalogue::DecodePicture(*jpeg).size(), QSize(17, 9));
  EXPECT_THROW(TCatalogue::DecodePicture("not a picture"), EInvalidGraphic);
  EXPECT_THROW(TCatalogue::DecodePicture(jpeg->substr(0, 40)), EInvalidGraphic);
}

TEST(Catalogue, WebAddressesOfBrowserLinks) {
  const std::pair<const char*, bool> cases[] = {
      {"http://h/", true},           {"HTTPS://h/page?x=1", true}, {"ftp://h/pub/", true},
      {"mailto:a@h", true},          {"http://h/a b.html", true},  {"/usr/bin/xterm", false},
      {"file:///etc/passwd", false}, {"http:/etc/passwd", false},  {"http:", false},
      {"http://bad host/", false},   {"http://[::1/", false},      {"mailto:", false},
      {"javascript:alert(1)", false}, {"", false},
  };
  for (const auto& [url, web] : cases) EXPECT_EQ(TCatalogue::IsWebAddress(QString::fromLatin1(url)), web) << url;
}

std::string Check(const std::string& file, int* rc, std::string* err = nullptr) {
  std::ostringstream out, errors;
  *rc = CheckCatalogue(file, out, errors, 38718);
  if (err) *err = errors.str();
  return out.str();
}

TEST(CatalogueCheck, PrintsWhatTheWindowShows) {
  testing::TempDir dir;
  TestProduct a{"Caf\xE9 &amp; Co", "Hello", testing::JpegBase64(32, 32), testing::JpegBase64(64, 48),
                {{"Get &apos;em", "http://h/a.zip"}, {"Page", "https://h/", "Send to browser"}}};
  TestProduct b{"Broken", "", "AAAA", "",
                {{"s", "gopher://h/s.zip"}, {"o", "http://h/o.zip", "Download it"}, {"t", "https://h/t.zip"}}};
  TestProduct c{"Empty", "", "", "", {}};
  const std::string xml = CatalogueXml(
      {a, b, c}, InterfaceXml("<Prompt_after_date>38718</Prompt_after_date><Data_URL>http://h/</Data_URL>",
                              testing::JpegBase64(97, 90)));
  int rc = -1;
  const std::string out = Check(testing::ProgramWith(dir, xml), &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out,
            "caption: Test Caption\n"
            "signature: none (no Publisher_Key)\n"
            "source: program file\n"
            "product 1: Caf\xC3\xA9 & Co (links: 2, screenshot: yes, description: yes)\n"
            "  link 1: Get 'em -> http://h/a.zip [program, not verified]\n"
            "  link 2: Page -> https://h/ [browser, not verified]\n"
            "product 2: Broken (links: 3, screenshot: no, description: no)\n"
            "  link 1: s -> gopher://h/s.zip [program, not verified]\n"
            "  link 2: o -> http://h/o.zip [program, not verified]\n"
            "  link 3: t -> https://h/t.zip [program, not verified]\n"
            "product 3: Empty (links: 0, screenshot: no, description: no)\n"
            "picture Splash_Logo: 97 x 90\n"
            "picture Icon 1: 32 x 32\n"
            "picture Screenshot 1: 64 x 48\n"
            "picture Icon 2: error JPEG error: Unable to read image data\n"
            "picture Screenshot 2: none\n"
            "picture Icon 3: none\n"
            "picture Screenshot 3: none\n"
            "update button: shown\n"
            "warning: product 2 link 1: the program cannot fetch \"gopher://h/s.zip\" itself (only http://, https:// and "
            "ftp://)\n"
            "warning: product 2 link 2: Handle_by \"Download it\" is neither \"Internal Download\" nor \"Send to "
            "browser\": the program downloads the link itself\n"
            "warning: product 3: no links (Download): the next button stays disabled\n"
            "warning: picture Icon 2 does not decode (PNG, JPEG, GIF and BMP are shown): JPEG error: Unable to read image data\n");
}

TEST(CatalogueCheck, WarnsAboutMissingElementsAndProducts) {
  testing::TempDir dir;
  testing::WriteFile(dir.File("c.xml"),
                     "<?xml version=\"1.0\"?>\n<Root><Interface_Information><Window_Caption>W</Window_Caption>"
                     "<Prompt_after_date>later</Prompt_after_date></Interface_Information></Root>");
  int rc = -1;
  const std::string out = Check(dir.File("c.xml"), &rc);  // a catalogue file of its own
  EXPECT_EQ(rc, 0);
  EXPECT_NE(out.find("caption: W\n"), std::string::npos);
  EXPECT_NE(out.find("warning: missing element Interface_Information/Top_Paragraph\n"), std::string::npos);
  EXPECT_NE(out.find("warning: no products (Program_Group): the product list is empty\n"), std::string::npos);
  EXPECT_NE(out.find("update button: hidden\n"), std::string::npos);
  EXPECT_NE(out.find("warning: Prompt_after_date: 'later' is not a valid integer value"), std::string::npos);

  // The same test of browser links as the window's.
  testing::WriteFile(dir.File("links.xml"),
                     CatalogueXml({{"P", "", "", "", {{"a", "http:/etc/passwd", "Send to browser"},
                                                      {"b", "http://h/ok", "Send to browser"},
                                                      {"c", "http://h/Pr\xFC" "fbericht 2024.zip?q=\xE9#x"}}}}));
  const std::string links = Check(dir.File("links.xml"), &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_NE(links.find("warning: product 1 link 3: the URL is written unencoded; write it as "
                       "http://h/Pr%C3%BCfbericht%202024.zip?q=%C3%A9#x (this program encodes it, other programs "
                       "may not)\n"),
            std::string::npos)
      << links;
  EXPECT_EQ(links.find("link 2: the URL"), std::string::npos) << links;
  EXPECT_NE(links.find("warning: product 1 link 1: \"http:/etc/passwd\" is not a web address"), std::string::npos)
      << links;
  EXPECT_EQ(links.find("link 2: \"http://h/ok\""), std::string::npos) << links;

  testing::WriteFile(dir.File("bad.xml"), "<Root><a></b></Root>");
  std::string err;
  EXPECT_TRUE(Check(dir.File("bad.xml"), &rc, &err).empty());
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(err, "Incorrect close tag in element a\n");
  Check(dir.File("missing"), &rc, &err);
  EXPECT_EQ(rc, 1);
}

// Piece_SHA256 and Connections: read when they can be used, an error of the
// link (never fetched unverified) when they cannot; the signature covers them.
TEST(Catalogue, PieceHashesAndConnectionsOfALink) {
  const std::string a(64, 'a'), b(64, 'B'), c(64, 'c');
  const std::string pieces = "<Piece_SHA256>1048576&#10;" + a + "&#10;" + b + "&#10;" + c + "&#10;</Piece_SHA256>";
  const std::string three_mib = "<Size>3145728</Size>";
  struct Case {
    const char* what;
    std::string fields;
    size_t pieces;
    int connections;
    std::string error;  // the whole error; its Piece_SHA256 and Connections part follows the "|"
  } cases[] = {
      {"good", three_mib + pieces + "<Connections>4</Connections>", 3, 4, ""},
      {"written by hand", three_mib + "<Piece_SHA256>\n  # pieces\n  1048576\n  " + a + "\n  " + b + "\n  " + c +
                              "\n</Piece_SHA256><Connections>16</Connections>",
       3, 16, ""},
      {"bad digest", three_mib + "<Piece_SHA256>1048576&#10;" + a + "&#10;" + b + "&#10;" + c.substr(1) + "x</Piece_SHA256>",
       0, 0, "|Piece_SHA256 cannot be read: line 4: not a SHA-256 (64 hexadecimal digits)"},
      {"not fitting Size", "<Size>4194305</Size>" + pieces, 0, 0,
       "|Piece_SHA256 does not fit Size 4194305: it has 3 piece hashes of 1 MiB, the file 5 pieces"},
      {"the largest Size", "<Size>9223372036854775807</Size>" + pieces, 0, 0,
       "|Piece_SHA256 does not fit Size 9223372036854775807: it has 3 piece hashes of 1 MiB, the file 8796093022208 "
       "pieces"},
      {"no Size", pieces, 0, 0, "|Piece_SHA256 without a Size: the pieces cannot be placed"},
      {"unreadable Size", "<Size>3 MiB</Size>" + pieces, 0, 0, "Size \"3 MiB\" is not a whole number of bytes|"},
      {"Connections 0", "<Connections>0</Connections>", 0, 0,
       "|Connections \"0\" is not a whole number from 1 to 16"},
      {"Connections 17", "<Connections>17</Connections>", 0, 0,
       "|Connections \"17\" is not a whole number from 1 to 16"},
      {"Connections x, pieces without Size, Size x",
       "<Connections>x</Connections>" + pieces + "<SHA256>x</SHA256>", 0, 0,
       "SHA256 \"x\" is not 64 hexadecimal digits|Piece_SHA256 without a Size: the pieces cannot be placed; "
       "Connections \"x\" is not a whole number from 1 to 16"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    TCatalogue catalogue =
        ParseCatalogue("<Root><Program_Group><Download><URL>http://x/</URL>" + k.fields + "</Download></Program_Group></Root>");
    const auto integrity = TCatalogue::LinkIntegrity(TCatalogue::LinkNode(catalogue.ProductNode(0), 0));
    EXPECT_EQ(integrity.pieces.sha256.size(), k.pieces);
    if (k.pieces > 0) {
      EXPECT_EQ(integrity.pieces.sha256[1], std::string(64, 'b'));
    }
    EXPECT_EQ(integrity.connections, k.connections);
    const size_t bar = k.error.find('|');
    const std::string own = k.error.substr(0, bar == std::string::npos ? 0 : bar);
    const std::string later = bar == std::string::npos ? "" : k.error.substr(bar + 1);
    EXPECT_EQ(integrity.error, own + (own.empty() || later.empty() ? "" : "; ") + later);
    EXPECT_EQ(integrity.pieces_error, later);
  }

  // A digest changed after signing breaks the signature.
  std::string xml = CatalogueXml({});
  xml.insert(xml.rfind("</Root>"),
             "<Program_Group><Download><URL>http://x/</URL>" + three_mib + pieces + "</Download></Program_Group>");
  std::string with_pieces = SignCatalogue(xml, testing::KeyA());
  ASSERT_EQ(CatalogueSignatureProblem(with_pieces, testing::KeyA().PublicRaw()), "");
  with_pieces[with_pieces.find(b) + 10] = 'C';
  EXPECT_EQ(CatalogueSignatureProblem(with_pieces, testing::KeyA().PublicRaw()),
            "its signature does not match the publisher's key");
}

// The check shows the piece hashes and the connection limit, and fails on
// piece hashes that do not fit.
TEST(CatalogueCheck, PieceHashesAndConnections) {
  testing::TempDir dir;
  const std::string pieces = "<Piece_SHA256>2097152&#10;" + std::string(64, 'a') + "&#10;" + std::string(64, 'b') +
                             "</Piece_SHA256>";
  auto link = [](const std::string& name, const std::string& fields) {
    return "<Download><Description>" + name + "</Description><URL>http://h/" + name +
           "</URL><Handle_by>Internal Download</Handle_by>" + fields + "</Download>";
  };
  testing::WriteFile(dir.File("c.xml"),
                     "<Root><Program_Group><Program_Name>P</Program_Name>" +
                         link("a", "<Size>4194304</Size><SHA256>" + std::string(64, 'f') + "</SHA256>" + pieces +
                                       "<Connections>1</Connections>") +
                         link("b", "<Size>4194305</Size>" + pieces + "<Connections>3</Connections>") +
                         link("c", "<Size>x</Size>") + "</Program_Group></Root>");
  int rc = -1;
  std::string err;
  const std::string out = Check(dir.File("c.xml"), &rc, &err);
  EXPECT_EQ(rc, 1);
  EXPECT_NE(out.find("  link 1: a -> http://h/a [program, verified by SHA-256, 2 piece hashes of 2 MiB, up to 1 "
                     "connection per host]\n"
                     "  link 2: b -> http://h/b [program, not verified, up to 3 connections per host]\n"
                     "  link 3: c -> http://h/c [program, not verified]\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("warning: product 1 link 3: Size \"x\" is not a whole number of bytes\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("warning: product 1 link 2"), std::string::npos) << out;
  EXPECT_EQ(err, "product 1 link 2: Piece_SHA256 does not fit Size 4194305: it has 2 piece hashes of 2 MiB, the file 3 "
                 "pieces\n");
}

}  // namespace
}  // namespace quillon
