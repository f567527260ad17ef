// Signed catalogue updates from nginx, through the window, across "restarts"
// (a new window on the same program file): what was accepted stays, older
// and foreign catalogues stay refused, a hand-over to a new key sticks, and
// an unsigned body is refused without being parsed. The trust records live
// in a temporary XDG_STATE_HOME.
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>

#include "app/form_downloader.h"
#include "app/my_status.h"
#include "base/base64.h"
#include "base/ed25519_key.h"
#include "base/sha256_hasher.h"
#include "catalogue/catalogue_signature.h"
#include "rows/dl_scroll_box.h"
#include "rows/dl_visual_panel.h"
#include "tests/support/event_wait.h"
#include "tests/support/pattern.h"
#include "tests/support/real_servers.h"
#include "tests/support/test_catalogue.h"
#include "tests/support/test_desktop.h"

namespace quillon {
namespace {

using namespace testing;

using testing::KeyA;
using testing::KeyB;

class CatalogueTrustTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_STATE_HOME", state.path().c_str(), 1);
    desktop.download_folder = QString::fromStdString(dir.path());
    ASSERT_TRUE(nginx.Start()) << nginx.Failure();
  }

  // A catalogue with the caption, naming `names` (none: unsigned) and the
  // extra interface elements, with its update at nginx's /update.xml.
  std::string Catalogue(const std::string& caption, const TEd25519Key* names, const std::string& extra,
                        const std::vector<TestProduct>& products = {testing::kEditor}) {
    std::string fields = "<Prompt_after_date>38718</Prompt_after_date><Data_URL>" + nginx.Url("/update.xml") +
                         "</Data_URL>" + extra;
    if (names) fields += "<Publisher_Key>" + Base64Encode(names->PublicRaw()) + "</Publisher_Key>";
    std::string xml = CatalogueXml(products, InterfaceXml(fields));
    xml.replace(xml.find("Test Caption"), 12, caption);
    return xml;
  }
  // The same, of the line "acme" with a serial, signed by `signer`.
  std::string Signed(const std::string& caption, int serial, const TEd25519Key& names, const TEd25519Key& signer,
                     const std::string& extra = "<Catalogue_Id>acme</Catalogue_Id>") {
    return SignCatalogue(
        Catalogue(caption, &names, extra + "<Catalogue_Serial>" + std::to_string(serial) + "</Catalogue_Serial>"),
        signer);
  }

  // A new window (a new start of the program) on the program file `name`.
  TfrmDownloader& Start(const std::string& catalogue, const std::string& name = "quillon") {
    window.reset();
    window = std::make_unique<TfrmDownloader>(testing::ProgramWith(dir, catalogue, name));
    window->SetToday([] { return int64_t{38718}; });
    window->show();
    return *window;
  }
  // Serves `update` and presses the button; the message box's text, empty
  // when the update was taken.
  std::string Update(const std::string& update) {
    WriteFile(nginx.Root() + "/update.xml", update);
    desktop.message_boxes.clear();
    EXPECT_FALSE(window->UpdateBtn->isHidden());
    QTest::mouseClick(window->UpdateBtn, Qt::LeftButton);
    return desktop.message_boxes.empty() ? std::string() : desktop.message_boxes.back().text.toStdString();
  }

  testing::TempDir dir;
  testing::TempDir state;
  TTestDesktop desktop{dir.File("settings.ini")};
  testing::NginxServer nginx;
  std::unique_ptr<TfrmDownloader> window;
};

std::string Refused(const char* reason) { return std::string("The update was not taken: ") + reason; }

TEST_F(CatalogueTrustTest, AcceptedUpdateStaysAndOnlyNewerOnesFollow) {
  const std::string program = Signed("Shipped", 10, KeyA(), KeyA());
  Start(program);
  EXPECT_EQ(Update(Signed("Eleven", 11, KeyA(), KeyA())), std::string());
  EXPECT_EQ(window->windowTitle().toStdString(), "Eleven");

  const std::string past = "<Catalogue_Expires>2001-01-01T00:00:00Z</Catalogue_Expires>";
  struct Case {
    const char* what;
    std::string update;
    const char* reason;
  } cases[] = {
      {"the same serial again", Signed("Again", 11, KeyA(), KeyA()), "the update is older than the catalogue in use"},
      {"an older serial, newer than the program file's", Signed("Older", 10, KeyA(), KeyA()), "the update is older than the catalogue in use"},
      {"another line of the same key", Signed("Other", 12, KeyA(), KeyA(), "<Catalogue_Id>other</Catalogue_Id>"),
       "the update is for another catalogue"},
      {"no line at all", Signed("None", 12, KeyA(), KeyA(), ""), "the update is for another catalogue"},
      {"expired", Signed("Expired", 12, KeyA(), KeyA(), "<Catalogue_Id>acme</Catalogue_Id>" + past), "the update has expired"},
      {"unsigned", Catalogue("Unsigned", &KeyA(), "<Catalogue_Id>acme</Catalogue_Id><Catalogue_Serial>12</Catalogue_Serial>"),
       "the update is not signed by the publisher"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // A later start shows the accepted update, and refuses what is not newer.
    Start(program);
    EXPECT_EQ(window->windowTitle().toStdString(), "Eleven");
    EXPECT_EQ(Update(c.update), Refused(c.reason));
    EXPECT_EQ(window->windowTitle().toStdString(), "Eleven");
  }
  // A program file with a newer catalogue of its own shows that one.
  Start(Signed("Twenty", 20, KeyA(), KeyA()), "quillon-2");
  EXPECT_EQ(window->windowTitle().toStdString(), "Twenty");
}

TEST_F(CatalogueTrustTest, HandOverSticksAndTheOldKeyIsRefused) {
  const std::string program = Signed("Shipped", 10, KeyA(), KeyA());
  Start(program);
  EXPECT_EQ(Update(Signed("Handed over", 11, KeyB(), KeyA())), std::string());

  Start(program);
  EXPECT_EQ(window->windowTitle().toStdString(), "Handed over");
  EXPECT_EQ(Update(Signed("Old key", 12, KeyA(), KeyA())), Refused("the update is signed by a key the publisher has retired"));
  Start(program);
  EXPECT_EQ(Update(Signed("New key", 12, KeyB(), KeyB())), std::string());

  // Program files signed with the retired key, older or newer: the stored
  // catalogue is shown instead.
  for (int serial : {10, 30}) {
    Start(Signed("Old program", serial, KeyA(), KeyA()), "quillon-old-" + std::to_string(serial));
    EXPECT_EQ(window->windowTitle().toStdString(), "New key");
  }
}

TEST_F(CatalogueTrustTest, ExpiredCatalogueInUseIsSaidAndStillWorks) {
  Start(Signed("Expired", 10, KeyA(), KeyA(),
               "<Catalogue_Id>acme</Catalogue_Id><Catalogue_Expires>2001-02-03T04:05:06Z</Catalogue_Expires>"));
  EXPECT_EQ(window->windowTitle().toStdString(), "Expired");
  EXPECT_EQ(window->StatusBar->SimpleText().toStdString(),
            "This catalogue expired on 2001-02-03 04:05 UTC; Retrieve Updates fetches the current one.");
  EXPECT_EQ(window->ListBox1->count(), 1);
}

// A 64 MiB body that is no signed catalogue is refused from its bytes: the
// process grows by about the body it holds, not by a parsed document.
TEST_F(CatalogueTrustTest, UnsignedHugeBodyIsRefusedWithoutParsing) {
  {
    std::ofstream out(nginx.Root() + "/update.xml", std::ios::binary);
    std::string head = "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<Root><Interface_Information/>";
    out << head;
    const std::string element = "<Program_Group><Program_Name>x</Program_Name></Program_Group>";
    const int64_t limit = (int64_t{64} << 20) - 7;
    int64_t size = static_cast<int64_t>(head.size());
    while (size + static_cast<int64_t>(element.size()) <= limit) {
      out << element;
      size += static_cast<int64_t>(element.size());
    }
    out << "</Root>";
  }
  Start(Signed("Shipped", 10, KeyA(), KeyA()));
  struct rusage before {}, after {};
  ::getrusage(RUSAGE_SELF, &before);
  desktop.message_boxes.clear();
  QTest::mouseClick(window->UpdateBtn, Qt::LeftButton);
  ::getrusage(RUSAGE_SELF, &after);
  ASSERT_EQ(desktop.message_boxes.size(), 1u);
  EXPECT_EQ(desktop.message_boxes[0].text.toStdString(), Refused("the update is not signed by the publisher"));
  const long grown_mib = (after.ru_maxrss - before.ru_maxrss) / 1024;
  // The body (64 MiB) and the copies of a growing buffer; a parse takes gigabytes.
  EXPECT_LT(grown_mib, 400) << "peak grew by " << grown_mib << " MiB";
}

// "(verified)" only for a hash the publisher signed: the program file's, not
// an unsigned update's.
TEST_F(CatalogueTrustTest, VerifiedOnlyForAnAuthenticatedHash) {
  const std::string file = testing::Pattern(100000, 5);
  WriteFile(nginx.Root() + "/setup.bin", file);
  std::string product = testing::ProductXml({"Editor", "Edits.", "", "", {{"Editor", nginx.Url("/setup.bin")}}});
  product.replace(product.find("</Download>"), 11,
                  "<Size>100000</Size><SHA256>" + TSha256Hasher::HexOf(file) + "</SHA256></Download>");
  auto with_product = [&](std::string xml) {
    xml.insert(xml.rfind("</Root>"), product);
    return xml;
  };
  struct Case {
    const char* what;
    bool update;
    std::string status;
  } cases[] = {{"from the program file", false, "Download Complete. (verified)"},
               {"from an unsigned update", true, "Download Complete."}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string shipped = Catalogue("Shipped", nullptr, "", {});
    Start(c.update ? shipped : with_product(shipped));
    if (c.update) {
      EXPECT_EQ(Update(with_product(Catalogue("Updated", nullptr, "", {}))), std::string());
      EXPECT_EQ(window->windowTitle().toStdString(), "Updated");
    }
    ASSERT_TRUE(window->DownloadPageInFront());
    QTest::mouseClick(window->DownloadBtn, Qt::LeftButton);
    auto rows = window->DLScrollBox->Rows();
    ASSERT_EQ(rows.size(), 1u);
    TDLVisualPanel* row = rows[0];
    ASSERT_TRUE(testing::RunUntil([&] { return !row->DownloadInProgress() && !row->Job().HttpClient(); }, 30000));
    EXPECT_EQ(row->Job().Status(), c.status);
    std::remove((dir.path() + "/setup.bin").c_str());
  }
}

}  // namespace
}  // namespace quillon
