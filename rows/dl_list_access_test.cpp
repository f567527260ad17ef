// The download list without the mouse: its keys on a focused row, and what a
// screen reader reads from it through Qt's accessibility interfaces.
#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QApplication>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "rows/dl_scroll_box.h"
#include "rows/dl_visual_panel.h"
#include "rows/download_accessibility.h"
#include "tests/support/dl_widgets_fixture.h"
#include "tests/support/event_wait.h"
#include "tests/support/gate.h"
#include "tests/support/scripted_server.h"

namespace quillon {
namespace {

using testing::RunUntil;

// A list beside a button, with three rows, top first: a running download of
// unknown length (the server holds the connection), a failed one (404) and a
// finished one.
class ThreeRows : public testing::DLWidgetsTest {
 protected:
  void SetUp() override {
    // The clock stands still: a running row keeps telling its first status.
    TDescriptionPacer::SetClockForTesting([] { return uint32_t{0}; });
    folder = std::make_unique<testing::TempDir>();
    window.resize(600, 400);
    before = new QPushButton(QStringLiteral("before"), &window);
    before->setGeometry(0, 0, 80, 20);
    list = new TDLScrollBox(&window);
    list->setGeometry(0, 30, 600, 300);
    before->show();  // also when the window is already shown
    list->show();
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    done = Start("/done.bin");
    failed = Start("/missing.bin");
    running = Start("/slow.bin");
    ASSERT_TRUE(RunUntil([&] { return !done->DownloadInProgress() && !failed->DownloadInProgress(); }));
    ASSERT_TRUE(RunUntil([&] { return running->Job().ShowsProgress(); }));
    ASSERT_TRUE(running->DownloadInProgress());
  }
  void TearDown() override {
    TDescriptionPacer::SetClockForTesting({});
    delete list;  // its rows end their downloads
    delete before;
    list = nullptr;
    before = nullptr;
  }
  TDLVisualPanel* Start(const std::string& path) {
    TDLVisualPanel* row = list->AddDownload("http://127.0.0.1:" + server.PortText() + path, folder->File(path.substr(1)));
    row->SetCancelCaption("Cancel");
    row->StartDownload();
    return row;
  }
  // Tab from the button, then Down `index` times.
  void Focus(int index) {
    before->setFocus();
    QTest::keyClick(before, Qt::Key_Tab);
    for (int i = 0; i < index; ++i) QTest::keyClick(list, Qt::Key_Down);
  }
  std::vector<TDLVisualPanel*> TopDown() const {
    std::vector<TDLVisualPanel*> rows = list->Rows();
    return {rows.rbegin(), rows.rend()};
  }

  testing::ScriptedServer server{[](testing::ScriptedConnection& c) {
    const std::string request = c.ReadUntil("\r\n\r\n");
    if (request.starts_with("GET /missing.bin "))
      c.Send("HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot here!");
    else if (request.starts_with("GET /done.bin "))
      c.Send("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n0123456789");
    if (!request.starts_with("GET /slow.bin ")) return;
    c.Send("HTTP/1.0 200 OK\r\n\r\n0123456789");
    c.ReadToEnd();  // until the row cancels
  }};
  std::unique_ptr<testing::TempDir> folder;
  QWidget window;
  QPushButton* before = nullptr;
  TDLScrollBox* list = nullptr;
  TDLVisualPanel* done = nullptr;
  TDLVisualPanel* failed = nullptr;
  TDLVisualPanel* running = nullptr;
};

using DLListKeysTest = ThreeRows;

TEST_F(DLListKeysTest, KeysOnTheFocusedRow) {
  enum Row { kRunning, kFailed, kDone };
  enum Effect { kNone, kFailedStarted, kRunningCancelled, kMenu };
  struct Case {
    int focused;  // Row, reached from the top with Down
    Qt::Key key;
    Qt::KeyboardModifiers mods;
    TMsgResult answer;  // to the question about a running download
    int selected;       // Row selected afterwards, by its first place
    int rows;           // left in the list
    int questions;
    const char* opened;  // "file", "folder" or ""
    bool paused;         // the running row
    Effect effect = kNone;
  } cases[] = {
      {kRunning, Qt::Key_Down, {}, TMsgResult::mrYes, kFailed, 3, 0, "", false},
      {kFailed, Qt::Key_Up, {}, TMsgResult::mrYes, kRunning, 3, 0, "", false},
      {kRunning, Qt::Key_Up, {}, TMsgResult::mrYes, kRunning, 3, 0, "", false},  // the top stays
      {kDone, Qt::Key_Down, {}, TMsgResult::mrYes, kDone, 3, 0, "", false},      // the bottom stays
      {kRunning, Qt::Key_End, {}, TMsgResult::mrYes, kDone, 3, 0, "", false},
      {kDone, Qt::Key_Home, {}, TMsgResult::mrYes, kRunning, 3, 0, "", false},
      {kRunning, Qt::Key_Space, {}, TMsgResult::mrYes, kRunning, 3, 0, "", true},
      {kDone, Qt::Key_Space, {}, TMsgResult::mrYes, kDone, 3, 0, "", false},  // nothing to pause
      {kDone, Qt::Key_Return, {}, TMsgResult::mrYes, kDone, 3, 0, "file", false},
      {kDone, Qt::Key_Enter, Qt::KeypadModifier, TMsgResult::mrYes, kDone, 3, 0, "file", false},
      {kFailed, Qt::Key_Return, {}, TMsgResult::mrYes, kFailed, 3, 0, "", false, kFailedStarted},
      {kFailed, Qt::Key_Space, {}, TMsgResult::mrYes, kFailed, 3, 0, "", false, kFailedStarted},
      {kRunning, Qt::Key_Period, Qt::ControlModifier, TMsgResult::mrNo, kRunning, 3, 0, "", false, kRunningCancelled},
      {kFailed, Qt::Key_F10, Qt::ShiftModifier, TMsgResult::mrYes, kFailed, 3, 0, "", false, kMenu},
      {kRunning, Qt::Key_Return, {}, TMsgResult::mrYes, kRunning, 3, 0, "", false},
      {kDone, Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier, TMsgResult::mrYes, kDone, 3, 0, "folder", false},
      {kRunning, Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier, TMsgResult::mrYes, kRunning, 3, 0, "", false},
      {kDone, Qt::Key_O, Qt::ControlModifier, TMsgResult::mrYes, kDone, 3, 0, "", false},  // not the key
      // A finished row goes at once; the row above takes the focus.
      {kDone, Qt::Key_Delete, {}, TMsgResult::mrYes, kFailed, 2, 0, "", false},
      {kFailed, Qt::Key_Delete, {}, TMsgResult::mrYes, kDone, 2, 0, "", false},
      // A running one after the question: No keeps it, Yes cancels and removes it.
      {kRunning, Qt::Key_Delete, {}, TMsgResult::mrNo, kRunning, 3, 1, "", false},
      {kRunning, Qt::Key_Delete, {}, TMsgResult::mrYes, kFailed, 2, 1, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "row " << c.focused << " key " << c.key);
    TearDown();
    SetUp();
    const std::vector<TDLVisualPanel*> rows = TopDown();
    const QString file = QString::fromStdString(done->LocalFilename());
    Focus(c.focused);
    ASSERT_TRUE(list->hasFocus());
    desktop_.opened.clear();
    desktop_.shown_in_folder.clear();
    desktop_.message_boxes.clear();
    desktop_.message_box_answer = c.answer;
    QTest::keyClick(list, c.key, c.mods);
    EXPECT_EQ(static_cast<int>(list->Rows().size()), c.rows);
    EXPECT_EQ(static_cast<int>(desktop_.message_boxes.size()), c.questions);
    const QString opened = desktop_.opened.empty() ? QString() : desktop_.opened.back();
    const std::string opened_what = !desktop_.shown_in_folder.empty()
                                        ? (desktop_.shown_in_folder.back() == file ? "folder" : "another file's folder")
                                    : opened == file ? "file"
                                                     : opened.toStdString();
    EXPECT_EQ(opened_what, c.opened);
    if (c.rows == 3) {
      EXPECT_EQ(running->Job().Status() == "Paused.", c.paused);
      EXPECT_EQ(failed->DownloadInProgress(), c.effect == kFailedStarted);
      EXPECT_EQ(running->Job().Status() == "Download Cancelled.", c.effect == kRunningCancelled);
      EXPECT_EQ(list->ListMenu->isVisible(), c.effect == kMenu);
      list->ListMenu->hide();
    }
    // The selected row is the focused one: raised, with the close button and
    // the focus frame on it.
    TDLVisualPanel* selected = rows[static_cast<size_t>(c.selected)];
    for (TDLVisualPanel* row : list->Rows()) EXPECT_EQ(row->BevelOuter() == bvRaised, row == selected);
    EXPECT_EQ(list->CloseButton->y(), selected->y() + 2);
    EXPECT_TRUE(list->FocusFrame()->isVisible());
    EXPECT_EQ(list->FocusFrame()->geometry(), selected->geometry());
  }
  // Without the focus the frame goes; the selection stays.
  before->setFocus();
  EXPECT_FALSE(list->FocusFrame()->isVisible());
  EXPECT_FALSE(list->CloseButton->isHidden());
}


using DLListAccessibilityTest = ThreeRows;

// The list as a screen reader walks it: a list of list items named by their
// files and described by their status texts, each with a progress bar and
// its links as push buttons.
TEST_F(DLListAccessibilityTest, RowsAreListItemsWithProgressBarsAndButtons) {
  struct Expected {
    TDLVisualPanel* row;
    QString name, description;
    int min, max, value;  // the progress bar; min = max = 0: busy
    std::vector<QString> buttons;  // shown ones, in the row's order
  } expected[] = {
      {running, "slow.bin", "Initiating download...", 0, 0, 0, {"Cancel", "Pause"}},  // its progress paced
      {failed, "missing.bin", "Download failed: 404 Not Found", 0, 100, 0, {"Download"}},
      {done, "done.bin", "Download Complete.", 0, 100, 100, {"Open", "Show in folder"}},
  };
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(list);
  ASSERT_NE(iface, nullptr);
  EXPECT_EQ(iface->role(), QAccessible::List);
  EXPECT_EQ(iface->text(QAccessible::Name), "Downloads");
  ASSERT_EQ(iface->childCount(), 3);  // no close button while no row is selected
  for (int i = 0; i < 3; ++i) {
    const Expected& e = expected[i];
    SCOPED_TRACE(e.name.toStdString());
    QAccessibleInterface* item = iface->child(i);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->object(), e.row);
    EXPECT_EQ(item->role(), QAccessible::ListItem);
    EXPECT_EQ(item->parent(), iface);
    EXPECT_EQ(iface->indexOfChild(item), i);
    EXPECT_EQ(item->text(QAccessible::Name), e.name);
    EXPECT_EQ(item->text(QAccessible::Description), e.description);
    std::vector<QString> buttons;
    int bars = 0;
    for (int k = 0; k < item->childCount(); ++k) {
      QAccessibleInterface* part = item->child(k);
      if (part->state().invisible) continue;
      if (part->role() == QAccessible::Button) {
        buttons.push_back(part->text(QAccessible::Name));
        EXPECT_EQ(part->actionInterface()->actionNames(), QStringList{QAccessibleActionInterface::pressAction()});
      }
      if (part->role() != QAccessible::ProgressBar) continue;
      ++bars;
      QAccessibleValueInterface* value = part->valueInterface();
      ASSERT_NE(value, nullptr);
      EXPECT_EQ(value->minimumValue().toInt(), e.min);
      EXPECT_EQ(value->maximumValue().toInt(), e.max);
      EXPECT_EQ(value->currentValue().toInt(), e.value);
    }
    std::sort(buttons.begin(), buttons.end());
    EXPECT_EQ(buttons, e.buttons);
    EXPECT_EQ(bars, e.row == done ? 0 : 1);  // the finished file's icon replaces it
  }

  // Focus on a row: it is the list's focus child, selected and focused, and
  // the close button joins the list as a push button.
  Focus(1);
  QAccessibleInterface* item = iface->child(1);
  EXPECT_EQ(iface->focusChild(), item);
  EXPECT_TRUE(item->state().selected && item->state().focused);
  EXPECT_FALSE(iface->child(0)->state().selected);
  ASSERT_EQ(iface->childCount(), 4);
  EXPECT_EQ(iface->child(3)->role(), QAccessible::Button);
  EXPECT_EQ(iface->child(3)->text(QAccessible::Name), "Close");

  // The press action of a link clicks it.
  QAccessible::queryAccessibleInterface(running->PauseLink)->actionInterface()->doAction(
      QAccessibleActionInterface::pressAction());
  EXPECT_EQ(running->Job().Status(), "Paused.");
  EXPECT_EQ(item->text(QAccessible::Description), "Download failed: 404 Not Found");
  EXPECT_EQ(iface->child(0)->text(QAccessible::Description), "Paused.");
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

// A running row tells a new status at most every 5 s (a reader that speaks
// description changes would speak every progress report); a new state, and
// every text of a row that does not run, at once.
TEST(DescriptionPacerTest, RunningTextsWaitStateChangesDoNot) {
  struct Step {
    const char* text;
    int state;
    bool running;
    uint32_t now;
    const char* told;   // Told() afterwards
    int64_t wait;       // Wait(now), -1: nothing waits
  } steps[] = {
      {"Connecting", 1, true, 0xFFFFF000u, "Connecting", -1},  // the tick count wraps below
      {"1 KB", 1, true, 0xFFFFF000u + 100, "Connecting", 4900},
      {"2 KB", 1, true, 0xFFFFF000u + 4999, "Connecting", 1},
      {"3 KB", 1, true, 0xFFFFF000u + 5000, "3 KB", -1},
      {"3 KB", 1, true, 6000, "3 KB", -1},                     // the same text
      {"Paused.", 2, false, 6100, "Paused.", -1},              // a new state
      {"Paused.", 2, false, 6200, "Paused.", -1},
      {"Resuming", 1, true, 6300, "Resuming", -1},
      {"4 KB", 1, true, 6400, "Resuming", 4900},
      {"Resuming", 1, true, 6500, "Resuming", -1},             // back to what was told
      {"Download failed: 404 Not Found", 3, false, 6600, "Download failed: 404 Not Found", -1},
      {"Download failed: other", 3, false, 6700, "Download failed: other", -1},  // not running
  };
  TDescriptionPacer pacer;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.text);
    pacer.Offer(s.text, s.state, s.running, s.now);
    EXPECT_EQ(pacer.Told(), s.told);
    const std::optional<uint32_t> wait = pacer.Wait(s.now);
    EXPECT_EQ(wait ? static_cast<int64_t>(*wait) : -1, s.wait);
  }
}

// The row itself: progress while the clock stands still is not told; the end
// is told at once.
using DLRowDescriptionTest = testing::DLWidgetsTest;

TEST_F(DLRowDescriptionTest, ARunningRowsDescriptionIsPaced) {
  testing::Gate rest;
  testing::ScriptedServer server([&](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.0 200 OK\r\nContent-Length: 20\r\n\r\n0123456789");
    rest.Wait();
    c.Send("0123456789");
  });
  TDescriptionPacer::SetClockForTesting([] { return uint32_t{1000}; });
  struct RestoreClock {
    ~RestoreClock() { TDescriptionPacer::SetClockForTesting({}); }
  } restore;
  QWidget window;
  TDLScrollBox list(&window);
  TDLVisualPanel* row = list.AddDownload("http://127.0.0.1:" + server.PortText() + "/f.bin", dir_.File("f.bin"));
  row->StartDownload();
  QAccessibleInterface* item = QAccessible::queryAccessibleInterface(row);
  const QString first = item->text(QAccessible::Description);
  ASSERT_TRUE(RunUntil([&] { return row->Job().Position() > 0; }));
  EXPECT_NE(row->StatusText(), first);
  EXPECT_EQ(item->text(QAccessible::Description), first);
  rest.Open();
  ASSERT_TRUE(RunUntil([&] { return !row->DownloadInProgress(); }));
  EXPECT_EQ(item->text(QAccessible::Description), "Download Complete.");
}

}  // namespace
}  // namespace quillon
