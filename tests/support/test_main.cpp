// main() of every test program: GoogleTest with a Qt application object, so
// that code built on the event loop (sockets, clients, widgets) can run.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>

#ifdef QUILLON_GUI_TESTS
#include <QApplication>
#include <QFont>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

int main(int argc, char** argv) {
  // Nothing in a test is shown to anybody.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // Trust records the program writes go to a folder of this run, never to
  // the user's; a test that looks at them sets its own.
  std::string state = (std::filesystem::temp_directory_path() / "quillon-state-XXXXXX").string();
  if (mkdtemp(state.data()) != nullptr) setenv("XDG_STATE_HOME", state.c_str(), 1);
  ::testing::InitGoogleTest(&argc, argv);
  TestApplication app(argc, argv);
  // The application object took the environment's locale; the tests expect
  // the C locale unless they switch it themselves (ScopedLocale).
  std::setlocale(LC_ALL, "C");
#ifdef QUILLON_GUI_TESTS
  // The design's 8-point font, for which the window's and the rows' places are
  // designed; a test of another size sets its own.
  QFont font = QApplication::font();
  font.setPointSize(8);
  QApplication::setFont(font);
#endif
  const int result = RUN_ALL_TESTS();
  std::error_code ec;
  std::filesystem::remove_all(state, ec);
  return result;
}
