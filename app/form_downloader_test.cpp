#include "app/form_downloader.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>

#include "app/my_status.h"
#include "base/sha256_hasher.h"
#include "rows/dl_scroll_box.h"
#include "rows/dl_visual_panel.h"
#include "download/file_name_rule.h"
#include "platform/widgets/desktop_services.h"
#include "platform/settings_store.h"
#include "tests/support/event_wait.h"
#include "tests/support/pattern.h"
#include "tests/support/range_source.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_catalogue.h"
#include "tests/support/test_desktop.h"
#include "tests/support/test_window.h"

namespace quillon {
namespace {

using namespace testing;

using testing::TestWindow;
using testing::WindowTest;

const TestProduct kEditor{"Editor", "Edits text.", "", "", {{"Editor (HTTP)", "http://127.0.0.1/dir/setup.exe"},
                                                            {"Home page", "http://127.0.0.1/editor/", "Send to browser"}}};
const TestProduct kPaint{"Paint", "Paints.", "", "", {{"Paint (FTP)", "ftp://127.0.0.1/pub/paint.zip"}}};

TEST_F(WindowTest, ShowsTheCatalogueOnTheProductPage) {
  auto& w = Open(CatalogueXml({kEditor, kPaint}));
  EXPECT_TRUE(desktop.message_boxes.empty());
  EXPECT_EQ(w.windowTitle(), "Test Caption");
  EXPECT_EQ(w.NextBtn->text(), "Next >>");
  EXPECT_EQ(w.BackBtn->text(), "<< Back");
  EXPECT_EQ(w.ProductPromptLabel->text(), "Pick one:");
  EXPECT_EQ(w.FolderLabel->text(), "Save as:");
  EXPECT_EQ(w.MainDescriptionMemo->toPlainText(), "Top text");
  ASSERT_EQ(w.ListBox1->count(), 2);
  EXPECT_EQ(w.ListBox1->item(1)->text(), "Paint");
  EXPECT_EQ(w.ListBox1->currentRow(), 0);
  EXPECT_FALSE(w.DownloadPageInFront());
  EXPECT_TRUE(w.NextBtn->isEnabled());
  EXPECT_TRUE(w.UpdateBtn->isHidden());
  EXPECT_TRUE(w.StatusBar->SimpleText().isEmpty());
  // The list shrinks to its two rows; the icon and the description follow it.
  const int h = w.fontMetrics().height();
  EXPECT_EQ(w.ListBox1->height(), 2 * (h + 2));
  EXPECT_EQ(w.Image1->y(), w.ListBox1->geometry().bottom() + 1 + 7);
  EXPECT_EQ(w.ProductDescriptionMemo->y(), w.Image1->y());
  EXPECT_EQ(w.ProductDescriptionMemo->geometry().bottom() + 1, w.NextBtn->y() - 7);

  ClickRow(1);
  EXPECT_EQ(w.URLCBx->count(), 1);
  EXPECT_EQ(w.ProductDescriptionMemo->toPlainText(), "Paints.");
  QTest::mouseClick(w.NextBtn, Qt::LeftButton);
  EXPECT_TRUE(w.DownloadPageInFront());
  EXPECT_EQ(w.ProductLabel->text(), "Paint");
  EXPECT_EQ(w.SaveToFolderEdit->text(), "/home/user/Desktop/paint.zip");
  EXPECT_EQ(w.DownloadBtn->text(), "Get it");
  QTest::mouseClick(w.BackBtn, Qt::LeftButton);
  EXPECT_FALSE(w.DownloadPageInFront());
}

TEST_F(WindowTest, OneProductOpensOnTheDownloadPageWithoutBackButton) {
  auto& w = Open(CatalogueXml({kPaint}));
  EXPECT_TRUE(w.DownloadPageInFront());
  EXPECT_TRUE(w.BackBtn->isHidden());
  EXPECT_EQ(w.ProductLabel->text(), "Paint");
  EXPECT_EQ(w.URLCBx->currentText(), "Paint (FTP)");
}

TEST_F(WindowTest, BrowserLinkOpensWithTheDesktopAndMakesNoRow) {
  auto& w = Open(CatalogueXml({kEditor, kPaint}));
  QTest::mouseClick(w.NextBtn, Qt::LeftButton);
  EXPECT_FALSE(w.FolderLabel->isHidden());
  ChooseLink(1);
  EXPECT_TRUE(w.FolderLabel->isHidden());
  EXPECT_TRUE(w.SaveToFolderEdit->isHidden());
  EXPECT_TRUE(w.FolderBtn->isHidden());
  EXPECT_EQ(w.DownloadBtn->text(), "Open it");
  QTest::mouseClick(w.DownloadBtn, Qt::LeftButton);
  EXPECT_EQ(desktop.opened, std::vector<QString>{"http://127.0.0.1/editor/"});
  EXPECT_TRUE(w.program_downloads.empty());
  EXPECT_TRUE(desktop.message_boxes.empty());
  // A desktop without a browser: the user is told so.
  desktop.open_answer = false;
  QTest::mouseClick(w.DownloadBtn, Qt::LeftButton);
  ASSERT_EQ(desktop.message_boxes.size(), 1u);
  EXPECT_EQ(desktop.message_boxes[0].text, "No program is set up to open http://127.0.0.1/editor/.");
  desktop.open_answer = true;

  // Back to the program link: the folder controls return and the button starts
  // a program download.
  ChooseLink(0);
  EXPECT_FALSE(w.SaveToFolderEdit->isHidden());
  EXPECT_EQ(w.DownloadBtn->text(), "Get it");
  QTest::mouseClick(w.DownloadBtn, Qt::LeftButton);
  EXPECT_EQ(w.program_downloads, std::vector<std::string>{"http://127.0.0.1/dir/setup.exe"});
  EXPECT_EQ(desktop.opened.size(), 2u);
}

TEST_F(WindowTest, BrowserLinkThatIsNoWebAddressIsNotOpened) {
  TestProduct p{"Tool", "", "", "", {{"Local", "/usr/bin/xterm", "Send to browser"},
                                     {"Other", "file:///etc/passwd", "Send to browser"},
                                     {"No host", "http:/usr/bin/xterm", "Send to browser"},
                                     {"Invalid", "http://bad host/x", "Send to browser"}}};
  auto& w = Open(CatalogueXml({p, kPaint}));
  QTest::mouseClick(w.NextBtn, Qt::LeftButton);
  for (int i = 0; i < 4; ++i) {
    ChooseLink(i);
    QTest::mouseClick(w.DownloadBtn, Qt::LeftButton);
  }
  EXPECT_TRUE(desktop.opened.empty());
  ASSERT_EQ(desktop.message_boxes.size(), 4u);
  EXPECT_TRUE(desktop.message_boxes[1].text.endsWith("file:///etc/passwd"));
  EXPECT_TRUE(desktop.message_boxes[3].text.endsWith("http://bad host/x"));
}

TEST_F(WindowTest, ActivationFromAnotherWindowOfTheProgramRefillsTheLinks) {
  auto& w = Open(CatalogueXml({kEditor, kPaint}));
  QTest::mouseClick(w.NextBtn, Qt::LeftButton);
  ChooseLink(1);
  auto reactivate = [&](QWidget& other) {
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    other.hide();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  };
  // Back from a message box: the chosen link stays.
  QMessageBox box;
  reactivate(box);
  EXPECT_EQ(w.URLCBx->currentIndex(), 1);
  EXPECT_EQ(w.DownloadBtn->text(), "Open it");
  // Back from another window of the program (as from the screenshot window):
  // the product's links are filled anew.
  QWidget other;
  reactivate(other);
  EXPECT_EQ(w.URLCBx->currentIndex(), 0);
}

// The link's file name replaces the destination's, by the rule quillon-get
// follows too.
TEST_F(WindowTest, LinkFileNameReplacesTheDestinationsFileName) {
  const std::pair<TestLink, QString> cases[] = {
      {{"a", "http://127.0.0.1/dir/setup.exe"}, "setup.exe"},
      {{"Setup for all", "http://127.0.0.1/dir/"}, "Setup for all"},
      {{"c", "http://127.0.0.1/get/guide.pdf?lang=en&x=2"}, "guide.pdf"},
      {{"d", "ftp://127.0.0.1\\odd\\name.bin"}, "name.bin"},
      {{"e", "https://127.0.0.1/with%20space/my%20file.pdf"}, "my file.pdf"},
      {{"f", "https://127.0.0.1/gr%C3%BC%C3%9Fe.pdf#top"}, QString::fromUtf8("gr\u00fc\u00dfe.pdf")},
      {{"g", "http://127.0.0.1/a/%2E%2E"}, "g"},
      {{"h", "http://127.0.0.1/a%2Fb.zip"}, "a_b.zip"},
  };
  TestProduct p{"Q", "", "", "", {}};
  for (const auto& [link, name] : cases) p.links.push_back(link);
  auto& w = Open(CatalogueXml({p, kPaint}));
  QTest::mouseClick(w.NextBtn, Qt::LeftButton);
  w.SaveToFolderEdit->setText("/files/old.zip");
  for (int i = 0; i < static_cast<int>(std::size(cases)); ++i) {
    ChooseLink(i);
    w.URLCBxChange();
    EXPECT_EQ(w.SaveToFolderEdit->text().toStdString(), ("/files/" + cases[i].second).toStdString())
        << cases[i].first.url;
    EXPECT_EQ(w.SaveToFolderEdit->text().toStdString(),
              "/files/" + SaveFileNameFromUrl(cases[i].first.url, cases[i].first.description));
  }
}

// Declining to replace an existing file leaves no row; keeping both starts
// one into the numbered name.
TEST_F(WindowTest, ExistingDestinationCancelledLeavesNoRow) {
  TestProduct p{"Q", "", "", "", {{"a", "gopher://127.0.0.1/f.bin"}}};  // the row refuses: no network
  auto& w = Open(CatalogueXml({p, kPaint}));
  w.run_downloads = true;
  QTest::mouseClick(w.NextBtn, Qt::LeftButton);
  testing::WriteFile(dir.File("f.bin"), "old");
  w.SaveToFolderEdit->setText(QString::fromStdString(dir.File("f.bin")));
  desktop.message_box_answer = TMsgResult::mrCancel;
  QTest::mouseClick(w.DownloadBtn, Qt::LeftButton);
  ASSERT_EQ(desktop.message_boxes.size(), 1u);
  EXPECT_EQ(desktop.message_boxes[0].text, "f.bin already exists. Replace it?");
  EXPECT_TRUE(w.DLScrollBox->Rows().empty());
  desktop.message_box_answer = TMsgResult::mrKeepBoth;
  QTest::mouseClick(w.DownloadBtn, Qt::LeftButton);
  ASSERT_EQ(w.DLScrollBox->Rows().size(), 1u);
  EXPECT_EQ(w.DLScrollBox->Rows()[0]->LocalFilename(), dir.File("f (1).bin"));
}

TEST_F(WindowTest, ScreenshotButtonAndDescriptionFollowTheProduct) {
  const std::string shot = testing::JpegBase64(120, 80);
  TestProduct with{"With", "Has a picture.", testing::JpegBase64(32, 32), shot, {{"a", "http://h/a"}}};
  TestProduct blank{"Blank", " \r\n ", "", " \t ", {{"a", "http://h/a"}}};
  TestProduct none{"None", "", "", "", {{"a", "http://h/a"}}};
  auto& w = Open(CatalogueXml({with, blank, none}));
  EXPECT_FALSE(w.ScreenshotBtn->isHidden());
  EXPECT_FALSE(w.ProductDescriptionMemo->isHidden());
  EXPECT_EQ(w.Image1->pixmap().size(), QSize(32, 32));

  QTest::mouseClick(w.ScreenshotBtn, Qt::LeftButton);
  ASSERT_EQ(desktop.modal_captions.size(), 1u);
  EXPECT_EQ(desktop.modal_captions[0], "Screenshot: With");
  EXPECT_EQ(desktop.modal_client_sizes[0], QSize(120, 80));

  ClickRow(1);  // white space counts as a screenshot, and as a description
  EXPECT_FALSE(w.ScreenshotBtn->isHidden());
  EXPECT_FALSE(w.ProductDescriptionMemo->isHidden());
  EXPECT_TRUE(w.Image1->pixmap().isNull());
  QTest::mouseClick(w.ScreenshotBtn, Qt::LeftButton);
  EXPECT_EQ(desktop.modal_captions.size(), 2u);  // a window without a picture

  ClickRow(2);
  EXPECT_TRUE(w.ScreenshotBtn->isHidden());
  EXPECT_TRUE(w.ProductDescriptionMemo->isHidden());
  EXPECT_TRUE(desktop.message_boxes.empty());

  // One larger than the screen is scaled down into it, keeping its shape.
  TestProduct huge{"Huge", "", "", testing::JpegBase64(4000, 1000), {{"a", "http://h/a"}}};
  auto& big = Open(CatalogueXml({huge}));
  QTest::mouseClick(big.ScreenshotBtn, Qt::LeftButton);
  const int width = big.screen()->availableGeometry().width() * 9 / 10;
  EXPECT_EQ(desktop.modal_client_sizes.back(), QSize(width, width / 4));
}

TEST_F(WindowTest, LogoMovesTheTopText) {
  auto& plain = Open(CatalogueXml({kEditor, kPaint}));
  EXPECT_EQ(plain.MainDescriptionMemo->x(), 112);
  plain.close();
  auto& w = Open(CatalogueXml({kEditor, kPaint}, InterfaceXml("", testing::JpegBase64(60, 40))));
  EXPECT_EQ(w.LogoImage->geometry(), QRect(8, 8, 60, 40));
  EXPECT_EQ(w.MainDescriptionMemo->x(), 8 + 60 + 10);
  EXPECT_EQ(w.MainDescriptionMemo->geometry().right() + 1, w.Panel1->width() - 10);
  w.close();

  // Larger pictures are scaled down into their places, keeping proportions.
  TestProduct large{"Large", "", testing::JpegBase64(48, 48), "", {{"a", "http://h/a"}}};
  auto& big = Open(CatalogueXml({large, kPaint}, InterfaceXml("", testing::JpegBase64(900, 300))));
  EXPECT_EQ(big.LogoImage->geometry(), QRect(8, 8, 97, 32));
  EXPECT_EQ(big.MainDescriptionMemo->x(), 8 + 97 + 10);
  EXPECT_EQ(big.Image1->pixmap().deviceIndependentSize().toSize(), QSize(32, 32));
}

TEST_F(WindowTest, MemosGetAScrollBarOnlyWhenTheirTextIsTaller) {
  std::string many;
  for (int i = 0; i < 12; ++i) many += "line&#13;&#10;";
  TestProduct tall{"Tall", many, "", "", {{"a", "http://h/a"}}};
  TestProduct short_one{"Short", "One line.", "", "", {{"a", "http://h/a"}}};
  auto& w = Open(CatalogueXml({tall, short_one}));
  EXPECT_EQ(w.ProductDescriptionMemo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(w.MainDescriptionMemo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  ClickRow(1);
  EXPECT_EQ(w.ProductDescriptionMemo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  // A narrower window wraps the top text onto more lines than fit.
  w.close();
  std::string words;
  for (int i = 0; i < 40; ++i) words += "word ";
  auto& narrow = Open(CatalogueXml({tall, short_one}, InterfaceXml("").replace(
      InterfaceXml("").find("Top text"), 8, words)));
  EXPECT_EQ(narrow.MainDescriptionMemo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  narrow.resize(1400, narrow.height());
  EXPECT_EQ(narrow.MainDescriptionMemo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
}

TEST_F(WindowTest, DestinationFolderFallsBackFromSettingsToDownloadFolderToProgramFolder) {
  const std::string xml = CatalogueXml({kEditor});
  {
    ASSERT_TRUE(TSettingsStore::WriteString("Last Save Directory", "/saved/dir"));
    TestWindow w(testing::ProgramWith(dir, xml));
    EXPECT_EQ(w.SaveToFolderEdit->text(), "/saved/dir/");  // the missing "/" is added
  }
  {
    TSettingsStore::SetScope({});  // the store all catalogues shared, which each one reads
    ASSERT_TRUE(TSettingsStore::WriteString("Last Save Directory", ""));
    TestWindow w(testing::ProgramWith(dir, xml, "p2"));
    EXPECT_EQ(w.SaveToFolderEdit->text(), "/home/user/Desktop/");
  }
  {
    desktop.download_folder.clear();
    TestWindow w(testing::ProgramWith(dir, xml, "p3"));
    EXPECT_EQ(w.SaveToFolderEdit->text(), QString::fromStdString(dir.path()) + "/Downloads/");
    EXPECT_EQ(w.ProgramFolder(), QString::fromStdString(dir.path()) + "/");
  }
}

// The real desktop service, with HOME (and so the XDG folders) in a
// temporary folder: the start is the download folder that user-dirs.dirs
// names, else ~/Downloads, also when a Desktop folder exists; no folder is
// made.
TEST_F(WindowTest, TheFirstDownloadGoesToTheUsersDownloadFolder) {
  class Environment {
   public:
    Environment(const char* name, const std::string& value) : name_(name) {
      if (const char* old = std::getenv(name)) old_ = old;
      ::setenv(name, value.c_str(), 1);
    }
    ~Environment() {
      if (old_) ::setenv(name_, old_->c_str(), 1);
      else ::unsetenv(name_);
    }

   private:
    const char* name_;
    std::optional<std::string> old_;
  };
  const std::string home = dir.File("home");
  const Environment home_variable("HOME", home);
  const Environment config_variable("XDG_CONFIG_HOME", home + "/.config");
  SetDownloadFolderHook(nullptr);
  std::filesystem::create_directories(home + "/.config");
  const std::string xml = CatalogueXml({kEditor});
  const std::string elsewhere = dir.File("elsewhere");
  struct Case {
    std::string user_dirs;  // empty: no user-dirs.dirs
    bool make_desktop;
    std::string start;
  } cases[] = {
      {"XDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_DOWNLOAD_DIR=\"$HOME/Fetched\"\n", true, home + "/Fetched/"},
      {"# absolute\nXDG_DOWNLOAD_DIR=\"" + elsewhere + "\"\n", false, elsewhere + "/"},
      {"XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n", true, home + "/Downloads/"},
      {"", false, home + "/Downloads/"},
      {"", true, home + "/Downloads/"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user_dirs + (c.make_desktop ? " with Desktop" : ""));
    std::filesystem::remove(home + "/.config/user-dirs.dirs");
    std::filesystem::remove_all(home + "/Desktop");
    if (!c.user_dirs.empty()) testing::WriteFile(home + "/.config/user-dirs.dirs", c.user_dirs);
    if (c.make_desktop) std::filesystem::create_directories(home + "/Desktop");
    TestWindow w(testing::ProgramWith(dir, xml, "p" + std::to_string(++n)));
    EXPECT_EQ(w.SaveToFolderEdit->text().toStdString(), c.start);
    EXPECT_FALSE(testing::FileExists(home + "/Downloads"));
    EXPECT_FALSE(testing::FileExists(home + "/Fetched"));
  }
}

TEST_F(WindowTest, WindowIsSizedToTheDestinationPath) {
  ASSERT_TRUE(TSettingsStore::WriteString("Last Save Directory", "/a/" + QString(80, 'x') + "/"));
  TestWindow w(testing::ProgramWith(dir, CatalogueXml({kEditor})));
  const int text = w.fontMetrics().horizontalAdvance(w.SaveToFolderEdit->text() + "WWWWWW");
  EXPECT_EQ(w.width(), text + 312 - 227 + 10 - TfrmDownloader::kFrameWidth);
  EXPECT_EQ(w.height(), 400 - TfrmDownloader::kFrameHeight);
  EXPECT_EQ(w.minimumSize(), QSize(320 - 8, 400 - 34));
  EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
  w.show();
  // Anchored controls follow the wider window.
  EXPECT_EQ(w.Panel1->width(), w.width());
  EXPECT_EQ(w.NextBtn->x(), w.ProductPanel->width() - (275 - 194));
  EXPECT_EQ(w.SaveToFolderEdit->width(), 227 + w.DLPanel->width() - 275);
}

// The program is the publisher's: the catalogue's caption names it to the
// desktop, and each catalogue keeps its settings apart (reading what all of
// them shared before where it has none of its own).
TEST_F(WindowTest, TheCataloguesCaptionNamesTheProgramAndItsSettingsAreItsOwn) {
  ASSERT_TRUE(TSettingsStore::WriteString("Last Save Directory", "/shared/"));
  struct Case {
    const char* id;
    const char* caption;
    const char* program;
    const char* folder_read;
    const char* folder_kept;
  } cases[] = {
      {"alpha", "Alpha Tools", "alpha-setup", "/shared/", "/alpha/"},
      {"beta", "Beta Games", "beta-setup", "/shared/", "/beta/"},
      {"alpha", "Alpha Tools", "alpha-copy", "/alpha/", "/alpha/"},  // the same catalogue in another file
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    std::string interface = InterfaceXml(std::string("<Catalogue_Id>") + c.id + "</Catalogue_Id>");
    interface.replace(interface.find("Test Caption"), 12, c.caption);
    TestWindow w(testing::ProgramWith(dir, CatalogueXml({kEditor}, interface), c.program));
    EXPECT_EQ(QCoreApplication::applicationName(), c.caption);
    EXPECT_EQ(QGuiApplication::desktopFileName(), c.program);
    EXPECT_EQ(w.SaveToFolderEdit->text(), c.folder_read);
    w.SaveToFolderEdit->setText(QString(c.folder_kept) + "setup.exe");
    w.SaveLastFolder();
  }
  TSettingsStore::SetScope({});
  EXPECT_EQ(TSettingsStore::ReadString("Last Save Directory"), "/shared/");
}

TEST_F(WindowTest, ClosingSavesTheFolderNotTheFileName) {
  auto& w = Open(CatalogueXml({kEditor, kPaint}));
  QTest::mouseClick(w.NextBtn, Qt::LeftButton);
  w.SaveToFolderEdit->setText("/files/keep/old.zip");
  w.close();
  EXPECT_EQ(TSettingsStore::ReadString("Last Save Directory"), QString("/files/keep/"));
}

TEST_F(WindowTest, FolderButtonAsksForTheFileStartingInTheDestinationsFolder) {
  auto& w = Open(CatalogueXml({kPaint}));
  desktop.save_dialog_answer = "/chosen/place/paint-copy.zip";
  QTest::mouseClick(w.FolderBtn, Qt::LeftButton);
  ASSERT_EQ(desktop.save_dialogs.size(), 1u);
  EXPECT_EQ(desktop.save_dialogs[0].folder, "/home/user/Desktop/");
  EXPECT_EQ(desktop.save_dialogs[0].file_name, "paint.zip");
  EXPECT_EQ(w.SaveToFolderEdit->text(), "/chosen/place/paint-copy.zip");
  desktop.save_dialog_answer.reset();
  QTest::mouseClick(w.FolderBtn, Qt::LeftButton);
  EXPECT_EQ(desktop.save_dialogs[1].folder, "/chosen/place/");
  EXPECT_EQ(w.SaveToFolderEdit->text(), "/chosen/place/paint-copy.zip");
}

TEST_F(WindowTest, UpdateButtonByDateAndDataUrl) {
  struct Case {
    std::string extra;
    bool shown;
  } cases[] = {
      {"<Prompt_after_date>38718</Prompt_after_date><Data_URL>http://127.0.0.1/c.xml</Data_URL>", true},
      {"<Prompt_after_date>38000</Prompt_after_date><Data_URL>http://127.0.0.1/c.xml</Data_URL>", true},
      {"<Prompt_after_date>38719</Prompt_after_date><Data_URL>http://127.0.0.1/c.xml</Data_URL>", false},
      {"<Prompt_after_date>0</Prompt_after_date><Data_URL>http://127.0.0.1/c.xml</Data_URL>", false},
      {"<Prompt_after_date>38718</Prompt_after_date><Data_URL></Data_URL>", false},
      {"<Prompt_after_date>38718</Prompt_after_date>", false},
      {"<Data_URL>http://127.0.0.1/c.xml</Data_URL>", false},
  };
  for (const auto& c : cases) {
    auto& w = Open(CatalogueXml({kEditor, kPaint}, InterfaceXml(c.extra)));
    EXPECT_EQ(!w.UpdateBtn->isHidden(), c.shown) << c.extra;
    EXPECT_EQ(w.UpdateBtn->text(), "&Retrieve Updates");  // Alt+R
    w.close();
  }
  EXPECT_TRUE(desktop.message_boxes.empty());
  // A date that is not a whole number ends the show step with the conversion error.
  auto& w = Open(CatalogueXml({kEditor, kPaint}, InterfaceXml("<Prompt_after_date>soon</Prompt_after_date>"
                                                              "<Data_URL>http://h/</Data_URL>")));
  EXPECT_TRUE(w.UpdateBtn->isHidden());
  ASSERT_EQ(desktop.message_boxes.size(), 1u);
  EXPECT_EQ(desktop.message_boxes[0].text, "'soon' is not a valid integer value");
}

TEST_F(WindowTest, ElementNamesInOtherLetterCase) {
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<ROOT><interface_information>"
      "<WINDOW_CAPTION>Shouting</WINDOW_CAPTION><next_button_caption>Onward</next_button_caption>"
      "</INTERFACE_INFORMATION><program_group><PROGRAM_NAME>One</PROGRAM_NAME><download><description>d1"
      "</description><url>http://h/one.zip</url><handle_by>Internal Download</handle_by></download>"
      "</program_group><Program_Group><program_name>Two</program_name><DOWNLOAD><DESCRIPTION>d2"
      "</DESCRIPTION><URL>http://h/two.zip</URL><HANDLE_BY>Send to browser</HANDLE_BY></DOWNLOAD>"
      "</Program_Group></root>";
  auto& w = Open(xml);
  EXPECT_EQ(w.windowTitle(), "Shouting");
  EXPECT_EQ(w.NextBtn->text(), "Onward");
  ASSERT_EQ(w.ListBox1->count(), 2);
  ClickRow(1);
  QTest::mouseClick(w.NextBtn, Qt::LeftButton);
  EXPECT_EQ(w.URLCBx->currentText(), "d2");
  EXPECT_TRUE(w.SaveToFolderEdit->isHidden());
  EXPECT_TRUE(desktop.message_boxes.empty());
}

TEST_F(WindowTest, HandleByIsComparedExactly) {
  TestProduct p{"P", "", "", "", {{"a", "http://h/a.zip", "send to browser"}}};
  auto& w = Open(CatalogueXml({p}));
  EXPECT_FALSE(w.SaveToFolderEdit->isHidden());
  QTest::mouseClick(w.DownloadBtn, Qt::LeftButton);
  EXPECT_EQ(w.program_downloads.size(), 1u);
  EXPECT_TRUE(desktop.opened.empty());
}

TEST_F(WindowTest, TextsAreDecodedForTheWidgets) {
  TestProduct p{"Caf\xE9 &amp; Bar", "It&apos;s \x93quoted\x94 &#150; &#233;.", "", "", {{"Tom&apos;s link", "http://h/x"}}};
  auto& w = Open(CatalogueXml({p, kPaint}));
  EXPECT_EQ(w.ListBox1->item(0)->text(), QString::fromUtf8("Caf\u00E9 & Bar"));
  EXPECT_EQ(w.ProductDescriptionMemo->toPlainText(),
            QString::fromUtf8("It's \u201Cquoted\u201D \u2013 \u00E9."));
  QTest::mouseClick(w.NextBtn, Qt::LeftButton);
  EXPECT_EQ(w.URLCBx->currentText(), "Tom's link");
  w.close();

  // A UTF-8 document shows its text as UTF-8.
  const std::string utf8 =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Root>" + InterfaceXml() +
      testing::ProductXml({"Caf\xC3\xA9", "", "", "", {{"a", "http://h/a"}}}) +
      testing::ProductXml(kPaint) + "</Root>";
  auto& u = Open(utf8);
  EXPECT_EQ(u.ListBox1->item(0)->text(), QString::fromUtf8("Caf\u00E9"));
}

TEST_F(WindowTest, CatalogueWithoutProductsShowsAnEmptyList) {
  auto& w = Open(CatalogueXml({}));
  EXPECT_EQ(w.ListBox1->count(), 0);
  EXPECT_FALSE(w.NextBtn->isEnabled());
  EXPECT_FALSE(w.DownloadPageInFront());
  EXPECT_TRUE(w.ScreenshotBtn->isHidden());
  w.ListBox1DblClick();
  w.NextBtnClick();
  EXPECT_FALSE(w.DownloadPageInFront());
  EXPECT_TRUE(desktop.message_boxes.empty());
}

TEST_F(WindowTest, MissingElementsReadAsEmptyText) {
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<Root><Interface_Information>"
      "<Next_Button_Caption>Go</Next_Button_Caption></Interface_Information>"
      "<Program_Group><Program_Name>Bare</Program_Name><Download><URL>http://h/bare.zip</URL></Download>"
      "</Program_Group><Program_Group></Program_Group></Root>";
  auto& w = Open(xml);
  EXPECT_TRUE(desktop.message_boxes.empty());
  EXPECT_EQ(w.windowTitle(), "");
  EXPECT_EQ(w.BackBtn->text(), "");
  EXPECT_EQ(w.ListBox1->count(), 2);
  EXPECT_EQ(w.ListBox1->item(1)->text(), "");
  EXPECT_TRUE(w.ProductDescriptionMemo->isHidden());
  EXPECT_TRUE(w.ScreenshotBtn->isHidden());
  QTest::mouseClick(w.NextBtn, Qt::LeftButton);
  EXPECT_EQ(w.URLCBx->currentText(), "");
  EXPECT_FALSE(w.SaveToFolderEdit->isHidden());  // no Handle_by: a program link
  EXPECT_TRUE(w.SaveToFolderEdit->text().endsWith("/bare.zip"));
  EXPECT_TRUE(desktop.message_boxes.empty());
}

TEST_F(WindowTest, ProductWithoutLinksStaysOnTheProductPage) {
  TestProduct empty{"Empty", "Nothing to get.", "", "", {}};
  auto& w = Open(CatalogueXml({empty, kPaint}));
  EXPECT_FALSE(w.NextBtn->isEnabled());
  QListWidget* list = w.ListBox1;
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(0)).center());
  EXPECT_FALSE(w.DownloadPageInFront());
  ClickRow(1);
  EXPECT_TRUE(w.NextBtn->isEnabled());
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(1)).center());
  EXPECT_TRUE(w.DownloadPageInFront());
  w.close();

  auto& one = Open(CatalogueXml({empty}));
  EXPECT_FALSE(one.DownloadPageInFront());
  EXPECT_FALSE(one.NextBtn->isEnabled());
  EXPECT_TRUE(desktop.message_boxes.empty());
}

constexpr const char* kNoCatalogue =
    "This program has no catalogue. A publisher appends one with quillon-catalogue append.";

// The bare program says what it lacks in one message and opens no window
// (main then ends with status 1); a program with a catalogue goes on.
TEST_F(WindowTest, BareProgramSaysSoAndOpensNoWindow) {
  testing::WriteFile(dir.File("bare"), "no trailer here");
  EXPECT_FALSE(TfrmDownloader::CatalogueAppendedOrSay(dir.File("bare")));
  ASSERT_EQ(desktop.message_boxes.size(), 1u);
  EXPECT_EQ(desktop.message_boxes[0].text.toStdString(), kNoCatalogue);
  for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_FALSE(w->isVisible()) << w->metaObject()->className();
  EXPECT_TRUE(TfrmDownloader::CatalogueAppendedOrSay(testing::ProgramWith(dir, CatalogueXml({kPaint}))));
  EXPECT_EQ(desktop.message_boxes.size(), 1u);
}

TEST_F(WindowTest, FailuresAreReportedAndEndTheirHandlerOnly) {
  // A window on a file without a catalogue: the same plain message, no class
  // name.
  testing::WriteFile(dir.File("bare"), "no trailer here");
  window = std::make_unique<TestWindow>(dir.File("bare"));
  window->show();
  ASSERT_EQ(desktop.message_boxes.size(), 1u);
  EXPECT_EQ(desktop.message_boxes[0].text.toStdString(), kNoCatalogue);
  window->close();

  // Malformed XML: the parser's error.
  Open("<?xml version=\"1.0\"?>\n<Root><Interface_Information></Root>");
  ASSERT_EQ(desktop.message_boxes.size(), 2u);
  EXPECT_EQ(desktop.message_boxes[1].text.left(9), "Incorrect");
  window->close();

  // An icon that is not a JPEG: the product's selection stops at the icon.
  TestProduct bad{"Bad", "Never shown.", "AAAAAAAA", "", {{"a", "http://h/a"}}};
  auto& w = Open(CatalogueXml({kPaint, bad}));
  ClickRow(1);
  ASSERT_EQ(desktop.message_boxes.size(), 3u);
  EXPECT_TRUE(desktop.message_boxes[2].text.startsWith("JPEG error")) << desktop.message_boxes[2].text.toStdString();
  EXPECT_NE(w.ProductDescriptionMemo->toPlainText(), "Never shown.");
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

// A product whose three links name one SHA-256 is fetched from all three at
// once, and its row says so.
TEST_F(WindowTest, ThreeLinksOfOneFileServeItAtOnce) {
  const std::string file = testing::Pattern(3 * 1024 * 1024 + 100);
  testing::RangeSource sources[3];
  TestProduct p{"Q", "", "", "", {}};
  for (testing::RangeSource& s : sources) {
    s.content = file;
    s.hold = true;  // every answer waits half-way until the row has shown them all
    p.links.push_back({"link", s.Url()});
  }
  std::string xml = CatalogueXml({p, kPaint});
  for (testing::RangeSource& s : sources) {
    const std::string end = s.Url() + "</URL>";
    xml.replace(xml.find(end) + end.size(), 0, "<SHA256>" + TSha256Hasher::HexOf(file) + "</SHA256>");
  }
  auto& w = Open(xml);
  w.run_downloads = true;
  QTest::mouseClick(w.NextBtn, Qt::LeftButton);
  w.SaveToFolderEdit->setText(QString::fromStdString(dir.File("f.bin")));
  QTest::mouseClick(w.DownloadBtn, Qt::LeftButton);
  ASSERT_EQ(w.DLScrollBox->Rows().size(), 1u);
  TDLVisualPanel* row = w.DLScrollBox->Rows()[0];
  EXPECT_TRUE(testing::RunUntil([&] { return row->StatusLabel->toolTip().contains("  from 3 sources  ("); }))
      << row->StatusLabel->toolTip().toStdString();
  for (testing::RangeSource& s : sources) s.hold = false;
  ASSERT_TRUE(testing::RunUntil([&] { return !row->Job().DownloadInProgress(); }));
  EXPECT_TRUE(row->StatusLabel->toolTip().startsWith("Download Complete."));
  EXPECT_TRUE(testing::ReadFile(dir.File("f.bin")) == file);
}

}  // namespace
}  // namespace quillon
