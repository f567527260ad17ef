// For the window's tests: the window with its program-download branch
// recorded instead of run, and a fixture that opens it on a catalogue with
// every desktop service and dialog answered by the test.
#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/form_downloader.h"
#include "tests/support/test_catalogue.h"
#include "tests/support/test_desktop.h"

namespace quillon::testing {

class TestWindow : public TfrmDownloader {
 public:
  using TfrmDownloader::TfrmDownloader;
  struct Download {
    std::string url;
    QString file;  // the destination field when the download started
  };
  std::vector<std::string> program_downloads;
  std::vector<Download> downloads;
  bool run_downloads = false;  // true: the real branch runs as well

 protected:
  void StartProgramDownload(const std::string& url) override {
    if (run_downloads) TfrmDownloader::StartProgramDownload(url);
    program_downloads.push_back(url);
    downloads.push_back({url, SaveToFolderEdit->text()});
  }
};

class WindowTest : public ::testing::Test {
 protected:
  WindowTest() : desktop(dir.File("settings.ini")) { desktop.download_folder = "/home/user/Desktop"; }

  // Creates the window on a program file carrying `xml`, shows and activates it.
  TestWindow& Open(const std::string& xml) {
    window = std::make_unique<TestWindow>(ProgramWith(dir, xml));
    window->SetToday([] { return int64_t{38718}; });
    window->show();
    window->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
    return *window;
  }

  void ClickRow(int row) {
    QListWidget* list = window->ListBox1;
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
  }
  void ChooseLink(int index) {
    QComboBox* box = window->URLCBx;
    box->setFocus();
    while (box->currentIndex() < index) QTest::keyClick(box, Qt::Key_Down);
    while (box->currentIndex() > index) QTest::keyClick(box, Qt::Key_Up);
  }

  TempDir dir;
  TTestDesktop desktop;
  std::unique_ptr<TestWindow> window;
};

}  // namespace quillon::testing
