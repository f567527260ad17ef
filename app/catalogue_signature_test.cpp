// Signed catalogues: the signature's form, what breaks it, the window's
// refusal of an appended catalogue its publisher did not sign, and which
// updates a catalogue with a publisher's key accepts.
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

#include "app/form_downloader.h"
#include "base/base64.h"
#include "base/memory_stream.h"
#include "catalogue/catalogue_in_use.h"
#include "catalogue/catalogue_signature.h"
#include "catalogue/catalogue_trust.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_catalogue.h"
#include "tests/support/test_desktop.h"

namespace quillon {
namespace {

using namespace testing;


using testing::KeyA;
using testing::KeyB;
using testing::ParseCatalogue;

// An unsigned catalogue that names `key` with a serial and a caption.
std::string Naming(const TEd25519Key& key, const std::string& serial, const std::string& caption = "Test Caption",
                   const std::string& icon = {}) {
  TestProduct product = kEditor;
  product.icon = icon;
  std::string xml = CatalogueXml({product}, InterfaceXml("<Publisher_Key>" + Base64Encode(key.PublicRaw()) +
                                                         "</Publisher_Key>" + serial));
  xml.replace(xml.find("Test Caption"), 12, caption);
  return xml;
}
std::string Serial(int n) { return "<Catalogue_Serial>" + std::to_string(n) + "</Catalogue_Serial>"; }

// ---------------------------------------------------------------- signatures

TEST(CatalogueSignature, ValidCatalogueLoadsAndAnyFlippedByteFails) {
  const std::string signed_bytes = SignCatalogue(Naming(KeyA(), Serial(7), "Test Caption", testing::JpegBase64(2, 2)), KeyA());
  const std::string key = KeyA().PublicRaw();
  ASSERT_EQ(CatalogueSignatureProblem(signed_bytes, key), "");

  // The reader takes the comment as a top-level comment and reads on as before.
  TCatalogue catalogue = ParseCatalogue(signed_bytes);
  EXPECT_EQ(PublisherSignatureProblem(catalogue, signed_bytes), "");
  EXPECT_EQ(catalogue.Document().Comments().size(), 1u);
  EXPECT_EQ(catalogue.InterfaceText("Window_Caption"), "Test Caption");
  EXPECT_EQ(catalogue.CatalogueSerial(), 7);
  EXPECT_EQ(catalogue.PublisherKey(), key);

  // Declaration, tree, picture, the comment and the signature itself.
  for (size_t i = 0; i < signed_bytes.size(); ++i) {
    std::string bytes = signed_bytes;
    bytes[i] ^= 0x01;
    EXPECT_NE(CatalogueSignatureProblem(bytes, key), "") << "flipped byte " << i;
  }
  EXPECT_EQ(CatalogueSignatureProblem(signed_bytes, KeyB().PublicRaw()),
            "its signature does not match the publisher's key");
}

TEST(CatalogueSignature, CommentFormIsExact) {
  const std::string unsigned_bytes = Naming(KeyA(), Serial(1));
  const std::string good = SignCatalogue(unsigned_bytes, KeyA());
  const std::string comment = good.substr(unsigned_bytes.size());
  ASSERT_EQ(comment.rfind("<!--signature ed25519 ", 0), 0u);
  ASSERT_EQ(comment.size(), 22u + 88u + 3u);
  const std::string b64 = comment.substr(22, 88);

  struct Case {
    const char* what;
    std::string bytes;
    TCatalogueSignature::TState state;
  } cases[] = {
      {"unsigned", unsigned_bytes, TCatalogueSignature::csUnsigned},
      {"well formed", good, TCatalogueSignature::csPresent},
      {"a second signature comment", good + comment, TCatalogueSignature::csMalformed},
      {"signed, then signed again by hand", SignCatalogue(unsigned_bytes, KeyB()) + comment,
       TCatalogueSignature::csMalformed},
      {"a line break after it", good + "\n", TCatalogueSignature::csMalformed},
      {"text after it", good + "x", TCatalogueSignature::csMalformed},
      {"another algorithm", unsigned_bytes + "<!--signature ED25519 " + b64 + "-->", TCatalogueSignature::csMalformed},
      {"white space in the base64", unsigned_bytes + "<!--signature ed25519 " + b64.substr(0, 40) + " " + b64.substr(40) + "-->",
       TCatalogueSignature::csMalformed},
      {"a short signature", unsigned_bytes + "<!--signature ed25519 " + b64.substr(0, 84) + "-->",
       TCatalogueSignature::csMalformed},
      {"not closed", unsigned_bytes + "<!--signature ed25519 " + b64, TCatalogueSignature::csMalformed},
      {"inside the root", good.substr(0, good.size() - comment.size() - 7) + comment + "</Root>",
       TCatalogueSignature::csMalformed},
  };
  for (const Case& c : cases) {
    const TCatalogueSignature split = SplitCatalogueSignature(c.bytes);
    EXPECT_EQ(split.state, c.state) << c.what << ": " << split.problem;
    if (c.state != TCatalogueSignature::csPresent) {
      EXPECT_NE(CatalogueSignatureProblem(c.bytes, KeyA().PublicRaw()), "") << c.what;
    }
  }

  // Signing again replaces the old signature (Ed25519 signatures are
  // deterministic, so the result is the same bytes); a malformed one is refused.
  EXPECT_EQ(SignCatalogue(good, KeyA()), good);
  EXPECT_EQ(SignCatalogue(SignCatalogue(unsigned_bytes, KeyB()), KeyA()), good);
  EXPECT_THROW(SignCatalogue(good + comment, KeyA()), ECatalogueSignature);
}

TEST(CatalogueSignature, LinkSizeAndDigestAreValidated) {
  struct Case {
    std::string fields;
    std::optional<int64_t> size;
    std::string sha256;
    bool error;
  } cases[] = {
      {"", std::nullopt, "", false},
      {"<Size>1048576</Size>", 1048576, "", false},
      {"<Size>0</Size><SHA256>" + std::string(64, 'A') + "</SHA256>", 0, std::string(64, 'a'), false},
      {"<Size>-1</Size>", std::nullopt, "", true},
      {"<Size>12 </Size>", std::nullopt, "", true},
      {"<Size>0x10</Size>", std::nullopt, "", true},
      {"<Size>99999999999999999999</Size>", std::nullopt, "", true},
      {"<SHA256>" + std::string(63, 'a') + "</SHA256>", std::nullopt, "", true},
      {"<SHA256>" + std::string(63, 'a') + "g</SHA256>", std::nullopt, "", true},
      {"<SHA256></SHA256>", std::nullopt, "", true},
  };
  for (const Case& c : cases) {
    TCatalogue catalogue = ParseCatalogue("<Root><Program_Group><Download><URL>http://x/</URL>" + c.fields +
                                 "</Download></Program_Group></Root>");
    const auto integrity = TCatalogue::LinkIntegrity(TCatalogue::LinkNode(catalogue.ProductNode(0), 0));
    EXPECT_EQ(integrity.size, c.size) << c.fields;
    EXPECT_EQ(integrity.sha256, c.sha256) << c.fields;
    EXPECT_EQ(!integrity.error.empty(), c.error) << c.fields << ": " << integrity.error;
  }
}

// The other program links of a product with the link's SHA256 are its mirrors.
TEST(CatalogueSignature, MirrorsAreTheProgramLinksWithTheSameDigest) {
  const std::string a = "<SHA256>" + std::string(64, 'a') + "</SHA256>";
  const std::string a_upper = "<SHA256>" + std::string(64, 'A') + "</SHA256>";
  const std::string b = "<SHA256>" + std::string(64, 'b') + "</SHA256>";
  auto link = [](const std::string& url, const std::string& fields, const std::string& handle = "Internal Download") {
    return "<Download><URL>" + url + "</URL><Handle_by>" + handle + "</Handle_by>" + fields + "</Download>";
  };
  TCatalogue catalogue =
      ParseCatalogue("<Root><Program_Group>" + link("http://one/f", a) + link("http://two/f", b) +
            link("http://three/f", a_upper) + link("http://web/f", a, "Send to browser") + link("http://one/f", a) +
            link("http://four/f", a + "<Size>x</Size>") + link("ftp://five/f", a) + link("http://six/f", "") +
            "</Program_Group></Root>");
  TXmlNode* product = catalogue.ProductNode(0);
  EXPECT_EQ(TCatalogue::MirrorUrls(product, 0), (std::vector<std::string>{"http://three/f", "ftp://five/f"}));
  EXPECT_EQ(TCatalogue::MirrorUrls(product, 6), (std::vector<std::string>{"http://one/f", "http://three/f"}));
  EXPECT_TRUE(TCatalogue::MirrorUrls(product, 1).empty());  // no other link with its digest
  EXPECT_TRUE(TCatalogue::MirrorUrls(product, 7).empty());  // no digest
  EXPECT_TRUE(TCatalogue::MirrorUrls(product, 5).empty());  // an unreadable Size
  EXPECT_TRUE(TCatalogue::MirrorUrls(product, 8).empty());
}

// ---------------------------------------------------------------- updates

// The fetched bytes offered to the catalogue in use `current` (no record).
std::string Offer(TCatalogueInUse& in_use, const std::string& fetched) {
  TStringStream body(fetched);
  return in_use.AcceptUpdate(body, 1000000000);  // 2001-09-09
}
std::string Offer(const std::string& current, const std::string& fetched) {
  TCatalogueInUse in_use;
  in_use.LoadAppended(current, TCatalogueInUse::csCatalogueFile);
  return Offer(in_use, fetched);
}

TEST(CatalogueUpdateAcceptance, OnlyTheNewerCatalogueOfTheLineSignedByTheCurrentKey) {
  const std::string in_use = SignCatalogue(Naming(KeyA(), Serial(10)), KeyA());
  const std::string line = "<Catalogue_Id>acme</Catalogue_Id>";
  struct Case {
    const char* what;
    std::string fetched;
    std::string_view refusal;
  } cases[] = {
      {"unsigned", Naming(KeyA(), Serial(11)), kUpdateNotSigned},
      {"signed by another key", SignCatalogue(Naming(KeyA(), Serial(11)), KeyB()), kUpdateNotSigned},
      {"altered after signing", [&] {
         std::string s = SignCatalogue(Naming(KeyA(), Serial(11)), KeyA());
         s.replace(s.find("Serial>11<"), 10, "Serial>12<");
         return s;
       }(), kUpdateNotSigned},
      {"an older serial", SignCatalogue(Naming(KeyA(), Serial(9)), KeyA()), kUpdateOlder},
      {"the same serial (a replay)", in_use, kUpdateNotNewer},
      {"no serial", SignCatalogue(Naming(KeyA(), ""), KeyA()), kUpdateWithoutSerial},
      {"an id, which a line without one takes on", SignCatalogue(Naming(KeyA(), line + Serial(11)), KeyA()), ""},
      {"expired", SignCatalogue(Naming(KeyA(), Serial(11) + "<Catalogue_Expires>2001-09-09T01:46:40Z</Catalogue_Expires>"), KeyA()),
       kUpdateExpired},
      {"an expiry that is no date", SignCatalogue(Naming(KeyA(), Serial(11) + "<Catalogue_Expires>soon</Catalogue_Expires>"), KeyA()),
       kUpdateExpired},
      {"not yet expired", SignCatalogue(Naming(KeyA(), Serial(11) + "<Catalogue_Expires>2001-09-09T01:46:41Z</Catalogue_Expires>"), KeyA()),
       ""},
      {"a newer signed one", SignCatalogue(Naming(KeyA(), Serial(11)), KeyA()), ""},
      {"a new key, vouched for by the current one", SignCatalogue(Naming(KeyB(), Serial(11)), KeyA()), ""},
      {"a new key that vouches for itself", SignCatalogue(Naming(KeyB(), Serial(11)), KeyB()), kUpdateNotSigned},
      {"signed, but naming no key", SignCatalogue(CatalogueXml({kEditor}, InterfaceXml(Serial(11))), KeyA()),
       kUpdateNotSigned},
  };
  for (const Case& c : cases) EXPECT_EQ(Offer(in_use, c.fetched), c.refusal) << c.what;

  // After a hand-over the old key is retired, and named so.
  TCatalogueInUse rotated;
  rotated.LoadAppended(in_use, TCatalogueInUse::csCatalogueFile);
  ASSERT_EQ(Offer(rotated, SignCatalogue(Naming(KeyB(), Serial(11)), KeyA())), "");
  EXPECT_EQ(Offer(rotated, SignCatalogue(Naming(KeyB(), Serial(12)), KeyA())), kUpdateRetiredKey);
  EXPECT_EQ(Offer(rotated, SignCatalogue(Naming(KeyA(), Serial(12)), KeyB())), kUpdateNamesRetiredKey);
  EXPECT_EQ(Offer(rotated, SignCatalogue(Naming(KeyB(), Serial(12)), KeyB())), "");
  EXPECT_EQ(rotated.Catalogue().CatalogueSerial(), 12);

  // Without a key in use any catalogue is taken; a malformed key takes nothing.
  EXPECT_EQ(Offer(CatalogueXml({kEditor}), Naming(KeyA(), "")), "");
  EXPECT_EQ(Offer(CatalogueXml({kEditor}, InterfaceXml("<Publisher_Key>abc</Publisher_Key>")),
                  SignCatalogue(Naming(KeyA(), Serial(11)), KeyA())),
            kUpdateNotSigned);
}

// ---------------------------------------------------------------- the window

class SignedWindowTest : public ::testing::Test {
 protected:
  SignedWindowTest() : desktop(dir.File("settings.ini")) { desktop.download_folder = "/home/user/Desktop"; }

  TfrmDownloader& Open(const std::string& catalogue) {
    window = std::make_unique<TfrmDownloader>(testing::ProgramWith(dir, catalogue));
    window->SetToday([] { return int64_t{38718}; });
    window->show();
    return *window;
  }

  testing::TempDir dir;
  TTestDesktop desktop;
  std::unique_ptr<TfrmDownloader> window;
};

TEST_F(SignedWindowTest, AppendedCatalogueMustBeSignedByItsKey) {
  const std::string good = SignCatalogue(Naming(KeyA(), Serial(1)), KeyA());
  const std::string cases[] = {Naming(KeyA(), Serial(1)), SignCatalogue(Naming(KeyA(), Serial(1)), KeyB()),
                               good.substr(0, good.size() - 1) + "x"};
  for (const std::string& bytes : cases) {
    desktop.message_boxes.clear();
    auto& w = Open(bytes);
    ASSERT_EQ(desktop.message_boxes.size(), 1u);
    EXPECT_EQ(desktop.message_boxes[0].text, QString::fromUtf8(kNotSignedByPublisher.data()));
    EXPECT_EQ(w.ListBox1->count(), 0);
    EXPECT_NE(w.windowTitle(), "Test Caption");
  }
  desktop.message_boxes.clear();
  auto& w = Open(good);
  EXPECT_TRUE(desktop.message_boxes.empty());
  EXPECT_EQ(w.windowTitle(), "Test Caption");
  EXPECT_EQ(w.ListBox1->count(), 1);
}

TEST_F(SignedWindowTest, UpdateIsCheckedAndARefusalKeepsTheCatalogue) {
  struct Case {
    std::string fetched;
    QString message;  // empty: accepted
  } cases[] = {
      {Naming(KeyA(), Serial(11), "Unsigned Caption"), "The update was not taken: the update is not signed by the publisher"},
      {SignCatalogue(Naming(KeyA(), Serial(10), "Same Caption"), KeyA()),
       "The update was not taken: the update is older than the catalogue in use"},
      {SignCatalogue(Naming(KeyA(), Serial(11), "Newer Caption"), KeyA()), ""},
  };
  for (const Case& c : cases) {
    desktop.message_boxes.clear();
    testing::ScriptedServer server([&](testing::ScriptedConnection& conn) {
      conn.ReadUntil("\r\n\r\n");
      conn.Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(c.fetched.size()) + "\r\n\r\n" +
                c.fetched);
    });
    const std::string extra = Serial(10) + "<Prompt_after_date>38718</Prompt_after_date><Data_URL>http://127.0.0.1:" +
                              server.PortText() + "/catalogue.xml</Data_URL>";
    auto& w = Open(SignCatalogue(Naming(KeyA(), extra), KeyA()));
    ASSERT_FALSE(w.UpdateBtn->isHidden());
    QTest::mouseClick(w.UpdateBtn, Qt::LeftButton);
    if (c.message.isEmpty()) {
      EXPECT_TRUE(desktop.message_boxes.empty());
      EXPECT_EQ(w.windowTitle(), "Newer Caption");
    } else {
      ASSERT_EQ(desktop.message_boxes.size(), 1u);
      EXPECT_EQ(desktop.message_boxes[0].text, c.message);
      EXPECT_EQ(w.windowTitle(), "Test Caption");
    }
    EXPECT_TRUE(w.UpdateBtn->isHidden());
  }
}

}  // namespace
}  // namespace quillon
