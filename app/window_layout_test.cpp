// The window's layout when it is resized and split: the product name stays,
// the splitter stops where the wizard is whole, and a row's texts end left of
// its links.
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QPushButton>
#include <QSplitter>
#include <QSplitterHandle>
#include <QTest>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/my_status.h"
#include "rows/dl_scroll_box.h"
#include "rows/dl_visual_panel.h"
#include "platform/widgets/elided_combo_box.h"
#include "platform/widgets/elided_label.h"
#include "platform/widgets/path_edit.h"
#include "tests/support/event_wait.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_palettes.h"
#include "tests/support/test_window.h"

namespace quillon {
namespace {

using namespace testing;

const TestProduct kTally{"Tally", "Counts.", "", "", {{"Tally", "gopher://127.0.0.1/tally.zip"}}};
const TestProduct kFonts{"Marrowby Fonts", "Letters.", "", "", {{"Fonts", "gopher://127.0.0.1/fonts.zip"}}};

class WindowLayoutTest : public testing::WindowTest {
 protected:
  // Every shown button of `page` lies whole inside the page and inside the
  // wizard, is wider than its caption, and overlaps no other button.
  void ExpectButtonsWhole(QWidget* page, const std::string& where) {
    std::vector<QRect> seen;
    for (QPushButton* b : page->findChildren<QPushButton*>(Qt::FindDirectChildrenOnly)) {
      if (b->isHidden()) continue;
      const QRect in_panel(b->mapTo(window->Panel1, QPoint(0, 0)), b->size());
      EXPECT_TRUE(page->rect().contains(b->geometry())) << where << " " << b->text().toStdString();
      EXPECT_TRUE(window->Panel1->rect().contains(in_panel)) << where << " " << b->text().toStdString();
      const int text = b->fontMetrics().size(Qt::TextShowMnemonic, b->text()).width();
      EXPECT_LE(text + 8, b->width()) << where << " " << b->text().toStdString();
      for (const QRect& other : seen) EXPECT_FALSE(other.intersects(b->geometry())) << where;
      seen.push_back(b->geometry());
    }
  }
};

TEST_F(WindowLayoutTest, ProductNameSurvivesEveryResize) {
  auto& w = Open(CatalogueXml({kTally, kFonts}));
  ClickRow(1);
  // Resized while the download page is hidden, that page follows when shown.
  w.resize(700, 450);
  ASSERT_TRUE(RunUntil([&] { return w.size() == QSize(700, 450); }));
  QTest::mouseClick(w.NextBtn, Qt::LeftButton);
  EXPECT_EQ(w.DLPanel->width() - (w.DownloadBtn->geometry().right() + 1), 275 - (194 + 75));
  EXPECT_EQ(w.DownloadBtn->x() - (w.BackBtn->geometry().right() + 1), 194 - (111 + 75));
  struct Step {
    const char* name;
    std::function<void()> act;
    std::function<bool()> done;
  } steps[] = {
      {"smaller", [&] { w.resize(w.minimumSize()); }, [&] { return w.size() == w.minimumSize(); }},
      {"larger", [&] { w.resize(900, 560); }, [&] { return w.size() == QSize(900, 560); }},
      {"maximised", [&] { w.showMaximized(); }, [&] { return w.isMaximized(); }},
      {"restored", [&] { w.showNormal(); }, [&] { return !w.isMaximized(); }},
  };
  for (const Step& s : steps) {
    s.act();
    ASSERT_TRUE(RunUntil(s.done)) << s.name;
    QCoreApplication::processEvents();  // layout requests posted by the resize
    EXPECT_EQ(w.ProductLabel->text(), "Marrowby Fonts") << s.name;
    EXPECT_TRUE(w.ProductLabel->isVisible()) << s.name;
    EXPECT_GE(w.ProductLabel->width(), w.ProductLabel->sizeHint().width()) << s.name;
  }
}

TEST_F(WindowLayoutTest, SplitterStopsWhereTheWizardIsWhole) {
  // A caption wider than the design's 75-pixel button as well.
  std::string xml = CatalogueXml({kTally, kFonts});
  xml.replace(xml.find("Get it"), 6, "Fetch this file now");
  auto& w = Open(xml);
  w.run_downloads = true;
  QTest::mouseClick(w.NextBtn, Qt::LeftButton);
  QTest::mouseClick(w.DownloadBtn, Qt::LeftButton);  // gopher: the row refuses, no network
  ASSERT_TRUE(w.DLScrollBox->isVisible());
  ASSERT_TRUE(RunUntil([&] { return w.Splitter1->handle(1)->isVisible(); }));

  // Drag the splitter as far left as it goes, then shrink the window.
  QSplitterHandle* handle = w.Splitter1->handle(1);
  const QPoint grip = handle->rect().center();
  QTest::mousePress(handle, Qt::LeftButton, {}, grip);
  QTest::mouseMove(handle, grip - QPoint(1000, 0));
  QTest::mouseRelease(handle, Qt::LeftButton, {}, grip - QPoint(1000, 0));
  EXPECT_LT(w.Panel1->width(), 400);  // it did move
  ExpectButtonsWhole(w.DLPanel, "download page, splitter left");
  w.resize(1, 1);
  ASSERT_TRUE(RunUntil([&] { return w.size() == w.minimumSize(); }));
  ExpectButtonsWhole(w.DLPanel, "download page, smallest window");
  QTest::mouseClick(w.BackBtn, Qt::LeftButton);
  ExpectButtonsWhole(w.ProductPanel, "product page, smallest window");
  EXPECT_EQ(w.DownloadBtn->text(), "Fetch this file now");
}

TEST_F(WindowLayoutTest, RowTextsEndLeftOfTheLinksAndAreWholeInTheirTooltips) {
  const std::string reason(300, 'r');
  testing::ScriptedServer server([&](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.0 503 " + reason + "\r\nContent-Length: 0\r\n\r\n");
  });
  QWidget owner;
  owner.resize(420, 200);
  TDLScrollBox list(&owner);
  list.resize(420, 200);
  owner.show();
  const std::string url = "http://127.0.0.1:" + server.PortText() + "/" + std::string(200, 'u') + ".bin";
  const std::string file = dir.File(std::string(120, 'f') + ".bin");
  TDLVisualPanel* row = list.AddDownload(url, file);
  row->SetCancelCaption("Cancel");
  row->StartDownload();
  ASSERT_TRUE(RunUntil([&] { return !row->DownloadInProgress(); }));
  const std::string status = row->Job().Status();
  ASSERT_EQ(status, "Download failed: 503 " + reason);

  struct Text {
    QLabel* label;
    std::string whole;
  } texts[] = {{row->URLLabel, url}, {row->FileNameLabel, file}, {row->StatusLabel, status}};
  const int links = std::min(row->ActionLink->x(), row->PauseLink->x());
  for (const Text& t : texts) {
    EXPECT_LT(t.label->geometry().right(), links) << t.whole;
    EXPECT_TRUE(t.label->text().contains(QChar(0x2026))) << t.label->text().toStdString();
    EXPECT_EQ(t.label->toolTip().toStdString(), t.whole);
  }
  // Wide enough, the texts are whole again.
  list.resize(4000, 200);
  for (const Text& t : texts) EXPECT_EQ(t.label->text().toStdString(), t.whole);
}

TEST_F(WindowLayoutTest, LongTextsAreCutWithAnEllipsisAndWholeInTheirTooltips) {
  const std::string name = "Marrowby Fonts " + std::string(150, 'w');
  const std::string link = "Fonts for every page " + std::string(150, 'w');
  const QString folder = QString::fromStdString(dir.File(std::string(150, 'd'))) + "/";
  desktop.download_folder = folder;
  const TestProduct fonts{name, "Letters.", "", "", {{link, "gopher://127.0.0.1/fonts.zip"}}};
  auto& w = Open(CatalogueXml({kTally, fonts}));
  // The window's own font, then one twice as big (what a 200 % scale asks of it).
  for (const int scale : {1, 2}) {
    SCOPED_TRACE(scale);
    QFont font = w.font();
    font.setPixelSize(11 * scale);
    w.setFont(font);
    QCoreApplication::processEvents();
    QTest::mouseClick(w.BackBtn, Qt::LeftButton);
    EXPECT_EQ(w.ListBox1->item(0)->toolTip(), "");
    EXPECT_EQ(w.ListBox1->item(1)->toolTip().toStdString(), name);
    ClickRow(1);
    QTest::mouseClick(w.NextBtn, Qt::LeftButton);
    ASSERT_TRUE(w.DownloadPageInFront());

    EXPECT_TRUE(w.ProductLabel->text().endsWith(QChar(0x2026))) << w.ProductLabel->text().toStdString();
    EXPECT_EQ(w.ProductLabel->toolTip().toStdString(), name);
    EXPECT_TRUE(w.DLPanel->rect().contains(w.ProductLabel->geometry()));
    EXPECT_LE(w.ProductLabel->fontMetrics().horizontalAdvance(w.ProductLabel->text()), w.ProductLabel->width());

    EXPECT_TRUE(w.URLCBx->ShownText().endsWith(QChar(0x2026))) << w.URLCBx->ShownText().toStdString();
    EXPECT_EQ(w.URLCBx->toolTip().toStdString(), link);
    EXPECT_EQ(w.URLCBx->itemData(0, Qt::ToolTipRole).toString().toStdString(), link);

    // The destination keeps its file name and loses the end of its folders.
    const QString shown = w.SaveToFolderEdit->ShownText();
    EXPECT_TRUE(shown.endsWith(QString::fromUtf8("\u2026/fonts.zip"))) << shown.toStdString();
    EXPECT_TRUE(shown.startsWith(folder.left(10))) << shown.toStdString();
    EXPECT_LE(w.SaveToFolderEdit->fontMetrics().horizontalAdvance(shown), w.SaveToFolderEdit->width());
    EXPECT_EQ(w.SaveToFolderEdit->text(), folder + "fonts.zip");
    EXPECT_EQ(w.SaveToFolderEdit->toolTip(), folder + "fonts.zip");
  }
  // Wide enough, nothing is cut and there is no tooltip.
  w.resize(5000, w.height());
  ASSERT_TRUE(RunUntil([&] { return w.width() == 5000; }));
  QCoreApplication::processEvents();
  EXPECT_EQ(w.ProductLabel->text().toStdString(), name);
  EXPECT_EQ(w.ProductLabel->toolTip(), "");
  EXPECT_EQ(w.URLCBx->ShownText().toStdString(), link);
  EXPECT_EQ(w.URLCBx->toolTip(), "");
  EXPECT_EQ(w.SaveToFolderEdit->ShownText(), folder + "fonts.zip");
  EXPECT_EQ(w.SaveToFolderEdit->toolTip(), "");
}

// The window takes the desktop's font; with one half as large again as the
// design's, the pages and the rows grow with it and cut no text.
TEST_F(WindowLayoutTest, LargerDesktopFontCutsNoText) {
  struct RestoreFont {
    QFont font = QApplication::font();
    ~RestoreFont() { QApplication::setFont(font); }
  } design;
  QFont large = design.font;
  large.setPointSizeF(design.font.pointSizeF() * 1.5);
  QApplication::setFont(large);
  auto& w = Open(CatalogueXml({kTally, kFonts}));
  w.run_downloads = true;
  EXPECT_EQ(w.font(), large);
  const int line = QFontMetrics(large).height();
  auto expect_whole = [&](QWidget* page, const char* where) {
    SCOPED_TRACE(where);
    ExpectButtonsWhole(page, where);
    for (QWidget* c : page->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      const bool text = qobject_cast<QLabel*>(c) || qobject_cast<QAbstractButton*>(c) ||
                        qobject_cast<QComboBox*>(c) || qobject_cast<QLineEdit*>(c);
      if (c->isHidden() || !text) continue;
      SCOPED_TRACE(c->metaObject()->className());
      EXPECT_TRUE(page->rect().contains(c->geometry()));
      EXPECT_GE(c->height(), qobject_cast<QLabel*>(c) ? line : c->minimumSizeHint().height());
      if (auto* label = qobject_cast<QLabel*>(c); label && !label->text().isEmpty()) {
        EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text())) << label->text().toStdString();
      }
    }
  };
  expect_whole(w.ProductPanel, "product page");
  ClickRow(1);
  QTest::mouseClick(w.NextBtn, Qt::LeftButton);
  expect_whole(w.DLPanel, "download page");
  QTest::mouseClick(w.DownloadBtn, Qt::LeftButton);  // gopher: the row refuses, no network
  ASSERT_EQ(w.DLScrollBox->Rows().size(), 1u);
  TDLVisualPanel* row = w.DLScrollBox->Rows()[0];
  EXPECT_GT(row->height(), TDLVisualPanel::kRowHeight);
  const QLabel* texts[] = {row->URLLabel, row->FileNameLabel, row->StatusLabel, row->ActionLink};
  for (const QLabel* t : texts) {
    EXPECT_TRUE(row->rect().contains(t->geometry())) << t->text().toStdString();
    EXPECT_GE(t->height(), line) << t->text().toStdString();
  }
  EXPECT_LE(row->URLLabel->geometry().bottom(), row->FileNameLabel->y());
  EXPECT_LE(row->FileNameLabel->geometry().bottom(), row->StatusLabel->y());
}

// A theme set while the window is open reaches the description memos, which
// show their text on the window's face.
TEST_F(WindowLayoutTest, ThemeChangeReachesTheMemos) {
  auto& w = Open(CatalogueXml({kTally, kFonts}));
  for (const QPalette& theme : {testing::DarkPalette(), testing::LightPalette()}) {
    w.setPalette(theme);
    for (QPlainTextEdit* memo : {w.MainDescriptionMemo, w.ProductDescriptionMemo}) {
      EXPECT_EQ(memo->palette().color(QPalette::Base), theme.color(QPalette::Window));
      EXPECT_EQ(memo->palette().color(QPalette::Text), theme.color(QPalette::Text));
    }
  }
}

// A screen shorter than the window (640 x 400 at 200 %; here, on any screen, a
// font 200 pixels too tall): the window, its status bar and the list stay on
// the screen, and the control that takes the focus is scrolled into view.
TEST_F(WindowLayoutTest, WindowFitsAShortScreen) {
  struct RestoreFont {
    QFont font = QApplication::font();
    ~RestoreFont() { QApplication::setFont(font); }
  } design;
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  QFont large = design.font;
  for (int px = 11; QFontMetrics(large).height() * 400 / 13 - 34 < area.height() + 200; ++px) large.setPixelSize(px);
  QApplication::setFont(large);
  auto& w = Open(CatalogueXml({kTally, kFonts}));
  w.run_downloads = true;
  auto whole_on_screen = [&](QWidget* c) {
    return c->isVisible() && area.contains(QRect(c->mapToGlobal(QPoint(0, 0)), c->size())) &&
           c->visibleRegion().boundingRect() == c->rect();
  };
  auto tab = [](int n) { while (n-- > 0) QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab); };
  struct Step { const char* name; std::function<void()> act; QWidget* focused; } steps[] = {
      {"Tab to Next", [&] { tab(1); }, w.NextBtn},
      {"Next, Tab to Back", [&] { QTest::keyClick(w.NextBtn, Qt::Key_Space); tab(3); }, w.BackBtn},
      {"Download", [&] { QTest::keyClick(w.DownloadBtn, Qt::Key_Space); }, w.BackBtn},
      {"Back", [&] { QTest::keyClick(w.BackBtn, Qt::Key_Space); }, w.ListBox1},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    s.act();
    ASSERT_TRUE(RunUntil([&] { return s.focused->hasFocus(); }));
    QCoreApplication::processEvents();
    EXPECT_TRUE(area.contains(w.frameGeometry()));
    EXPECT_TRUE(whole_on_screen(w.StatusBar));
    EXPECT_TRUE(whole_on_screen(s.focused));
  }
  EXPECT_TRUE(whole_on_screen(w.DLScrollBox));
}

TEST_F(WindowLayoutTest, OpenedListStaysOnTheScreenAndItsRunningRowIsWhole) {
  // A download that trickles until the test ends (or for a minute at most).
  testing::ScriptedServer server([](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    bool open = c.Send("HTTP/1.1 200 OK\r\nContent-Length: 900000000\r\n\r\n");
    for (int i = 0; open && i < 600; ++i) {
      open = c.Send(std::string(30000, 'x'));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  desktop.download_folder = QString::fromStdString(dir.File(""));
  const TestProduct big{"Big", "Large.", "", "", {{"Big", "http://127.0.0.1:" + server.PortText() + "/big.bin"}}};
  auto& w = Open(CatalogueXml({kTally, big}));
  w.run_downloads = true;
  // At the right edge of the screen, with no room for the list to its right.
  const QRect area = w.screen()->availableGeometry();
  w.move(area.right() + 1 - w.frameGeometry().width(), area.top());
  ASSERT_TRUE(RunUntil([&] { return w.frameGeometry().right() == area.right(); }));
  ClickRow(1);
  QTest::mouseClick(w.NextBtn, Qt::LeftButton);
  QTest::mouseClick(w.DownloadBtn, Qt::LeftButton);
  ASSERT_EQ(w.DLScrollBox->Rows().size(), 1u);
  TDLVisualPanel* row = w.DLScrollBox->Rows()[0];
  ASSERT_TRUE(RunUntil([&] { return row->Job().Status().find("remaining") != std::string::npos; }));
  QCoreApplication::processEvents();

  EXPECT_TRUE(area.contains(w.frameGeometry())) << w.frameGeometry().x() << "+" << w.frameGeometry().width();
  EXPECT_GE(w.DLScrollBox->width(), 300);  // the wizard gave way, not the list
  for (QLabel* link : {static_cast<QLabel*>(row->PauseLink), static_cast<QLabel*>(row->ActionLink)}) {
    SCOPED_TRACE(link->text().toStdString());
    EXPECT_TRUE(link->isVisible());
    const QRect in_list(link->mapTo(w.DLScrollBox->viewport(), QPoint(0, 0)), link->size());
    EXPECT_TRUE(w.DLScrollBox->viewport()->rect().contains(in_list));
    EXPECT_TRUE(area.contains(QRect(link->mapToGlobal(QPoint(0, 0)), link->size())));
  }

  // The progress (sizes, rate, time left) is whole, left of the links, in the
  // row and clear of the other texts.
  const QString status = QString::fromStdString(row->Job().Status());
  EXPECT_FALSE(row->StatusLabel->text().contains(QChar(0x2026))) << row->StatusLabel->text().toStdString();
  EXPECT_EQ(QString(row->StatusLabel->text()).replace('\n', ' '), status);
  // Sizes above, rate and time left below.
  EXPECT_TRUE(row->StatusLabel->text().contains("B \n(")) << row->StatusLabel->text().toStdString();
  const int links = std::min(row->ActionLink->x(), row->PauseLink->x());
  const QLabel* texts[] = {row->URLLabel, row->FileNameLabel, row->StatusLabel};
  for (const QLabel* t : texts) {
    EXPECT_LT(t->geometry().right(), links) << t->text().toStdString();
    EXPECT_TRUE(row->rect().contains(t->geometry())) << t->text().toStdString();
  }
  EXPECT_LE(row->URLLabel->geometry().bottom(), row->FileNameLabel->y());
  EXPECT_LE(row->FileNameLabel->geometry().bottom(), row->StatusLabel->y());
}

}  // namespace
}  // namespace quillon
