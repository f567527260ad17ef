// The window's queue and speed limit: rows started beyond "Downloads at once"
// wait in line and say their place, Move up and Start now, an end starts the
// first in line, the status bar's traffic text, and the settings and the line
// kept for the next start.
#include <QAction>
#include <QTest>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/my_status.h"
#include "rows/dl_scroll_box.h"
#include "rows/dl_visual_panel.h"
#include "tests/support/event_wait.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_window.h"

namespace quillon {
namespace {

using namespace testing;

TEST_F(WindowTest, RowsBeyondTheLimitWaitTheirTurnInLine) {
  // Requests are answered never: a started row runs until it is cancelled.
  ScriptedServer server([](ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.ReadToEnd(600000);
  });
  desktop.download_folder = QString::fromStdString(dir.path());
  std::vector<TestLink> links;
  for (const char* name : {"a", "b", "c", "d", "e"})
    links.push_back({name, "http://127.0.0.1:" + server.PortText() + "/" + name});
  const std::string xml = CatalogueXml({{"Files", "", "", "", links}});
  auto& w = Open(xml);
  w.run_downloads = true;
  EXPECT_EQ(w.DownloadsAtOnce(), 3);
  EXPECT_TRUE(w.StatusBar->TrafficText().isEmpty());
  w.SetDownloadsAtOnce(2);
  w.SetSpeedLimit(2 << 20);
  for (int i = 0; i < 5; ++i) {
    w.URLCBx->setCurrentIndex(i);
    w.URLCBxChange();
    w.DownloadBtn->click();
  }
  auto row = [&](char name) {
    for (TDLVisualPanel* r : window->DLScrollBox->Rows())
      if (r->LocalFilename() == dir.File(std::string(1, name))) return r;
    return static_cast<TDLVisualPanel*>(nullptr);
  };
  auto line = [&] {
    std::string text;
    for (char name : std::string("abcde"))
      text += std::string(1, name) + ":" +
              (row(name)->QueuePlace() ? std::to_string(row(name)->QueuePlace()) : row(name)->DownloadInProgress() ? "run" : "-") + " ";
    return text;
  };
  EXPECT_EQ(line(), "a:run b:run c:1 d:2 e:3 ");
  EXPECT_EQ(row('d')->StatusText(), "Queued (2nd).");
  EXPECT_EQ(row('d')->ActionLink->text(), "Start now");
  EXPECT_EQ(w.StatusBar->TrafficText(), QStringLiteral("Limited to 2.00MB/sec. \u00B7 3 queued"));

  w.DLScrollBox->setFocus();
  w.DLScrollBox->SelectRow(row('e'));
  QTest::keyClick(w.DLScrollBox, Qt::Key_Up, Qt::ControlModifier);  // Move up
  EXPECT_EQ(line(), "a:run b:run c:1 d:3 e:2 ");
  row('a')->ActionLink->Click();  // cancelled: the first in line takes its slot
  ASSERT_TRUE(RunUntil([&] { return row('c')->DownloadInProgress(); }));
  EXPECT_EQ(line(), "a:- b:run c:run d:2 e:1 ");
  w.DLScrollBox->SelectRow(row('d'));
  w.DLScrollBox->StartNowAction->trigger();  // beyond the limit
  EXPECT_EQ(line(), "a:- b:run c:run d:run e:1 ");
  EXPECT_EQ(w.StatusBar->TrafficText(), QStringLiteral("Limited to 2.00MB/sec. \u00B7 1 queued"));

  // The next start: the settings, and the row in line waits again (the
  // running ones come back paused and hold no slot).
  w.SetDownloadsAtOnce(1);
  w.SetSpeedLimit(0);
  w.close();
  auto& again = Open(xml);
  EXPECT_EQ(again.DownloadsAtOnce(), 1);
  EXPECT_EQ(again.SpeedLimit(), 0);
  ASSERT_TRUE(RunUntil([&] { return row('e')->DownloadInProgress(); }));
  EXPECT_EQ(line(), "a:- b:- c:- d:- e:run ");
  EXPECT_TRUE(again.StatusBar->TrafficText().isEmpty());
}

}  // namespace
}  // namespace quillon
