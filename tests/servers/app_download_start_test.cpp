// The download button's program branch with real rows: HTTP from nginx and
// FTP from vsftpd on loopback, pressed and watched through the window.
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSplitter>
#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "app/form_downloader.h"
#include "rows/dl_scroll_box.h"
#include "rows/dl_visual_panel.h"
#include "download/redacted_url.h"
#include "download/partial_file.h"
#include "platform/ansi_text.h"
#include "platform/widgets/dialogs.h"
#include "tests/support/event_wait.h"
#include "tests/support/pattern.h"
#include "tests/support/real_servers.h"
#include "tests/support/test_catalogue.h"
#include "tests/support/test_desktop.h"
#include "tests/support/vsftpd_server.h"

namespace quillon {
namespace {

using namespace testing;

class DownloadStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir.File("dest"));
    desktop.download_folder = QString::fromStdString(dir.File("dest"));
    WriteFile(nginx.Root() + "/setup.bin", Pattern(3 * 1024 * 1024 + 3, 1));
    // Served at 2 MB a second, so a test can pause and cancel in the middle.
    std::filesystem::create_directories(nginx.Root() + "/slow");
    WriteFile(nginx.Root() + "/slow/big.bin", Pattern(16 * 1024 * 1024, 2));
    nginx.AddLocations("location /slow/ { limit_rate 2m; }");
    ASSERT_TRUE(nginx.Start()) << "nginx could not be started: " << nginx.Failure();
    ASSERT_TRUE(ftp.Start()) << "vsftpd could not be started: " << ftp.Failure();
    WriteFile(ftp.File("pub/paint.zip"), Pattern(2 * 1024 * 1024 + 11, 3));
    WriteFile(ftp.File("pub/huge.bin"), Pattern(64 * 1024 * 1024, 4));
  }
  std::string FtpUrl(const std::string& file) {
    return std::string("ftp://anonymous:") + testing::VsftpdServer::kPassword + "@127.0.0.1:" + ftp.PortText() +
           "/pub/" + file;
  }
  TfrmDownloader& Open(const std::vector<TestProduct>& products) {
    window = std::make_unique<TfrmDownloader>(testing::ProgramWith(dir, CatalogueXml(products)));
    window->show();
    window->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
    return *window;
  }
  void Press(TfrmDownloader& w) { QTest::mouseClick(w.DownloadBtn, Qt::LeftButton); }
  // Chooses link `index` of the product and presses Download.
  void PressLink(TfrmDownloader& w, int index) {
    w.URLCBx->setCurrentIndex(index);
    w.URLCBxChange();
    Press(w);
  }
  // A click inside a link label of a row.
  static void Click(QWidget* link) { QTest::mouseClick(link, Qt::LeftButton, {}, QPoint(3, 3)); }
  // The rows, newest first.
  TDLVisualPanel* Row(TfrmDownloader& w, size_t newest_index) {
    auto rows = w.DLScrollBox->Rows();
    return newest_index < rows.size() ? rows[rows.size() - 1 - newest_index] : nullptr;
  }
  static bool Ended(TDLVisualPanel* r) { return !r->DownloadInProgress() && !r->Job().HttpClient() && !r->Job().FtpClient(); }

  testing::TempDir dir;
  TTestDesktop desktop{dir.File("settings.ini")};
  testing::NginxServer nginx;
  testing::VsftpdServer ftp;
  std::unique_ptr<TfrmDownloader> window;
};

TEST_F(DownloadStartTest, OneProductHttpDownloadInsideTheDownloadPage) {
  auto& w = Open({{"Editor", "Edits.", "", "", {{"Editor", nginx.Url("/setup.bin")}}}});
  EXPECT_TRUE(w.DLScrollBox->isHidden());
  Press(w);
  EXPECT_EQ(w.DLScrollBox->parentWidget(), w.DLPanel);
  EXPECT_TRUE(w.DLScrollBox->isVisible());
  const QRect edit = w.SaveToFolderEdit->geometry();
  EXPECT_EQ(w.DLScrollBox->geometry(),
            QRect(edit.left(), edit.bottom() + 1 + 10, w.URLCBx->width(), w.BackBtn->y() - (edit.bottom() + 11)));
  TDLVisualPanel* row = Row(w, 0);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->ActionLink->text(), "Stop");  // the catalogue's cancel caption
  ASSERT_TRUE(RunUntil([&] { return Ended(row); }, 30000));
  EXPECT_EQ(row->ActionLink->text(), "Open");
  EXPECT_EQ(row->Job().Role(), TRowRole::kFinished);
  EXPECT_EQ(ReadFile(dir.File("dest/setup.bin")), Pattern(3 * 1024 * 1024 + 3, 1));
  Click(row->ActionLink);
  EXPECT_EQ(desktop.opened, std::vector<QString>{QString::fromStdString(dir.File("dest/setup.bin"))});

  // A second press asks about the finished file; Replace starts its row
  // again, in the same place.
  int width = w.width();
  desktop.message_box_answer = TMsgResult::mrReplace;
  Press(w);
  ASSERT_EQ(desktop.message_boxes.size(), 1u);
  EXPECT_EQ(desktop.message_boxes[0].text, "setup.bin already exists. Replace it?");
  EXPECT_EQ(w.DLScrollBox->Rows().size(), 1u);
  EXPECT_EQ(w.width(), width);
  ASSERT_TRUE(RunUntil([&] { return Ended(Row(w, 0)); }, 30000));
}

// A row's HTTP and FTP clients go through the proxies the environment names.
TEST_F(DownloadStartTest, ProxiesFromTheEnvironment) {
  testing::TinyproxyServer http_proxy;
  ASSERT_TRUE(http_proxy.Start()) << "tinyproxy could not be started: " << http_proxy.Failure();
  testing::MicrosocksServer socks;
  ASSERT_TRUE(socks.Start()) << "microsocks could not be started: " << socks.Failure();
  const std::string http_proxy_url = "http://127.0.0.1:" + std::to_string(http_proxy.port());
  const std::string all_proxy_url = "socks5://127.0.0.1:" + std::to_string(socks.port());
  ::setenv("http_proxy", http_proxy_url.c_str(), 1);
  ::setenv("all_proxy", all_proxy_url.c_str(), 1);
  struct Unset {
    ~Unset() {
      ::unsetenv("http_proxy");
      ::unsetenv("all_proxy");
    }
  } unset;
  auto& w = Open({{"Editor", "Edits.", "", "", {{"Editor", nginx.Url("/setup.bin")}, {"Paint", FtpUrl("paint.zip")}}}});
  Press(w);
  ASSERT_TRUE(RunUntil([&] { return Ended(Row(w, 0)); }, 30000));
  EXPECT_EQ(Row(w, 0)->Job().Role(), TRowRole::kFinished);
  EXPECT_NE(http_proxy.Log().find("GET " + nginx.Url("/setup.bin")), std::string::npos) << http_proxy.Log();
  PressLink(w, 1);
  ASSERT_TRUE(RunUntil([&] { return Ended(Row(w, 0)); }, 30000));
  EXPECT_EQ(Row(w, 0)->Job().Role(), TRowRole::kFinished);
  EXPECT_NE(socks.Log().find("127.0.0.1:" + ftp.PortText()), std::string::npos) << socks.Log();
}

TEST_F(DownloadStartTest, SeveralProductsFtpAndTheWidenedWindow) {
  auto& w = Open({{"Editor", "Edits.", "", "", {{"Editor", nginx.Url("/setup.bin")}}},
                  {"Paint", "Paints.", "", "", {{"Paint", FtpUrl("paint.zip")}}}});
  QTest::mouseClick(w.ListBox1->viewport(), Qt::LeftButton, {},
                    w.ListBox1->visualItemRect(w.ListBox1->item(1)).center());
  QTest::mouseClick(w.NextBtn, Qt::LeftButton);
  // Only the folder: the file name comes from the URL.
  w.SaveToFolderEdit->setText(QString::fromStdString(dir.File("dest/ftp/")));
  int width = w.width();
  Press(w);
  EXPECT_EQ(w.width(), width + 325);
  EXPECT_EQ(w.DLScrollBox->parentWidget(), w.Splitter1);
  EXPECT_TRUE(w.DLScrollBox->isVisible());
  EXPECT_EQ(w.SaveToFolderEdit->text().toStdString(), dir.File("dest/ftp/paint.zip"));
  TDLVisualPanel* row = Row(w, 0);
  ASSERT_TRUE(RunUntil([&] { return Ended(row); }, 30000));
  EXPECT_EQ(row->Job().Role(), TRowRole::kFinished);
  EXPECT_EQ(row->ActionLink->text(), "Open");
  EXPECT_EQ(ReadFile(dir.File("dest/ftp/paint.zip")), Pattern(2 * 1024 * 1024 + 11, 3));

  // The shorter partial file, recorded as a part of the server's file as it
  // is now: Yes continues, No fetches it whole. (The finished file goes
  // first, else the row would ask about replacing it.)
  const TPartInfo record{RedactedUrl(FtpUrl("paint.zip")), 2 * 1024 * 1024 + 11, ftp.Mdtm("pub/paint.zip")};
  std::filesystem::remove(dir.File("dest/ftp/paint.zip"));
  WriteFile(dir.File("dest/ftp/paint.zip.part"), std::string(5000, 'L'));
  ASSERT_TRUE(WritePartInfo(dir.File("dest/ftp/paint.zip.part"), record));
  desktop.message_box_answer = TMsgResult::mrYes;
  Press(w);
  EXPECT_EQ(w.width(), width + 325);  // widened once only
  ASSERT_TRUE(RunUntil([&] { return Ended(Row(w, 0)); }, 30000));
  EXPECT_EQ(desktop.message_boxes.size(), 1u);
  EXPECT_EQ(ReadFile(dir.File("dest/ftp/paint.zip")),
            std::string(5000, 'L') + Pattern(2 * 1024 * 1024 + 11, 3).substr(5000));
  std::filesystem::remove(dir.File("dest/ftp/paint.zip"));
  WriteFile(dir.File("dest/ftp/paint.zip.part"), std::string(5000, 'L'));
  ASSERT_TRUE(WritePartInfo(dir.File("dest/ftp/paint.zip.part"), record));
  desktop.message_box_answer = TMsgResult::mrNo;
  Press(w);
  ASSERT_TRUE(RunUntil([&] { return Ended(Row(w, 0)); }, 30000));
  EXPECT_EQ(desktop.message_boxes.size(), 2u);
  EXPECT_EQ(ReadFile(dir.File("dest/ftp/paint.zip")), Pattern(2 * 1024 * 1024 + 11, 3));
}

TEST_F(DownloadStartTest, PauseResumeCancelNotFoundAndClose) {
  auto& w = Open({{"Editor", "Edits.", "", "", {{"Big", nginx.Url("/slow/big.bin")}, {"Huge", FtpUrl("huge.bin")},
                                                {"Missing", nginx.Url("/missing.bin")}}}});
  // HTTP: pause holds the data, resume continues, cancel ends it.
  Press(w);
  TDLVisualPanel* http = Row(w, 0);
  ASSERT_TRUE(RunUntil([&] { return http->StatusLabel->text().contains(" of "); }));
  Click(http->PauseLink);
  EXPECT_EQ(http->PauseLink->text(), "Resume");
  EXPECT_EQ(http->StatusLabel->text(), "Paused.");
  testing::RunFor(200);  // what was under way arrives
  auto size = std::filesystem::file_size(dir.File("dest/big.bin.part"));
  testing::RunFor(300);
  EXPECT_EQ(std::filesystem::file_size(dir.File("dest/big.bin.part")), size);
  Click(http->PauseLink);
  EXPECT_EQ(http->PauseLink->text(), "Pause");
  ASSERT_TRUE(RunUntil([&] { return std::filesystem::file_size(dir.File("dest/big.bin.part")) > size; }));
  Click(http->PauseLink);
  Click(http->ActionLink);
  EXPECT_EQ(http->Job().Outcome(), TJobOutcome::kCancelled);
  ASSERT_TRUE(RunUntil([&] { return Ended(http); }));
  EXPECT_EQ(http->ActionLink->text(), "Get it");
  EXPECT_EQ(http->Job().Role(), TRowRole::kFailed);

  // FTP: a cancel ends the same way, in light pink.
  PressLink(w, 1);
  TDLVisualPanel* ftp_row = Row(w, 0);
  ASSERT_TRUE(RunUntil([&] { return ftp_row->StatusLabel->text().contains(" of "); }));
  Click(ftp_row->PauseLink);
  Click(ftp_row->ActionLink);
  ASSERT_TRUE(RunUntil([&] { return Ended(ftp_row); }));
  EXPECT_EQ(ftp_row->Job().Outcome(), TJobOutcome::kCancelled);
  EXPECT_EQ(ftp_row->Job().Role(), TRowRole::kFailed);

  // 404, and the start link works again once the file is there.
  PressLink(w, 2);
  TDLVisualPanel* missing = Row(w, 0);
  ASSERT_TRUE(RunUntil([&] { return Ended(missing); }));
  EXPECT_EQ(missing->StatusLabel->toolTip(), AnsiToQString(missing->Job().Status()));  // whole; the label may be cut
  EXPECT_EQ(missing->ActionLink->text(), "Get it");
  WriteFile(nginx.Root() + "/missing.bin", "found now");
  Click(missing->ActionLink);
  ASSERT_TRUE(RunUntil([&] { return Ended(missing); }));
  EXPECT_EQ(missing->Job().Role(), TRowRole::kFinished);
  EXPECT_EQ(ReadFile(dir.File("dest/missing.bin")), "found now");

  // Download on the cancelled link starts its row again; the close button
  // removes the selected row and ends its transfer.
  PressLink(w, 0);
  TDLVisualPanel* running = http;
  EXPECT_EQ(w.DLScrollBox->Rows().size(), 3u);
  ASSERT_TRUE(RunUntil([&] { return running->StatusLabel->text().contains(" of "); }));
  Click(running->PauseLink);
  ASSERT_TRUE(w.DLScrollBox->CloseButton->isVisible());
  QTest::mouseClick(w.DLScrollBox->CloseButton, Qt::LeftButton, {}, QPoint(7, 7));
  EXPECT_EQ(w.DLScrollBox->Rows().size(), 2u);
  EXPECT_FALSE(w.DLScrollBox->CloseButton->isVisible());
}

TEST_F(DownloadStartTest, ClosingWithRunningDownloadsAsksOnce) {
  WriteFile(nginx.Root() + "/slow/big2.bin", Pattern(16 * 1024 * 1024, 5));
  auto& w = Open({{"Editor", "Edits.", "", "", {{"Big", nginx.Url("/slow/big.bin")}, {"Big 2", nginx.Url("/slow/big2.bin")}}}});
  Press(w);
  PressLink(w, 1);
  TDLVisualPanel* first = Row(w, 1);
  TDLVisualPanel* second = Row(w, 0);
  ASSERT_TRUE(RunUntil([&] { return first->StatusLabel->text().contains(" of ") && second->DownloadInProgress(); }));
  desktop.message_box_answer = TMsgResult::mrNo;
  EXPECT_FALSE(w.close());
  ASSERT_EQ(desktop.message_boxes.size(), 1u);
  EXPECT_EQ(desktop.message_boxes[0].text, "2 downloads are still running. Stop them and close?");
  EXPECT_TRUE(desktop.message_boxes[0].default_no);
  EXPECT_EQ(desktop.message_boxes[0].buttons, TMsgButtons::mbYesNo);
  EXPECT_TRUE(w.isVisible());
  EXPECT_TRUE(first->DownloadInProgress());
  EXPECT_TRUE(second->DownloadInProgress());

  // The list's close button asks the same for its row; No keeps the row.
  Click(first->StatusLabel);
  QTest::mouseClick(w.DLScrollBox->CloseButton, Qt::LeftButton, {}, QPoint(7, 7));
  ASSERT_EQ(desktop.message_boxes.size(), 2u);
  EXPECT_EQ(desktop.message_boxes[1].text, "1 download is still running. Stop it and close?");
  EXPECT_EQ(w.DLScrollBox->Rows().size(), 2u);
  EXPECT_TRUE(first->DownloadInProgress());

  // Yes stops them and closes.
  desktop.message_box_answer = TMsgResult::mrYes;
  EXPECT_TRUE(w.close());
  EXPECT_EQ(desktop.message_boxes.size(), 3u);
  EXPECT_FALSE(w.isVisible());
  EXPECT_FALSE(first->DownloadInProgress());
  EXPECT_EQ(first->Job().Outcome(), TJobOutcome::kCancelled);
  ASSERT_TRUE(RunUntil([&] { return Ended(first) && Ended(second); }));
}

TEST_F(DownloadStartTest, TenDownloadsAtOnce) {
  std::vector<testing::TestLink> links;
  for (int i = 0; i < 10; ++i) {
    WriteFile(nginx.Root() + "/f" + std::to_string(i) + ".bin", Pattern(1024 * 1024 + i, i));
    links.push_back({"File " + std::to_string(i), nginx.Url("/f" + std::to_string(i) + ".bin")});
  }
  auto& w = Open({{"Files", "Ten.", "", "", links}});
  for (int i = 0; i < 10; ++i) PressLink(w, i);
  ASSERT_EQ(w.DLScrollBox->Rows().size(), 10u);
  ASSERT_TRUE(RunUntil([&] {
    for (auto* r : w.DLScrollBox->Rows())
      if (!Ended(r)) return false;
    return true;
  }, 60000));
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(Row(w, 9 - i)->Job().Role(), TRowRole::kFinished);
    EXPECT_EQ(ReadFile(dir.File("dest/f" + std::to_string(i) + ".bin")), Pattern(1024 * 1024 + i, i));
  }
}

}  // namespace
}  // namespace quillon
