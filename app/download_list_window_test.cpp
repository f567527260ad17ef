// The window's download list across restarts: which file holds it, the rows
// it brings back at start, the save at close, and a list it cannot read; the
// close question about running and paused rows, and a link that has its row.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/sha256_hasher.h"
#include "catalogue/trust_record.h"
#include "rows/dl_scroll_box.h"
#include "rows/dl_visual_panel.h"
#include "download/download_list_store.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_catalogue.h"
#include "tests/support/test_window.h"

namespace quillon {
namespace {

using namespace testing;

const TestProduct kPaint{"Paint", "Paints.", "", "", {{"Paint (HTTP)", "http://127.0.0.1/paint.exe"}}};

TEST_F(WindowTest, TheDownloadListFileIsNamedByTheCatalogue) {
  const struct {
    std::string id_xml;
    std::string name;
  } cases[] = {
      {"<Catalogue_Id>line-1</Catalogue_Id>", "downloads-id-line-1.json"},
      {"<Catalogue_Id>../x y</Catalogue_Id>", "downloads-id-sha256-" + TSha256Hasher::HexOf("../x y") + ".json"},
      {"", "downloads-program-" + TSha256Hasher::HexOf(dir.File("quillon")) + ".json"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto& w = Open(CatalogueXml({kEditor, kPaint}, InterfaceXml(c.id_xml)));
    EXPECT_EQ(w.DownloadListPath(), TTrustRecord::Folder() + "/" + c.name);
  }
}

TEST_F(WindowTest, TheDownloadListComesBackAtTheNextStart) {
  // Paint's link names the SHA-256 of done.bin's bytes.
  std::string xml = CatalogueXml({kEditor, kPaint});
  xml.replace(xml.find("paint.exe</URL>") + 15, 0,
              "<SHA256>" + TSha256Hasher::HexOf("x") + "</SHA256><Connections>3</Connections>");
  const std::string path = Open(xml).DownloadListPath();
  window->close();
  EXPECT_FALSE(testing::FileExists(path));  // no rows, no file

  testing::WriteFile(dir.File("done.bin"), "x");
  auto row = [&](const char* name, TSavedDownload::TState state, const char* status) {
    TSavedDownload r;
    r.url = "http://127.0.0.1:1/f.bin";
    r.file = dir.File(name);
    r.state = state;
    r.status = status;
    return r;
  };
  TSavedDownload done = row("done.bin", TSavedDownload::kFinished, "Download Complete.");
  done.url = "http://127.0.0.1/paint.exe";
  WriteDownloadList(path, {done,
                           row("gone.bin", TSavedDownload::kFinished, "Download Complete."),
                           row("part.bin", TSavedDownload::kPaused, "Paused.")});
  auto& w = Open(xml);
  ASSERT_FALSE(w.DLScrollBox->isHidden());
  std::vector<TDLVisualPanel*> rows = w.DLScrollBox->Rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0]->StatusLabel->toolTip(), "Download Complete. (verified)");  // the catalogue's hash
  EXPECT_EQ(rows[0]->Job().ConnectionsPerHost(), 3);  // the link's limit
  EXPECT_EQ(rows[2]->Job().ConnectionsPerHost(), 1);  // no link
  EXPECT_EQ(rows[1]->StatusLabel->toolTip(), "File no longer exists.");
  EXPECT_EQ(rows[2]->StatusLabel->toolTip(), "Paused.");
  EXPECT_EQ(rows[2]->PauseLink->text(), "Resume");
  EXPECT_EQ(rows[2]->ActionLink->text(), "Stop");  // the catalogue's cancel caption, as before the restart
  EXPECT_LT(rows[2]->y(), rows[0]->y());          // the newest on top, as before
  rows[2]->ActionLink->Click();
  EXPECT_EQ(rows[2]->StatusLabel->toolTip(), "Download Cancelled.");
  EXPECT_EQ(rows[2]->ActionLink->text(), "Get it");
  EXPECT_EQ(w.DLScrollBox->ClearFinished(), 2);
  w.close();  // saves at once
  const std::vector<TSavedDownload> left = ReadDownloadList(path);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].file, dir.File("part.bin"));

  // A list that cannot be read is set aside, never overwritten: the window
  // opens without rows and a new list begins.
  const std::string other_version = "{\"format\": \"quillon download list\", \"version\": 99}";
  testing::WriteFile(path, other_version);
  testing::WriteFile(path + ".unreadable", "set aside before");
  auto& third = Open(xml);
  EXPECT_TRUE(third.DLScrollBox->Rows().empty());
  EXPECT_TRUE(third.DLScrollBox->isHidden());
  EXPECT_FALSE(third.ListBox1->count() == 0);
  EXPECT_EQ(testing::ReadFile(path + ".unreadable-2"), other_version);
  EXPECT_EQ(testing::ReadFile(path + ".unreadable"), "set aside before");
  EXPECT_FALSE(testing::FileExists(path));
}

// A paused download is no running one: closing says it can be resumed, and
// asks to stop only the running ones.
TEST_F(WindowTest, TheCloseQuestionCountsRunningAndPausedApart) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.ReadToEnd();
  });
  const struct {
    int running, paused;
    const char* text;
  } cases[] = {{0, 1, "1 download is paused; it can be resumed at the next start. Close?"},
               {1, 2, "1 download is still running. Stop it and close?\n"
                      "2 downloads are paused; they can be resumed at the next start."}};
  desktop.download_folder = QString::fromStdString(dir.path());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<TestLink> links;
    for (char name : {'a', 'b', 'c'})
      links.push_back({"F", "http://127.0.0.1:" + server.PortText() + "/" + name + std::to_string(c.running)});
    auto& w = Open(CatalogueXml({{"Files", "", "", "", links}}));
    w.run_downloads = true;
    for (int i = 0; i < c.running + c.paused; ++i) {
      w.URLCBx->setCurrentIndex(i);
      w.URLCBxChange();
      w.DownloadBtn->click();
      if (i >= c.running) w.DLScrollBox->RowsTopDown()[0]->PauseLink->Click();
    }
    desktop.message_boxes.clear();
    desktop.message_box_answer = TMsgResult::mrNo;
    EXPECT_FALSE(w.close());
    ASSERT_EQ(desktop.message_boxes.size(), 1u);
    EXPECT_EQ(desktop.message_boxes[0].text, c.text);
    EXPECT_EQ(desktop.message_boxes[0].default_no, c.running > 0);
    desktop.message_box_answer = TMsgResult::mrYes;
    EXPECT_TRUE(w.close());
  }
}

// Download on a link whose row came back paused selects that row: no second
// row, no question, and it stays paused.
TEST_F(WindowTest, DownloadOnALinkThatHasItsRowSelectsIt) {
  desktop.download_folder = QString::fromStdString(dir.path());
  const std::string xml = CatalogueXml({kPaint});
  const std::string path = Open(xml).DownloadListPath();
  window->close();
  TSavedDownload saved;
  saved.url = "http://127.0.0.1/paint.exe";
  saved.file = dir.File("paint.exe");
  saved.state = TSavedDownload::kPaused;
  WriteDownloadList(path, {saved});
  auto& w = Open(xml);
  w.run_downloads = true;
  w.DownloadBtn->click();
  ASSERT_EQ(w.DLScrollBox->Rows().size(), 1u);
  EXPECT_EQ(w.DLScrollBox->SelectedRow(), w.DLScrollBox->Rows()[0]);
  EXPECT_TRUE(desktop.message_boxes.empty());
  EXPECT_EQ(w.DLScrollBox->Rows()[0]->StatusLabel->toolTip(), "Paused.");
}

}  // namespace
}  // namespace quillon
