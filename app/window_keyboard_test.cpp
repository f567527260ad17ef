// The window under the keyboard, with real key events: Tab stops of each
// page, Space and Enter on every stop, Enter and Escape, and catalogue
// captions that must not become mnemonics.
#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>

#include "rows/dl_scroll_box.h"
#include "tests/support/test_palettes.h"
#include "tests/support/test_window.h"

namespace quillon {
namespace {

using testing::CatalogueXml;
using testing::InterfaceXml;
using testing::TestProduct;

// With a screenshot (the picture is made once the application runs).
TestProduct Notes() {
  return {"Notes", "Takes notes.", "", testing::JpegBase64(40, 30),
          {{"Notes (HTTP)", "http://127.0.0.1/files/notes.tar.gz"},
           {"Web page", "http://127.0.0.1/notes/", "Send to browser"}}};
}
const TestProduct kTally{"Tally", "Counts.", "", "", {{"Tally (HTTP)", "http://127.0.0.1/files/tally-5.0.zip"}}};
const TestProduct kFonts{"Fonts", "Letters.", "", "", {{"Fonts (FTP)", "ftp://127.0.0.1/pub/fonts.zip"}}};

class WindowKeyboardTest : public testing::WindowTest {
 protected:
  QWidget* Focus() const { return QApplication::focusWidget(); }
  void Key(int key, Qt::KeyboardModifiers mods = {}) {
    QTest::keyClick(Focus() ? Focus() : window.get(), static_cast<Qt::Key>(key), mods);
  }
  // The focus stops met by pressing `key` until the focus comes back.
  std::vector<QWidget*> Stops(Qt::Key key, Qt::KeyboardModifiers mods = {}) {
    std::vector<QWidget*> stops{Focus()};
    for (int i = 0; i < 20; ++i) {
      Key(key, mods);
      if (Focus() == stops.front()) break;
      stops.push_back(Focus());
    }
    return stops;
  }
};

TEST_F(WindowKeyboardTest, TabAndShiftTabVisitOnlyTheShownPageInReadingOrder) {
  auto& w = Open(CatalogueXml({Notes(), kTally}));
  struct Page {
    QWidget* page;
    std::vector<QWidget*> order;
  };
  const Page pages[] = {{w.ProductPanel, {w.ListBox1, w.ScreenshotBtn, w.NextBtn}},
                        {w.DLPanel, {w.URLCBx, w.SaveToFolderEdit, w.FolderBtn, w.BackBtn, w.DownloadBtn}}};
  for (const Page& p : pages) {
    if (p.page == w.DLPanel) Key(Qt::Key_Return);  // Next
    ASSERT_TRUE(p.page->isVisible());
    EXPECT_EQ(Focus(), p.order.front());  // the page's first control has the focus
    EXPECT_EQ(Stops(Qt::Key_Tab), p.order);
    std::vector<QWidget*> back = Stops(Qt::Key_Backtab, Qt::ShiftModifier);
    std::reverse(back.begin() + 1, back.end());
    EXPECT_EQ(back, p.order);
  }
}

// Space and Enter on each stop act on that stop's own control, which is on
// the shown page: nothing of the covered page is reachable.
TEST_F(WindowKeyboardTest, SpaceAndEnterOnEveryStopActOnTheShownControl) {
  enum Effect { kNothing, kScreenshot, kToDownloadPage, kSaveDialog, kToProductPage, kDownload };
  struct Case {
    int stop;  // Tabs from the page's first control
    bool download_page;
    Qt::Key key;
    Effect effect;
  } cases[] = {
      // (Space on the link list opens its own drop-down, which is left out.)
      {0, false, Qt::Key_Space, kNothing},       {0, false, Qt::Key_Return, kToDownloadPage},
      {1, false, Qt::Key_Space, kScreenshot},    {1, false, Qt::Key_Return, kToDownloadPage},
      {2, false, Qt::Key_Space, kToDownloadPage}, {2, false, Qt::Key_Return, kToDownloadPage},
      {0, true, Qt::Key_Return, kDownload},
      {1, true, Qt::Key_Space, kNothing},        {1, true, Qt::Key_Return, kDownload},  // the destination
      {2, true, Qt::Key_Space, kSaveDialog},     {2, true, Qt::Key_Return, kSaveDialog},
      {3, true, Qt::Key_Space, kToProductPage},  {3, true, Qt::Key_Return, kToProductPage},
      {4, true, Qt::Key_Space, kDownload},       {4, true, Qt::Key_Return, kDownload},
  };
  for (const Case& c : cases) {
    auto& w = Open(CatalogueXml({Notes(), kTally}));
    desktop.save_dialogs.clear();
    desktop.modal_captions.clear();
    if (c.download_page) Key(Qt::Key_Return);
    for (int i = 0; i < c.stop; ++i) Key(Qt::Key_Tab);
    const std::string where = std::to_string(c.stop) + (c.download_page ? " download page" : " product page");
    Key(c.key);
    Effect effect = kNothing;
    if (!desktop.modal_captions.empty()) effect = kScreenshot;
    if (!desktop.save_dialogs.empty()) effect = kSaveDialog;
    if (!w.downloads.empty()) effect = kDownload;
    if (effect == kNothing && w.DownloadPageInFront() != c.download_page)
      effect = c.download_page ? kToProductPage : kToDownloadPage;
    EXPECT_EQ(effect, c.effect) << where << " key " << c.key;
    for (const auto& d : w.downloads) {
      EXPECT_EQ(d.url, "http://127.0.0.1/files/notes.tar.gz") << where;
      EXPECT_EQ(d.file, "/home/user/Desktop/notes.tar.gz") << where;
    }
    w.close();
  }
}

// The destination is read-only, not disabled: a Tab stop whose whole path the
// user copies, drawn at the palette's normal text contrast.
TEST_F(WindowKeyboardTest, TheDestinationIsATabStopThatReadsAndCopies) {
  for (const QPalette& theme : {testing::LightPalette(), testing::DarkPalette()}) {
    auto& w = Open(CatalogueXml({Notes(), kTally}));
    w.setPalette(theme);
    Key(Qt::Key_Return);  // Next
    Key(Qt::Key_Tab);
    ASSERT_EQ(Focus(), w.SaveToFolderEdit);
    QGuiApplication::clipboard()->clear();
    Key(Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "/home/user/Desktop/notes.tar.gz");
    Key(Qt::Key_Tab);  // unfocused, as it is mostly seen
    const QImage image = w.SaveToFolderEdit->grab().toImage();
    const QColor ground = image.pixelColor(image.width() - 6, image.height() / 2);
    double best = 1;
    for (int y = 3; y < image.height() - 3; ++y)
      for (int x = 3; x < image.width() - 3; ++x) best = std::max(best, testing::Contrast(image.pixelColor(x, y), ground));
    EXPECT_GE(best, 4.5) << ground.name().toStdString();
    w.close();
  }
}

// Screen readers meet the window as a frame, the link list labelled by the
// product's name (as written: no mnemonic), and the screenshot button by the
// name its tooltip shows.
TEST_F(WindowKeyboardTest, ScreenReadersMeetAFrameAndALinkListLabelledByTheProduct) {
  TestProduct tools = kTally;
  tools.name = "Tools &amp; Toys";
  auto& w = Open(CatalogueXml({Notes(), tools}));
  EXPECT_EQ(QAccessible::queryAccessibleInterface(&w)->role(), QAccessible::Window);
  EXPECT_FALSE(w.ScreenshotBtn->toolTip().isEmpty());
  EXPECT_EQ(w.ScreenshotBtn->toolTip(), w.ScreenshotBtn->accessibleName());
  ClickRow(1);
  Key(Qt::Key_Return);  // Next
  const auto labels = QAccessible::queryAccessibleInterface(w.URLCBx)->relations(QAccessible::Label);
  ASSERT_EQ(labels.size(), 1);
  EXPECT_EQ(labels[0].first->object(), w.ProductLabel);
  EXPECT_EQ(labels[0].first->text(QAccessible::Name), "Tools & Toys");
  Key(Qt::Key_Tab);
  Key(Qt::Key_T, Qt::AltModifier);
  EXPECT_EQ(Focus(), w.SaveToFolderEdit);
}

TEST_F(WindowKeyboardTest, DoubleClickThenDownKeepsTheShownProductAndItsLink) {
  auto& w = Open(CatalogueXml({Notes(), kTally, kFonts}));
  QListWidget* list = w.ListBox1;
  ClickRow(1);  // the double-click's first click
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(1)).center());
  ASSERT_TRUE(w.DownloadPageInFront());
  EXPECT_TRUE(w.ProductPanel->isHidden());
  EXPECT_NE(Focus(), list);
  Key(Qt::Key_Down);  // reaches the link list, not the hidden products
  Key(Qt::Key_Return);
  EXPECT_EQ(list->currentRow(), 1);
  EXPECT_EQ(w.ProductLabel->text(), "Tally");
  ASSERT_EQ(w.downloads.size(), 1u);
  EXPECT_EQ(w.downloads[0].url, "http://127.0.0.1/files/tally-5.0.zip");
  EXPECT_EQ(w.downloads[0].file, "/home/user/Desktop/tally-5.0.zip");
}

TEST_F(WindowKeyboardTest, EnterAndEscapeOnBothPages) {
  TestProduct no_links{"Empty", "", "", "", {}};
  struct Case {
    std::vector<TestProduct> products;
    int select;                 // product row chosen with the mouse first
    std::vector<int> keys;      // pressed one after the other
    bool download_page;         // afterwards
    size_t downloads, opened;
  } cases[] = {
      {{Notes(), kTally}, 0, {Qt::Key_Escape}, false, 0, 0},          // nothing to go back to
      {{Notes(), kTally}, 1, {Qt::Key_Enter}, true, 0, 0},            // keypad Enter: Next
      {{no_links, kTally}, 0, {Qt::Key_Return}, false, 0, 0},        // Next is disabled
      {{Notes(), kTally}, 0, {Qt::Key_Return, Qt::Key_Escape}, false, 0, 0},
      {{Notes(), kTally}, 0, {Qt::Key_Return, Qt::Key_Return}, true, 1, 0},
      {{Notes(), kTally}, 0, {Qt::Key_Return, Qt::Key_Down, Qt::Key_Return}, true, 0, 1},  // browser link
      {{kTally}, 0, {Qt::Key_Escape, Qt::Key_Return}, true, 1, 0},   // one product: no Back
  };
  for (const Case& c : cases) {
    auto& w = Open(CatalogueXml(c.products));
    desktop.opened.clear();
    if (c.products.size() > 1) ClickRow(c.select);
    for (int key : c.keys) Key(key);
    EXPECT_EQ(w.DownloadPageInFront(), c.download_page) << c.products[c.select].name << " " << c.keys.size();
    EXPECT_EQ(w.downloads.size(), c.downloads) << c.keys.size();
    EXPECT_EQ(desktop.opened.size(), c.opened) << c.keys.size();
    w.close();
  }
}

TEST_F(WindowKeyboardTest, CatalogueAmpersandsAreShownAndAreNoMnemonics) {
  const std::string captions =
      "<Window_Caption>T</Window_Caption><Next_Button_Caption>Ne&amp;xt</Next_Button_Caption>"
      "<Previous_Button_Caption>&amp;Back</Previous_Button_Caption>"
      "<Download_Button_Caption>Save &amp; run</Download_Button_Caption>"
      "<Product_Prompt>Tools &amp; toys</Product_Prompt>";
  auto& w = Open(CatalogueXml({Notes(), kTally}, "<Interface_Information>" + captions + "</Interface_Information>"));
  EXPECT_EQ(w.ProductPromptLabel->text(), "Tools & toys");
  EXPECT_EQ(w.NextBtn->text(), "Ne&&xt");  // drawn as "Ne&xt"
  Key(Qt::Key_X, Qt::AltModifier);
  EXPECT_FALSE(w.DownloadPageInFront());
  Key(Qt::Key_Return);
  ASSERT_TRUE(w.DownloadPageInFront());
  EXPECT_EQ(w.DownloadBtn->text(), "Save && run");
  Key(Qt::Key_B, Qt::AltModifier);
  EXPECT_TRUE(w.DownloadPageInFront());
}


// Once a download started, its list is one more Tab stop after the shown
// page's controls, on either page and with the list inside the download page
// (one product). Every stop shows and has a name for screen readers.
TEST_F(WindowKeyboardTest, TheDownloadListIsOneTabStopAfterThePage) {
  struct Case {
    std::vector<TestProduct> products;
    bool back;  // Escape to the product page after the download started
  } cases[] = {{{Notes(), kTally}, false}, {{Notes(), kTally}, true}, {{kTally}, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.products.size() * 10 + c.back);
    desktop.download_folder = QString::fromStdString(dir.path());
    auto& w = Open(CatalogueXml(c.products));
    w.run_downloads = true;
    if (c.products.size() > 1) Key(Qt::Key_Return);  // Next
    Key(Qt::Key_Return);                              // Download
    ASSERT_EQ(w.downloads.size(), 1u);
    ASSERT_TRUE(w.DLScrollBox->isVisible());
    EXPECT_EQ(w.DLScrollBox->SelectedRow(), w.DLScrollBox->Rows().back());  // the new row, before any Tab
    std::vector<QWidget*> order{w.URLCBx, w.SaveToFolderEdit, w.FolderBtn, w.BackBtn, w.DownloadBtn};
    if (c.products.size() == 1) order.erase(order.begin() + 3);  // no Back
    if (c.back) {
      Key(Qt::Key_Escape);
      order = {w.ListBox1, w.ScreenshotBtn, w.NextBtn};
    }
    order.push_back(w.DLScrollBox);
    w.URLCBx->isVisible() ? w.URLCBx->setFocus() : w.ListBox1->setFocus();
    const std::vector<QWidget*> stops = Stops(Qt::Key_Tab);
    EXPECT_EQ(stops, order);
    for (QWidget* stop : stops) {
      EXPECT_TRUE(stop->isVisible()) << stop->metaObject()->className();
      EXPECT_FALSE(QAccessible::queryAccessibleInterface(stop)->text(QAccessible::Name).isEmpty())
          << stop->metaObject()->className();
    }
    EXPECT_NE(w.DLScrollBox->SelectedRow(), nullptr);  // Tab selected the row
    w.DLScrollBox->setFocus();  // Escape there leaves the page and the focus as they are
    Key(Qt::Key_Escape);
    EXPECT_EQ(Focus(), w.DLScrollBox);
    EXPECT_EQ(w.DownloadPageInFront(), !c.back);
    w.close();
  }
}

}  // namespace
}  // namespace quillon
