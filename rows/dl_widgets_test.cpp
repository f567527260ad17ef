// The download row and list as widgets: places, links, clicks, selection,
// the close button, and server texts shown as plain text.
#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <utility>
#include <vector>

#include "rows/dl_scroll_box.h"
#include "rows/dl_visual_panel.h"
#include "platform/dns_lookup.h"
#include "tests/support/dl_widgets_fixture.h"
#include "tests/support/event_wait.h"
#include "tests/support/loopback.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_palettes.h"
#include "tests/support/test_desktop.h"

namespace quillon {
namespace {

using testing::Click;
using testing::DLWidgetsTest;
using testing::RunUntil;

TEST_F(DLWidgetsTest, NewRowControlsAndPlaces) {
  QWidget owner;
  owner.resize(500, 300);
  TDLVisualPanel row(&owner);
  owner.show();
  EXPECT_EQ(row.height(), 75);
  EXPECT_EQ(row.width(), 500);
  EXPECT_TRUE(row.isVisibleTo(&owner));
  EXPECT_EQ(row.ProgressCyl->geometry(), QRect(10, 5, 25, 65));
  EXPECT_EQ(row.ProgressCyl->Orientation(), pbVertical);
  EXPECT_EQ(row.ProgressCyl->ProEffect(), peGlassOrange);
  EXPECT_EQ(row.FileIcon->geometry(), QRect(4, 2, 32, 73));
  EXPECT_TRUE(row.FileIcon->isHidden());
  EXPECT_EQ(row.URLLabel->text(), "...");
  EXPECT_EQ(row.URLLabel->pos(), QPoint(40, 5));
  EXPECT_EQ(row.FileNameLabel->text(), "local filename");
  EXPECT_EQ(row.FileNameLabel->y(), 5 + 65 / 2 - row.FileNameLabel->height() / 2);
  EXPECT_EQ(row.StatusLabel->y(), 5 + 65 - row.StatusLabel->height() - 1);
  EXPECT_TRUE(row.StartTimeLabel->isHidden());
  EXPECT_EQ(row.ActionLink->text(), "Download");
  EXPECT_EQ(row.ActionLink->Tag, amStart);
  EXPECT_EQ(row.ActionLink->geometry().right() + 1, 500 - 4);
  EXPECT_EQ(row.ActionLink->y(), 75 - 15 - 2);
  EXPECT_EQ(row.PauseLink->text(), "Pause");
  EXPECT_EQ(row.PauseLink->geometry(), QRect(row.ActionLink->x(), 75 - 30 - 4, row.ActionLink->width(), 15));
  EXPECT_TRUE(row.ActionLink->font().underline());
  EXPECT_EQ(row.ActionLink->cursor().shape(), Qt::PointingHandCursor);

  // Captions: shown only in their own mode; the cancel caption arrives with a
  // start, refitted to its text.
  row.SetCancelCaption("Stop it");
  EXPECT_EQ(row.ActionLink->text(), "Download");
  row.SetDownloadCaption("Get");
  EXPECT_EQ(row.ActionLink->text(), "Get");
  row.StartDownload();  // no URL
  EXPECT_EQ(row.StatusLabel->text(), "No URL specified.");
  EXPECT_EQ(row.ActionLink->text(), "Stop it");
  EXPECT_EQ(row.ActionLink->Tag, amCancel);
  EXPECT_EQ(row.ActionLink->geometry().right() + 1, 500 - 2);
  EXPECT_EQ(row.ActionLink->width(), QFontMetrics(row.font()).horizontalAdvance("Stop it") + 8);

  // Links stay anchored to the right edge.
  int right_gap = 500 - row.PauseLink->x();
  row.resize(700, 75);
  EXPECT_EQ(700 - row.PauseLink->x(), right_gap);
}

TEST_F(DLWidgetsTest, FileNameFitsTheRowAndStartTime) {
  QWidget owner;
  owner.resize(300, 100);
  TDLVisualPanel row(&owner);
  owner.show();
  std::string path = "/home/someone/with/a/rather/long/path/to/the/Downloads/setup-installer.bin";
  row.SetLocalFilename(path);
  EXPECT_TRUE(row.FileNameLabel->text().startsWith("/.../"));
  EXPECT_LT(row.FileNameLabel->geometry().right(), std::min(row.ActionLink->x(), row.PauseLink->x()));
  row.resize(2000, 75);
  EXPECT_EQ(row.FileNameLabel->text().toStdString(), path);  // refitted on resize

  row.SetDLStartTime(EncodeTime(12, 30, 0, 0) + 46000);
  EXPECT_TRUE(row.StartTimeLabel->isVisibleTo(&row));
  EXPECT_TRUE(row.StartTimeLabel->text().startsWith("Start download: "));
  EXPECT_EQ(row.FileNameLabel->y(), row.URLLabel->y() + row.URLLabel->height() + 4);
  EXPECT_EQ(row.StartTimeLabel->y(), row.FileNameLabel->y() + row.FileNameLabel->height() + 4);
}

TEST_F(DLWidgetsTest, ClicksOnEveryPartReachOnClick) {
  QWidget owner;
  owner.resize(500, 100);
  TDLVisualPanel row(&owner);
  owner.show();
  int clicks = 0;
  row.OnClick = [&](TDLVisualPanel* s) {
    EXPECT_EQ(s, &row);
    ++clicks;
  };
  Click(&row, QPoint(200, 40));
  Click(row.URLLabel);
  Click(row.FileNameLabel);
  Click(row.StatusLabel);
  Click(row.ProgressCyl);
  row.PauseLink->show();  // a row never started offers no pause
  Click(row.PauseLink);
  EXPECT_EQ(clicks, 6);
  EXPECT_EQ(row.PauseLink->text(), "Resume");
  row.SetDownloadCaption("Go");
  Click(row.ActionLink);  // start mode: starts; no URL
  EXPECT_EQ(clicks, 7);
  EXPECT_EQ(row.StatusLabel->text(), "No URL specified.");
}

// A handler of the row's events, or of its label's or cylinder's own, may
// remove the row; the code after the event must not touch it.
TEST_F(DLWidgetsTest, HandlerMayDestroyItsRow) {
  testing::TempDir dir;
  struct Case {
    const char* name;
    // Arms `kill` on one of the row's events and makes the row fire it.
    std::function<void(TDLVisualPanel*, std::function<void()> kill)> run;
  };
  const Case cases[] = {
      {"OnClick from the action link",
       [](TDLVisualPanel* row, auto kill) {
         row->OnClick = [kill](TDLVisualPanel*) { kill(); };
         Click(row->ActionLink);
       }},
      {"the URL label's own OnClick",
       [](TDLVisualPanel* row, auto kill) {
         row->URLLabel->OnClick = [kill](TClickLabel*) { kill(); };
         Click(row->URLLabel);
       }},
      {"the progress cylinder's own OnClick",
       [](TDLVisualPanel* row, auto kill) {
         row->ProgressCyl->OnClick = [kill](TProgressCyl*) { kill(); };
         Click(row->ProgressCyl);
       }},
      {"OnStateChange at the end of a transfer",
       [&](TDLVisualPanel* row, auto kill) {
         row->SetURLDownload("http://127.0.0.1:" + std::to_string(testing::ClosedPort()) + "/x");
         row->SetLocalFilename(dir.File("x.bin"));
         row->StartDownload();
         row->OnStateChange = [kill](TDLVisualPanel* r) {
           if (!r->Job().DownloadInProgress()) kill();
         };
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QWidget owner;
    owner.resize(500, 100);
    auto* row = new TDLVisualPanel(&owner);
    owner.show();
    bool freed = false;
    int finished = 0;
    row->OnFinished = [&](TDLVisualPanel*) { ++finished; };
    c.run(row, [&] {
      delete row;
      freed = true;
    });
    EXPECT_TRUE(RunUntil([&] { return freed; }));
    EXPECT_EQ(finished, 0);
  }
}

TEST_F(DLWidgetsTest, ListSelectionBevelsAndCloseButton) {
  QWidget window;
  window.resize(600, 400);
  TDLScrollBox list(&window);
  list.resize(600, 400);
  window.show();
  EXPECT_TRUE(list.CloseButton->isHidden());
  EXPECT_EQ(list.CloseButton->size(), QSize(15, 15));
  TDLVisualPanel* first = list.AddDownload("http://127.0.0.1:9/a", dir_.File("a"));
  TDLVisualPanel* second = list.AddDownload("http://127.0.0.1:9/b", dir_.File("b"));
  EXPECT_EQ(second->y(), 0);  // newest first
  EXPECT_EQ(first->y(), 75);
  EXPECT_EQ(second->width(), list.viewport()->width());
  EXPECT_EQ(first->URLLabel->text(), "http://127.0.0.1:9/a");
  EXPECT_TRUE(list.CloseButton->isHidden());

  Click(first->StatusLabel);
  EXPECT_TRUE(list.CloseButton->isVisibleTo(&list));
  EXPECT_EQ(list.CloseButton->y(), first->y() + 2);
  EXPECT_EQ(list.CloseButton->x() + 15 + 4, list.viewport()->width());
  EXPECT_EQ(first->BevelOuter(), bvRaised);
  EXPECT_EQ(second->BevelOuter(), bvLowered);

  Click(second, QPoint(200, 30));
  EXPECT_EQ(list.CloseButton->y(), 2);
  EXPECT_EQ(first->BevelOuter(), bvLowered);
  EXPECT_EQ(second->BevelOuter(), bvRaised);

  // A row added above moves the selected row and its button with it.
  TDLVisualPanel* third = list.AddDownload("http://127.0.0.1:9/c", dir_.File("c"));
  EXPECT_EQ(second->y(), 75);
  EXPECT_EQ(list.CloseButton->y(), 77);
  Click(list.CloseButton, QPoint(7, 7));
  EXPECT_EQ(list.Rows().size(), 2u);
  EXPECT_EQ(list.Rows()[1], third);  // the second row went
  EXPECT_TRUE(list.CloseButton->isHidden());
  EXPECT_EQ(first->y(), 75);
  Click(list.CloseButton, QPoint(7, 7));  // hidden: nothing happens
  EXPECT_EQ(list.Rows().size(), 2u);

  list.resize(500, 400);
  Click(first->URLLabel);
  EXPECT_EQ(list.CloseButton->x() + 15 + 4, list.viewport()->width());
}

// A reply that looks like markup shows as the characters it is.
TEST_F(DLWidgetsTest, ServerTextsShowLiterally) {
  testing::ScriptedServer server(testing::AnswerWith("HTTP/1.0 550 <h1>Completed.</h1>\r\n\r\n"));
  QWidget window;
  TDLScrollBox list(&window);
  const std::string url = "http://127.0.0.1:" + server.PortText() + "/<b>f</b>.bin";
  TDLVisualPanel* row = list.AddDownload(url, dir_.File("f.bin"));
  row->StartDownload();
  ASSERT_TRUE(RunUntil([&] { return !row->DownloadInProgress(); }));
  // (The list is never shown, so its row is narrow: the whole texts are the
  // tooltips, which escape what would read as markup.)
  auto literally = [](const std::string& text) {
    return "<p style='white-space:pre'>" + QString::fromStdString(text).toHtmlEscaped() + "</p>";
  };
  EXPECT_EQ(row->StatusLabel->toolTip(), literally("Download failed: 550 <h1>Completed.</h1>"));
  EXPECT_EQ(row->URLLabel->toolTip(), literally(url));
  for (QLabel* label : {static_cast<QLabel*>(row->StatusLabel), static_cast<QLabel*>(row->URLLabel),
                        static_cast<QLabel*>(row->FileNameLabel), static_cast<QLabel*>(row->ActionLink)})
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
}

// The URL label names the URL being fetched: a mirror's once it takes over,
// the link's own again with a new start. A host in any script is named in
// its own script.
TEST_F(DLWidgetsTest, RowNamesTheMirrorItTriesAndHostsInTheirOwnScript) {
  std::promise<void> answer;
  std::shared_future<void> answered = answer.get_future().share();
  testing::ScriptedServer server([answered](testing::ScriptedConnection& c) {
    if (c.ReadUntil("\r\n\r\n").starts_with("GET /gone ")) {
      c.Send("HTTP/1.0 404 Not Found\r\n\r\n");
      return;
    }
    // The mirror answers once the test has seen the row trying it.
    answered.wait_for(std::chrono::seconds(10));
    c.Send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello");
  });
  QWidget window;
  TDLScrollBox list(&window);
  const std::string link = "http://127.0.0.1:" + server.PortText() + "/gone";
  const std::string mirror = "http://127.0.0.1:" + server.PortText() + "/f.bin";
  TDLVisualPanel* row = list.AddDownload(link, dir_.File("f.bin"));
  row->Job().SetMirrors({mirror});
  row->StartDownload();
  ASSERT_TRUE(RunUntil([&] { return row->StatusLabel->toolTip().startsWith("Trying mirror 1 of 1: "); }));
  EXPECT_EQ(row->URLLabel->toolTip().toStdString(), mirror);
  answer.set_value();
  ASSERT_TRUE(RunUntil([&] { return !row->DownloadInProgress() && !row->Job().HttpClient(); }));
  EXPECT_EQ(row->StatusLabel->toolTip().toStdString(), "Download Complete.");
  std::filesystem::remove(dir_.File("f.bin"));
  row->Job().SetMirrors({});
  row->StartDownload();
  ASSERT_TRUE(RunUntil([&] { return row->URLLabel->toolTip().toStdString() == link; }));
  ASSERT_TRUE(RunUntil([&] { return !row->DownloadInProgress() && !row->Job().HttpClient(); }));

  platform::SetNameOverridesForTesting({{"xn--nirgendw-u4a.example", {}}});
  row = list.AddDownload("http://nirgendwö.example/f.bin", dir_.File("g.bin"));
  row->StartDownload();
  ASSERT_TRUE(RunUntil([&] { return !row->DownloadInProgress() && !row->Job().HttpClient(); }));
  platform::SetNameOverridesForTesting({});
  EXPECT_EQ(row->StatusLabel->toolTip().toStdString(), "Download failed: can't resolve host name nirgendwö.example");
}

// Only a complete file shows "Done" (and then its icon); a failed row has the
// failure colour, and its cylinder stays and shows what was received. The
// colours come from the desktop's palette as it changes: a failed row is
// tinted red, a finished one grey, and the row's text keeps 4.5:1 contrast
// on them, on a light and on a dark palette; the links take the link colour.
TEST_F(DLWidgetsTest, FailedRowsLookFailed) {
  testing::ScriptedServer server([](testing::ScriptedConnection& c) {
    const std::string request = c.ReadUntil("\r\n\r\n");
    if (request.starts_with("GET /missing "))
      c.Send("HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot here!");
    else
      c.Send("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n0123456789");
  });
  struct Case {
    const char* path;
    std::string sha256;  // the publisher's; "": none
    const char* status;
    bool complete;
  } cases[] = {
      {"/missing", "", "Download failed: 404 Not Found", false},
      {"/file", std::string(64, '0').c_str(),
       "Download failed: the file is not the one the publisher signed (SHA-256 mismatch).", false},
      {"/file", "", "Download Complete.", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    QWidget window;
    TDLScrollBox list(&window);
    TDLVisualPanel* row = list.AddDownload("http://127.0.0.1:" + server.PortText() + c.path, dir_.File("f.bin"));
    TExpectedFile expected;
    expected.sha256 = c.sha256;
    row->Job().SetExpectedFile(expected);
    row->StartDownload();
    ASSERT_TRUE(RunUntil([&] { return !row->DownloadInProgress(); }));
    EXPECT_EQ(row->StatusLabel->toolTip().toStdString(), c.status);
    EXPECT_EQ(row->ProgressCyl->isHidden(), c.complete);  // the file's icon replaces it
    EXPECT_EQ(row->ProgressCyl->DisplayText() == "Done", c.complete) << row->ProgressCyl->DisplayText();
    if (std::string(c.path) == "/missing") {
      EXPECT_EQ(row->ProgressCyl->Position(), 0);  // the error page is no part of the file
    }
    for (const QPalette& palette : {testing::LightPalette(), testing::DarkPalette(), testing::DimLinkDarkPalette()}) {
      window.setPalette(palette);  // as a desktop's theme reaches the window
      const bool dark = palette.color(QPalette::Window).lightness() < 128;
      SCOPED_TRACE(dark ? "dark" : "light");
      // Between the cylinder (or the icon) and the texts.
      const QColor surface = row->grab().toImage().pixelColor(38, row->height() / 2);
      EXPECT_NE(surface, palette.color(QPalette::Window));
      if (c.complete)
        EXPECT_TRUE(surface.red() == surface.green() && surface.green() == surface.blue()) << surface.name().toStdString();
      else
        EXPECT_GT(surface.red(), surface.green() + 8) << surface.name().toStdString();
      const QColor text = row->StatusLabel->palette().color(row->StatusLabel->foregroundRole());
      EXPECT_EQ(text, palette.color(QPalette::WindowText));
      EXPECT_GE(testing::Contrast(text, surface), 4.5) << surface.name().toStdString();
      for (const QLabel* link : {row->ActionLink, row->ShowFolderLink}) {
        EXPECT_EQ(link->foregroundRole(), QPalette::Link);
        EXPECT_GE(testing::Contrast(link->palette().color(QPalette::Link), surface), 4.5) << link->text().toStdString();
      }
    }
  }
}

// A destination that exists is replaced, kept beside the download or left
// alone, as the user answers before anything is fetched.
TEST_F(DLWidgetsTest, ExistingDestinationAsksReplaceKeepBothOrCancel) {
  std::atomic<int> requests{0};
  testing::ScriptedServer server([&](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    ++requests;
    c.Send("HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nnew");
  });
  const std::string url = "http://127.0.0.1:" + server.PortText() + "/f.bin";
  struct Case {
    TMsgResult answer;
    bool started;
    std::vector<std::pair<std::string, std::string>> files;  // name, content afterwards; sorted
  } cases[] = {
      {TMsgResult::mrReplace, true, {{"f (1).bin", "one"}, {"f.bin", "new"}}},
      {TMsgResult::mrKeepBoth, true, {{"f (1).bin", "one"}, {"f (2).bin", "new"}, {"f.bin", "old"}}},
      {TMsgResult::mrCancel, false, {{"f (1).bin", "one"}, {"f.bin", "old"}}},
  };
  QWidget window;
  TDLScrollBox list(&window);
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.answer));
    testing::TempDir folder;
    testing::WriteFile(folder.File("f.bin"), "old");
    testing::WriteFile(folder.File("f (1).bin"), "one");
    desktop_.message_boxes.clear();
    desktop_.message_box_answer = c.answer;
    const int before = requests;
    TDLVisualPanel* row = list.AddDownload(url, folder.File("f.bin"));
    EXPECT_EQ(row->StartDownload(), c.started);
    ASSERT_EQ(desktop_.message_boxes.size(), 1u);
    EXPECT_EQ(desktop_.message_boxes[0].text, "f.bin already exists. Replace it?");
    EXPECT_EQ(desktop_.message_boxes[0].buttons, TMsgButtons::mbReplaceKeepBothCancel);
    ASSERT_TRUE(RunUntil([&] { return !row->DownloadInProgress(); }));
    EXPECT_EQ(requests - before, c.started ? 1 : 0);
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
      files.emplace_back(entry.path().filename(), testing::ReadFile(entry.path()));
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, c.files);
  }
}

// A second row for a file that a running row writes is refused by the
// download's lock, without a question.
TEST_F(DLWidgetsTest, SecondRowForARunningDestinationIsRefusedWithoutAQuestion) {
  testing::ScriptedServer server([](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.0 200 OK\r\nContent-Length: 8\r\n\r\nhalf");
    c.ReadToEnd();  // until the row cancels
  });
  const std::string url = "http://127.0.0.1:" + server.PortText() + "/f.bin";
  testing::WriteFile(dir_.File("f.bin"), "old");
  desktop_.message_box_answer = TMsgResult::mrReplace;
  QWidget window;
  TDLScrollBox list(&window);
  TDLVisualPanel* first = list.AddDownload(url, dir_.File("f.bin"));
  first->SetCancelCaption("Cancel");
  ASSERT_TRUE(first->StartDownload());  // holds the download's lock from here on
  TDLVisualPanel* second = list.AddDownload(url, dir_.File("f.bin"));
  second->StartDownload();
  EXPECT_EQ(second->Job().Status(), "Download failed: f.bin is already being downloaded.");
  EXPECT_EQ(desktop_.message_boxes.size(), 1u);  // the first row's question only
  first->Job().Cancel();
  ASSERT_TRUE(RunUntil([&] { return !first->DownloadInProgress(); }));
  EXPECT_EQ(testing::ReadFile(dir_.File("f.bin")), "old");
}

}  // namespace
}  // namespace quillon
