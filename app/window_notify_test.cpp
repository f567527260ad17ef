// What the window tells the desktop when a download ends, and "Show in
// folder" on a finished row.
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/form_downloader.h"
#include "rows/dl_scroll_box.h"
#include "rows/dl_visual_panel.h"
#include "platform/ansi_text.h"
#include "tests/support/event_wait.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_catalogue.h"
#include "tests/support/test_window.h"

namespace quillon {
namespace {

using testing::CatalogueXml;
using testing::RunUntil;
using testing::TestProduct;

class WindowNotifyTest : public testing::WindowTest {};

TEST_F(WindowNotifyTest, AnEndedDownloadIsToldWhenTheWindowIsNotActive) {
  struct Case {
    const char* name;
    const char* response;
    bool window_active;
    bool complete;
  } cases[] = {
      {"complete, behind", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", false, true},
      {"failed, behind", "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n", false, false},
      {"complete, active", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dest = dir.File(std::string("dest-") + (c.window_active ? "a" : "b") + (c.complete ? "c" : "f"));
    std::filesystem::create_directories(dest);
    desktop.download_folder = QString::fromStdString(dest);
    desktop.notifications.clear();
    desktop.shown_in_folder.clear();
    desktop.opened.clear();
    testing::ScriptedServer server([&c](testing::ScriptedConnection& conn) {
      conn.ReadUntil("\r\n\r\n");
      conn.Send(c.response);
    });
    const std::string url = "http://127.0.0.1:" + server.PortText() + "/notes.zip";
    auto& w = Open(CatalogueXml({TestProduct{"Notes", "Takes notes.", "", "", {{"Notes", url}}}}));
    w.run_downloads = true;
    QWidget other;
    if (!c.window_active) {
      other.show();
      other.activateWindow();
      ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
      ASSERT_FALSE(w.isActiveWindow());
    }
    w.DownloadBtn->click();
    ASSERT_EQ(w.DLScrollBox->Rows().size(), 1u);
    TDLVisualPanel* row = w.DLScrollBox->Rows()[0];
    ASSERT_TRUE(RunUntil([&] { return !row->DownloadInProgress(); }));
    const QString file = QString::fromStdString(dest + "/notes.zip");
    EXPECT_EQ(row->ShowFolderLink->isVisible(), c.complete);
    if (c.complete) {
      // The status stays whole beside Open; the file name ends before the link.
      EXPECT_EQ(row->StatusLabel->text(), row->StatusLabel->toolTip());
      EXPECT_LT(row->FileNameLabel->geometry().right(), row->ShowFolderLink->x());
    }
    if (c.window_active) {
      EXPECT_TRUE(desktop.notifications.empty());
      continue;
    }
    ASSERT_EQ(desktop.notifications.size(), 1u);
    const TDesktopNotification& n = desktop.notifications[0];
    EXPECT_EQ(n.summary, "notes.zip");
    EXPECT_EQ(n.body, AnsiToQString(row->Job().Status()));
    // A click on the notification brings the window to the front.
    ASSERT_FALSE(n.actions.empty());
    EXPECT_EQ(n.actions[0].first, "default");
    ASSERT_TRUE(n.on_action);
    n.on_action("default");
    EXPECT_TRUE(QTest::qWaitForWindowActive(&w));
    if (!c.complete) {
      EXPECT_EQ(n.actions.size(), 1u);
      row->ShowInFolder();  // nothing to show
      EXPECT_TRUE(desktop.shown_in_folder.empty());
      continue;
    }
    const std::vector<std::pair<QString, QString>> actions{
        {"default", "Show"}, {"open", "Open"}, {"show-in-folder", "Show in folder"}};
    EXPECT_EQ(n.actions, actions);
    n.on_action("open");
    EXPECT_EQ(desktop.opened, std::vector<QString>{file});
    n.on_action("show-in-folder");
    QTest::mouseClick(row->ShowFolderLink, Qt::LeftButton);
    EXPECT_EQ(desktop.shown_in_folder, (std::vector<QString>{file, file}));
  }
}

}  // namespace
}  // namespace quillon
