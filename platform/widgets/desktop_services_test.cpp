#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <optional>

#include "base/exceptions.h"
#include "platform/widgets/anchors.h"
#include "platform/widgets/application.h"
#include "platform/widgets/desktop_services.h"
#include "platform/widgets/dialogs.h"
#include "platform/settings_store.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_desktop.h"

namespace quillon {
namespace {

TEST(SettingsStore, KeepsValuesInTheIsolatedStore) {
  testing::TempDir dir;
  TTestDesktop desktop(dir.File("settings.ini"));
  EXPECT_FALSE(TSettingsStore::ReadString("Last Save Directory").has_value());
  ASSERT_TRUE(TSettingsStore::WriteString("Last Save Directory", QString::fromUtf8("/t\u00E9/")));
  EXPECT_EQ(TSettingsStore::ReadString("Last Save Directory"), QString::fromUtf8("/t\u00E9/"));
  EXPECT_TRUE(testing::FileExists(dir.File("settings.ini")));
}

// Each scope (a catalogue) has its own store, in the user's configuration
// folder; a value it lacks comes from the store without a scope.
TEST(SettingsStore, EachScopeHasItsOwnStoreAndReadsTheSharedOne) {
  testing::TempDir dir;
  TTestDesktop desktop(dir.File("settings.ini"));
  ASSERT_TRUE(TSettingsStore::WriteString("Last Save Directory", "/shared/"));
  struct Step {
    const char* scope;
    const char* write;  // nullptr: nothing
    const char* read;
  } steps[] = {{"id-alpha", nullptr, "/shared/"}, {"id-alpha", "/alpha/", "/alpha/"},
               {"id-beta", nullptr, "/shared/"},  {"id-alpha", nullptr, "/alpha/"},
               {"", nullptr, "/shared/"}};
  for (const Step& s : steps) {
    SCOPED_TRACE(std::string(s.scope) + (s.write ? " write" : ""));
    TSettingsStore::SetScope(s.scope);
    if (s.write) {
      ASSERT_TRUE(TSettingsStore::WriteString("Last Save Directory", s.write));
    }
    EXPECT_EQ(TSettingsStore::ReadString("Last Save Directory"), QString(s.read));
  }
  // The user's own store of a scope.
  const std::optional<QByteArray> config =
      qEnvironmentVariableIsSet("XDG_CONFIG_HOME") ? std::optional(qgetenv("XDG_CONFIG_HOME")) : std::nullopt;
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir.File("config")));
  TSettingsStore::UseFileForTesting({});
  TSettingsStore::SetScope("id-gamma");
  EXPECT_TRUE(TSettingsStore::WriteString("Last Save Directory", "/gamma/"));
  config ? qputenv("XDG_CONFIG_HOME", *config) : qunsetenv("XDG_CONFIG_HOME");
  EXPECT_TRUE(testing::FileExists(dir.File("config/quillon/id-gamma.conf")));
}

TEST(SettingsStore, UnwritableStoreReportsFailure) {
  testing::TempDir dir;
  TTestDesktop desktop(dir.File("missing/dir/settings.ini"));
  testing::WriteFile(dir.File("missing"), "a file where the folder should be");
  EXPECT_FALSE(TSettingsStore::WriteString("Last Save Directory", "/x/"));
}

TEST(DesktopServices, HooksAnswerAndRecord) {
  testing::TempDir dir;
  TTestDesktop desktop(dir.File("s.ini"));
  desktop.download_folder = "/home/u/Desktop";
  EXPECT_EQ(DownloadFolder(), "/home/u/Desktop");
  EXPECT_TRUE(OpenWithDesktop("http://127.0.0.1/page"));
  ASSERT_EQ(desktop.opened.size(), 1u);
  EXPECT_EQ(desktop.opened[0], "http://127.0.0.1/page");

  desktop.message_box_answer = TMsgResult::mrNo;
  EXPECT_EQ(ShowMessageBox({nullptr, "Continue?", "", TMsgButtons::mbYesNo, TMsgIcon::miQuestion}),
            TMsgResult::mrNo);
  EXPECT_EQ(ShowMessageBox({nullptr, "Done", "", TMsgButtons::mbOK, TMsgIcon::miNone}),
            TMsgResult::mrOk);
  ASSERT_EQ(desktop.message_boxes.size(), 2u);
  EXPECT_EQ(desktop.message_boxes[0].icon, TMsgIcon::miQuestion);

  EXPECT_FALSE(ShowSaveDialog({nullptr, "/a", "b.zip"}).has_value());
  desktop.save_dialog_answer = "/c/d.zip";
  EXPECT_EQ(ShowSaveDialog({nullptr, "/a", "b.zip"}), QString("/c/d.zip"));
  ASSERT_EQ(desktop.save_dialogs.size(), 2u);
  EXPECT_EQ(desktop.save_dialogs[1].file_name, "b.zip");

  QDialog dialog;
  dialog.setWindowTitle("Modal");
  desktop.modal_result = 7;
  EXPECT_EQ(ExecModal(dialog), 7);
  EXPECT_EQ(desktop.modal_captions, std::vector<QString>{"Modal"});
}

// The real box: a question whose safe answer is No has No as its default
// button, so Enter does not say Yes.
TEST(MessageBox, DefaultButtonOfAQuestion) {
  for (const bool default_no : {false, true}) {
    SCOPED_TRACE(default_no);
    QAbstractButton* default_button = nullptr;
    QAbstractButton* no_button = nullptr;
    // Runs once the box's own event loop runs.
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      default_button = box->defaultButton();
      no_button = box->button(QMessageBox::No);
      box->button(QMessageBox::No)->click();
    });
    TMessageBoxRequest request;
    request.text = "Stop them?";
    request.buttons = TMsgButtons::mbYesNo;
    request.default_no = default_no;
    EXPECT_EQ(ShowMessageBox(request), TMsgResult::mrNo);
    ASSERT_NE(no_button, nullptr);
    EXPECT_EQ(default_button == no_button, default_no);
  }
}

TEST(ExceptionReport, ShowsTheMessageAndStopsTheHandler) {
  testing::TempDir dir;
  TTestDesktop desktop(dir.File("s.ini"));
  bool after = false;
  EXPECT_FALSE(RunHandler([&] {
    throw EConvertError("'x' is not a valid integer value");
    after = true;
  }));
  EXPECT_FALSE(after);
  ASSERT_EQ(desktop.message_boxes.size(), 1u);
  EXPECT_EQ(desktop.message_boxes[0].text, "'x' is not a valid integer value");
  EXPECT_EQ(desktop.message_boxes[0].icon, TMsgIcon::miError);
  EXPECT_TRUE(RunHandler([] {}));
  EXPECT_EQ(desktop.message_boxes.size(), 1u);
}

// An object whose event handler raises.
class Raiser : public QObject {
 public:
  int handled = 0;
  bool event(QEvent* e) override {
    if (e->type() != QEvent::User) return QObject::event(e);
    ++handled;
    throw EConvertError("raised in a handler");
  }
};

TEST(ExceptionReport, EventsDeliveredByTheApplicationReportTheirExceptions) {
  testing::TempDir dir;
  TTestDesktop desktop(dir.File("s.ini"));
  Raiser raiser;
  QEvent event(QEvent::User);
  EXPECT_FALSE(TApplication::GuardedNotify(*qApp, &raiser, &event));
  EXPECT_EQ(raiser.handled, 1);
  ASSERT_EQ(desktop.message_boxes.size(), 1u);
  EXPECT_EQ(desktop.message_boxes[0].text, "raised in a handler");
  // The program goes on: the next event is delivered as usual.
  EXPECT_FALSE(TApplication::GuardedNotify(*qApp, &raiser, &event));
  EXPECT_EQ(raiser.handled, 2);
  QEvent other(QEvent::None);
  TApplication::GuardedNotify(*qApp, &raiser, &other);
  EXPECT_EQ(desktop.message_boxes.size(), 2u);
}

TEST(Anchors, KeepDistancesToAnchoredEdges) {
  QWidget top;
  QWidget parent(&top);
  parent.resize(200, 100);
  QWidget fixed(&parent), right(&parent), both(&parent), all(&parent);
  TAnchors anchors(&parent);
  anchors.Place(&fixed, {10, 10, 20, 20});
  anchors.Place(&right, {150, 70, 40, 20}, akRight | akBottom);
  anchors.Place(&both, {10, 40, 180, 20}, akLeft | akTop | akRight);
  anchors.Place(&all, {5, 5, 190, 90}, akAll);
  top.show();  // hidden widgets get their resize events when shown
  parent.resize(300, 150);
  EXPECT_EQ(fixed.geometry(), QRect(10, 10, 20, 20));
  EXPECT_EQ(right.geometry(), QRect(250, 120, 40, 20));
  EXPECT_EQ(both.geometry(), QRect(10, 40, 280, 20));
  EXPECT_EQ(all.geometry(), QRect(5, 5, 290, 140));
  // A control moved by the program keeps its new distances.
  anchors.SetBounds(&both, {20, 40, 200, 20});
  parent.resize(200, 150);
  EXPECT_EQ(both.geometry(), QRect(20, 40, 100, 20));
  // Never a negative size.
  parent.resize(10, 10);
  EXPECT_EQ(all.geometry().size(), QSize(0, 0));
}

}  // namespace
}  // namespace quillon
