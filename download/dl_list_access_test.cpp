// The download list without the mouse: its keys on a focused row.
#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "download/dl_scroll_box.h"
#include "download/dl_visual_panel.h"
#include "tests/support/dl_widgets_fixture.h"
#include "tests/support/event_wait.h"
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
      {kFailed, Qt::Key_Return, {}, TMsgResult::mrYes, kFailed, 3, 0, "", false},  // nothing to open
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
    desktop_.message_boxes.clear();
    desktop_.message_box_answer = c.answer;
    QTest::keyClick(list, c.key, c.mods);
    EXPECT_EQ(static_cast<int>(list->Rows().size()), c.rows);
    EXPECT_EQ(static_cast<int>(desktop_.message_boxes.size()), c.questions);
    const QString opened = desktop_.opened.empty() ? QString() : desktop_.opened.back();
    const std::string opened_what = opened == file ? "file" : opened == QString::fromStdString(folder->path()) ? "folder"
                                                                                                      : opened.toStdString();
    EXPECT_EQ(opened_what, c.opened);
    if (c.rows == 3) {
      EXPECT_EQ(running->Job().Status() == "Paused.", c.paused);
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


}  // namespace
}  // namespace quillon
