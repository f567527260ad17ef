// The window's layout when it is resized and split: the product name stays,
// the splitter stops where the wizard is whole, and a row's texts end left of
// its links.
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QSplitterHandle>
#include <QTest>
#include <gtest/gtest.h>

#include "download/dl_scroll_box.h"
#include "download/dl_visual_panel.h"
#include "tests/support/event_wait.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_window.h"

namespace quillon {
namespace {

using testing::CatalogueXml;
using testing::InterfaceXml;
using testing::RunUntil;
using testing::TestProduct;

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

}  // namespace
}  // namespace quillon
