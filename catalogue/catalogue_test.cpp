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

// Piece_SHA256 and Connections: read when they can be used, else an error
// of the link that the check reports; the signature covers them.
TEST(Catalogue, PieceHashesAndConnectionsOfALink) {
  const std::string a(64, 'a'), b(64, 'B'), pieces = "<Piece_SHA256>1048576&#10;" + a + "&#10;" + b + "</Piece_SHA256>";
  const std::string no_fit = "Piece_SHA256 does not fit Size 9223372036854775807: it has 2 piece hashes of 1 MiB, "
                             "the file 8796093022208 pieces";
  const struct {
    std::string fields;
    size_t pieces;
    int connections;
    std::string error, pieces_error;
  } cases[] = {
      {"<Size>2097152</Size>" + pieces + "<Connections>16</Connections>", 2, 16, "", ""},
      {"<Size>2</Size><Piece_SHA256>1048576&#10;" + a + "x</Piece_SHA256>", 0, 0, "",
       "Piece_SHA256 cannot be read: line 2: not a SHA-256 (64 hexadecimal digits)"},
      {"<Size>9223372036854775807</Size>" + pieces, 0, 0, "", no_fit},
      {pieces + "<Connections>x</Connections>", 0, 0, "",
       "Piece_SHA256 without a Size: the pieces cannot be placed; Connections \"x\" is not a whole number from 1 to "
       "16"},
      {"<Size>y</Size><Connections>0</Connections>", 0, 0, "Size \"y\" is not a whole number of bytes; ",
       "Connections \"0\" is not a whole number from 1 to 16"},
      {"<Connections>17</Connections>", 0, 0, "", "Connections \"17\" is not a whole number from 1 to 16"},
  };
  testing::TempDir dir;
  for (const auto& c : cases) {
    const std::string xml =
        "<Root><Program_Group><Download><URL>http://x/</URL>" + c.fields + "</Download></Program_Group></Root>";
    TCatalogue catalogue = ParseCatalogue(xml);
    const auto integrity = TCatalogue::LinkIntegrity(TCatalogue::LinkNode(catalogue.ProductNode(0), 0));
    EXPECT_EQ(integrity.pieces.sha256.size(), c.pieces) << c.fields;
    EXPECT_EQ(integrity.connections, c.connections) << c.fields;
    EXPECT_EQ(integrity.error, c.error + c.pieces_error) << c.fields;
    EXPECT_EQ(integrity.pieces_error, c.pieces_error) << c.fields;
    int rc = -1;
    std::string err;
    testing::WriteFile(dir.File("c.xml"), xml);
    Check(dir.File("c.xml"), &rc, &err);
    EXPECT_EQ(rc, c.pieces_error.empty() ? 0 : 1);
    EXPECT_EQ(err, c.pieces_error.empty() ? "" : "product 1 link 1: " + c.pieces_error + "\n");
  }

  std::string xml = CatalogueXml({});
  xml.insert(xml.rfind("</Root>"), "<Program_Group><Download>" + pieces + "</Download></Program_Group>");
  std::string signed_bytes = SignCatalogue(xml, testing::KeyA());
  signed_bytes[signed_bytes.find(b) + 10] = 'C';
  EXPECT_EQ(CatalogueSignatureProblem(signed_bytes, testing::KeyA().PublicRaw()),
            "its signature does not match the publisher's key");
}

}  // namespace
}  // namespace quillon
