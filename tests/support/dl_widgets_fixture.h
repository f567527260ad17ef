// For the download row and list tests: a fixture with a temporary folder and
// the desktop's services and dialogs answered by the test, and a mouse click.
#pragma once

#include <QPoint>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"
#include "tests/support/test_desktop.h"

namespace quillon::testing {

class DLWidgetsTest : public ::testing::Test {
 protected:
  TempDir dir_;
  TTestDesktop desktop_{dir_.File("settings.ini")};
};

inline void Click(QWidget* w, QPoint at = QPoint(3, 3)) { QTest::mouseClick(w, Qt::LeftButton, {}, at); }

}  // namespace quillon::testing
