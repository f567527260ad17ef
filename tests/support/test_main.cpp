// main() of every test program: GoogleTest with a Qt application object, so
// that code built on the event loop (sockets, clients, widgets) can run.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

#ifdef QUILLON_GUI_TESTS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

int main(int argc, char** argv) {
  // Nothing in a test is shown to anybody.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::testing::InitGoogleTest(&argc, argv);
  TestApplication app(argc, argv);
  // The application object took the environment's locale; the tests expect
  // the C locale unless they switch it themselves (ScopedLocale).
  std::setlocale(LC_ALL, "C");
  return RUN_ALL_TESTS();
}
