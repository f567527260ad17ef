// The download row and list against nginx and vsftpd on loopback: closing a
// running row, and the resume question answered through the dialog hook.
#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "rows/dl_scroll_box.h"
#include "rows/dl_visual_panel.h"
#include "download/redacted_url.h"
#include "download/partial_file.h"
#include "tests/support/dl_widgets_fixture.h"
#include "tests/support/event_wait.h"
#include "tests/support/real_servers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/vsftpd_server.h"

namespace quillon {
namespace {

using testing::Click;
using testing::DLWidgetsTest;
using testing::RunUntil;

TEST_F(DLWidgetsTest, ClosingARunningRowEndsItsTransferAndTheFileIsKeptClosed) {
  testing::NginxServer nginx;
  // Served at 1 MB a second, so the transfer is still running when closed.
  std::filesystem::create_directories(nginx.Root() + "/slow");
  testing::WriteFile(nginx.Root() + "/slow/big.bin", std::string(8 * 1024 * 1024, 'z'));
  nginx.AddLocations("location /slow/ { limit_rate 1m; }");
  ASSERT_TRUE(nginx.Start()) << "nginx could not be started: " << nginx.Failure();
  QWidget window;
  window.resize(600, 400);
  TDLScrollBox list(&window);
  list.resize(600, 400);
  window.show();
  TDLVisualPanel* row = list.AddDownload(nginx.Url("/slow/big.bin"), dir_.File("big.bin"));
  row->SetCancelCaption("Cancel");
  row->StartDownload();
  ASSERT_TRUE(RunUntil([&] { return row->StatusLabel->text().contains(" of "); }));
  // Some of it on the disk: a part that holds nothing is not kept.
  ASSERT_TRUE(RunUntil([&] { return LocalFileSize(dir_.File("big.bin.part")) > 0; }));
  Click(row->PauseLink);  // selects, and pauses
  EXPECT_EQ(row->PauseLink->text(), "Resume");
  Click(list.CloseButton, QPoint(7, 7));
  EXPECT_TRUE(list.Rows().empty());
  testing::RunFor(200);
  EXPECT_FALSE(testing::FileExists(dir_.File("big.bin")));
  EXPECT_LT(std::filesystem::file_size(dir_.File("big.bin.part")), 8u * 1024 * 1024);
}

TEST_F(DLWidgetsTest, FtpResumeQuestionGoesToTheMessageBox) {
  testing::VsftpdServer ftp;
  ASSERT_TRUE(ftp.Start()) << "vsftpd could not be started: " << ftp.Failure();
  testing::WriteFile(ftp.File("pub/f.bin"), std::string(300000, 'R'));
  const std::string url = std::string("ftp://anonymous:") + testing::VsftpdServer::kPassword + "@127.0.0.1:" +
                          ftp.PortText() + "/pub/f.bin";
  // Recorded as a part of the server's file as it is now: continued.
  testing::WriteFile(dir_.File("f.bin.part"), std::string(1000, 'L'));
  ASSERT_TRUE(WritePartInfo(dir_.File("f.bin.part"), TPartInfo{RedactedUrl(url), 300000, ftp.Mdtm("pub/f.bin")}));
  QWidget window;
  TDLScrollBox list(&window);
  TDLVisualPanel* row = list.AddDownload(url, dir_.File("f.bin"));
  desktop_.message_box_answer = TMsgResult::mrYes;
  row->StartDownload();
  EXPECT_TRUE(row->ActionLink->isEnabled());  // cancel works while logging in
  // (The list is never shown, so its row is narrow: the whole status is the tooltip.)
  ASSERT_TRUE(RunUntil([&] { return row->StatusLabel->toolTip() == "Completed." && !row->DownloadInProgress(); }));
  ASSERT_EQ(desktop_.message_boxes.size(), 1u);
  EXPECT_EQ(desktop_.message_boxes[0].text,
            "Previous file exists, resume download?\nPress YES to resume, NO for full download.");
  EXPECT_EQ(desktop_.message_boxes[0].buttons, TMsgButtons::mbYesNo);
  EXPECT_EQ(desktop_.message_boxes[0].icon, TMsgIcon::miInformation);
  EXPECT_EQ(desktop_.message_boxes[0].caption, "f.bin");  // which file it asks about
  EXPECT_EQ(testing::ReadFile(dir_.File("f.bin")), std::string(1000, 'L') + std::string(299000, 'R'));
  EXPECT_EQ(row->Job().Role(), TRowRole::kFinished);
  EXPECT_EQ(row->ActionLink->text(), "Open");
  EXPECT_TRUE(row->FileIcon->isVisibleTo(row));
  EXPECT_TRUE(row->ProgressCyl->isHidden());
  Click(row->ActionLink);
  ASSERT_EQ(desktop_.opened.size(), 1u);
  EXPECT_EQ(desktop_.opened[0], QString::fromStdString(dir_.File("f.bin")));
  EXPECT_EQ(desktop_.message_boxes.size(), 1u);
  // A desktop without a program for the file says so.
  desktop_.open_answer = false;
  Click(row->ActionLink);
  ASSERT_EQ(desktop_.message_boxes.size(), 2u);
  EXPECT_EQ(desktop_.message_boxes[1].text, "No program is set up to open f.bin.");
}

}  // namespace
}  // namespace quillon
