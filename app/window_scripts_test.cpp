// A UTF-8 catalogue in the window: texts in Greek, Cyrillic and Japanese in
// every control that shows catalogue text, and a catalogue whose bytes are
// not the UTF-8 it declares.
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>

#include "rows/dl_scroll_box.h"
#include "rows/dl_visual_panel.h"
#include "tests/support/event_wait.h"
#include "tests/support/loopback.h"
#include "tests/support/test_window.h"

namespace quillon {
namespace {

using testing::ProductXml;
using testing::TestProduct;

// Catalogue texts, as UTF-8 bytes and as the widgets show them.
#define EL_EDITOR "\u0395\u03C0\u03B5\u03BE\u03B5\u03C1\u03B3\u03B1\u03C3\u03C4\u03AE\u03C2"
#define EL_GET "\u039B\u03AE\u03C8\u03B7"
#define EL_CANCEL "\u0391\u03BA\u03CD\u03C1\u03C9\u03C3\u03B7"
#define RU_EDITOR "\u0420\u0435\u0434\u0430\u043A\u0442\u043E\u0440"
#define RU_ABOUT "\u041E \u043F\u0440\u043E\u0433\u0440\u0430\u043C\u043C\u0435"
#define JA_EDITOR "\u30A8\u30C7\u30A3\u30BF"
#define JA_WEB "\u30A6\u30A7\u30D6"

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

std::string Utf8Interface(const std::string& extra = {}) {
  return "<Interface_Information><GroupCount>3</GroupCount>"
         "<Window_Caption>\u30C0\u30A6\u30F3\u30ED\u30FC\u30C9</Window_Caption>"
         "<Top_Paragraph>\u0414\u043E\u0431\u0440\u043E &amp; \u03B3\u03B5\u03B9\u03B1</Top_Paragraph>"
         "<Next_Button_Caption>\u0395\u03C0\u03CC\u03BC\u03B5\u03BD\u03BF &gt;&gt;</Next_Button_Caption>"
         "<Previous_Button_Caption>&lt;&lt; \u041D\u0430\u0437\u0430\u0434</Previous_Button_Caption>"
         "<Product_Prompt>\u88FD\u54C1:</Product_Prompt>"
         "<Folder_to_save_to_Prompt>\u0391\u03C0\u03BF\u03B8\u03AE\u03BA\u03B5\u03C5\u03C3\u03B7:</Folder_to_save_to_Prompt>"
         "<Download_Button_Caption>" EL_GET "</Download_Button_Caption>"
         "<Cancel_Button_Caption>" EL_CANCEL "</Cancel_Button_Caption>"
         "<Open_Button_Caption>\u958B\u304F</Open_Button_Caption>"
         "<Splash_Logo></Splash_Logo>" + extra + "</Interface_Information>";
}

std::string Utf8Catalogue(const std::vector<TestProduct>& products, const std::string& interface_xml) {
  std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Root>" + interface_xml;
  for (const auto& p : products) x += ProductXml(p);
  return x + "</Root>";
}

class WindowScriptsTest : public testing::WindowTest {};

TEST_F(WindowScriptsTest, Utf8CatalogueShowsEveryScriptInTheControls) {
  desktop.download_folder = QString::fromStdString(dir.File("dest"));
  testing::LoopbackListener silent;  // takes the connection, never answers
  const TestProduct el{EL_EDITOR, "\u039C\u03B9\u03BA\u03C1\u03CC.", "", testing::JpegBase64(20, 10),
                       {{EL_GET " HTTP", "http://127.0.0.1:" + silent.PortText() + "/el.zip"}}};
  const TestProduct ru{RU_EDITOR, RU_ABOUT, "", "", {{RU_EDITOR, "http://127.0.0.1/ru.zip"}}};
  const TestProduct ja{JA_EDITOR, "", "", "", {{JA_WEB, "\u30DA\u30FC\u30B8", "Send to browser"}}};
  auto& w = Open(Utf8Catalogue({el, ru, ja}, Utf8Interface()));
  ASSERT_TRUE(desktop.message_boxes.empty()) << desktop.message_boxes[0].text.toStdString();

  EXPECT_EQ(w.windowTitle(), Q("\u30C0\u30A6\u30F3\u30ED\u30FC\u30C9"));
  EXPECT_EQ(w.MainDescriptionMemo->toPlainText(), Q("\u0414\u043E\u0431\u0440\u043E & \u03B3\u03B5\u03B9\u03B1"));
  EXPECT_EQ(w.ProductPromptLabel->text(), Q("\u88FD\u54C1:"));
  EXPECT_EQ(w.NextBtn->text(), Q("\u0395\u03C0\u03CC\u03BC\u03B5\u03BD\u03BF >>"));
  EXPECT_EQ(w.BackBtn->text(), Q("<< \u041D\u0430\u0437\u0430\u0434"));
  ASSERT_EQ(w.ListBox1->count(), 3);
  EXPECT_EQ(w.ListBox1->item(0)->text(), Q(EL_EDITOR));
  EXPECT_EQ(w.ListBox1->item(1)->text(), Q(RU_EDITOR));
  EXPECT_EQ(w.ListBox1->item(2)->text(), Q(JA_EDITOR));
  EXPECT_EQ(w.ProductDescriptionMemo->toPlainText(), Q("\u039C\u03B9\u03BA\u03C1\u03CC."));
  QTest::mouseClick(w.ScreenshotBtn, Qt::LeftButton);
  EXPECT_EQ(desktop.modal_captions, std::vector<QString>{Q("Screenshot: " EL_EDITOR)});

  ClickRow(1);
  EXPECT_EQ(w.ProductDescriptionMemo->toPlainText(), Q(RU_ABOUT));
  ClickRow(2);
  QTest::mouseClick(w.NextBtn, Qt::LeftButton);
  EXPECT_EQ(w.ProductLabel->text(), Q(JA_EDITOR));
  EXPECT_EQ(w.URLCBx->currentText(), Q(JA_WEB));
  EXPECT_EQ(w.DownloadBtn->text(), Q("\u958B\u304F"));
  // A message box quotes the link as written.
  QTest::mouseClick(w.DownloadBtn, Qt::LeftButton);
  ASSERT_EQ(desktop.message_boxes.size(), 1u);
  EXPECT_TRUE(desktop.message_boxes[0].text.endsWith(Q("\n\u30DA\u30FC\u30B8")))
      << desktop.message_boxes[0].text.toStdString();

  // A download row: its URL, and its cancel caption while it waits.
  QTest::mouseClick(w.BackBtn, Qt::LeftButton);
  ClickRow(0);
  QTest::mouseClick(w.NextBtn, Qt::LeftButton);
  EXPECT_EQ(w.FolderLabel->text(), Q("\u0391\u03C0\u03BF\u03B8\u03AE\u03BA\u03B5\u03C5\u03C3\u03B7:"));
  EXPECT_EQ(w.DownloadBtn->text(), Q(EL_GET));
  w.run_downloads = true;
  QTest::mouseClick(w.DownloadBtn, Qt::LeftButton);
  ASSERT_EQ(w.DLScrollBox->Rows().size(), 1u);
  TDLVisualPanel* row = w.DLScrollBox->Rows()[0];
  EXPECT_TRUE(testing::RunUntil([&] { return row->ActionLink->text() == Q(EL_CANCEL); }))
      << row->ActionLink->text().toStdString();
  EXPECT_EQ(row->CancelCaption(), EL_CANCEL);
  EXPECT_EQ(row->DownloadCaption(), EL_GET);
}

TEST_F(WindowScriptsTest, ErrorReportsQuoteUtf8Texts) {
  Open(Utf8Catalogue({{RU_EDITOR, "", "", "", {{"a", "http://h/a"}}}},
                     Utf8Interface("<Prompt_after_date>\u03B4\u03AD\u03BA\u03B1</Prompt_after_date>")));
  ASSERT_EQ(desktop.message_boxes.size(), 1u);
  EXPECT_EQ(desktop.message_boxes[0].text, Q("'\u03B4\u03AD\u03BA\u03B1' is not a valid integer value"));
}

TEST_F(WindowScriptsTest, MalformedUtf8IsRefusedAndNothingOfItIsShown) {
  // "Caf" and a windows-1252 e-acute in a catalogue that declares UTF-8.
  auto& w = Open(Utf8Catalogue({{EL_EDITOR, "", "", "", {{"a", "http://h/a"}}}, {"Caf\xE9", "", "", "", {}}},
                               Utf8Interface()));
  ASSERT_EQ(desktop.message_boxes.size(), 1u);
  EXPECT_EQ(desktop.message_boxes[0].text,
            "The catalogue is declared as UTF-8, but the text of /Root/Program_Group/Program_Name is not UTF-8 text");
  EXPECT_EQ(w.ListBox1->count(), 0);
  EXPECT_EQ(w.windowTitle(), "Downloader");
  EXPECT_EQ(w.NextBtn->text(), ".Next >>");
}

}  // namespace
}  // namespace quillon
