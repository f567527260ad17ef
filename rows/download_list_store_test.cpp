// The download list kept across restarts: the file's form and what it
// refuses, rows saved and brought back (finished, gone, paused with a part)
// and continued by Resume to the same bytes, "Clear finished", and writes
// coalesced by the save timer.
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/sha256_hasher.h"
#include "rows/dl_scroll_box.h"
#include "rows/dl_visual_panel.h"
#include "download/download_list_store.h"
#include "download/partial_file.h"
#include "tests/support/dl_widgets_fixture.h"
#include "tests/support/event_wait.h"
#include "tests/support/ftp_script.h"
#include "tests/support/pattern.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using namespace testing;

TSavedDownload Row(const std::string& file, TSavedDownload::TState state, const std::string& status = "") {
  TSavedDownload row;
  row.url = "http://127.0.0.1:1/f.bin";
  row.file = file;
  row.state = state;
  row.status = status;
  row.started = 1765000000;
  return row;
}

TEST(DownloadListStoreTest, RowsComeBackAsWritten) {
  testing::TempDir dir;
  TSavedDownload full = Row("/home/u/Downloads/caf\xE9.bin", TSavedDownload::kPaused);  // not UTF-8
  full.url = "HTTPS://example.test/f?a=1&b=\xC3\xA9";
  full.received = 4000;
  full.total = 10000;
  full.expected_size = 10000;
  full.expected_sha256 = std::string(64, 'a');
  full.authenticated = false;
  full.mirrors = {"ftp://m.test/f.bin", "http://n.test/f.bin"};
  const std::vector<TSavedDownload> rows = {full, Row("/d/done", TSavedDownload::kFinished, "Download Complete."),
                                            Row("/d/x", TSavedDownload::kFailed, "Download failed: 404 Not Found")};
  const std::string path = dir.File("state/quillon/list.json");
  WriteDownloadList(path, rows);
  EXPECT_EQ(ReadDownloadList(path), rows);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Rows the reader would refuse are not written; no file means no rows.
  WriteDownloadList(path, {full, Row("relative/name", TSavedDownload::kFinished)});
  EXPECT_EQ(ReadDownloadList(path), std::vector<TSavedDownload>{full});
  EXPECT_TRUE(ReadDownloadList(dir.File("none.json")).empty());
}

// Queued rows keep their places; a list written before there were queued
// rows still reads.
TEST(DownloadListStoreTest, QueuedRowsKeepTheirPlaces) {
  TSavedDownload second = Row("/d/second.bin", TSavedDownload::kQueued), first = Row("/d/first.bin", TSavedDownload::kQueued);
  second.queue_place = 2;
  first.queue_place = 1;
  const std::vector<TSavedDownload> rows = {second, Row("/d/p.bin", TSavedDownload::kPaused, "Paused."), first};
  EXPECT_EQ(DecodeDownloadList(EncodeDownloadList(rows)), rows);
  const std::string older =
      "{\"format\": \"quillon download list\", \"version\": 1, \"rows\": [{\"url\": \"http://127.0.0.1:1/f.bin\", "
      "\"file\": \"/d/p.bin\", \"state\": \"paused\", \"status\": \"Paused.\", \"received\": -1, \"total\": -1, "
      "\"started\": 1765000000, \"expected_size\": -1, \"expected_sha256\": \"\", \"authenticated\": true, "
      "\"mirrors\": []}]}";
  EXPECT_EQ(DecodeDownloadList(older), std::vector<TSavedDownload>{rows[1]});
  EXPECT_EQ(EncodeDownloadList({rows[1]}).find("queue"), std::string::npos);  // readable by the older program
}

TEST(DownloadListStoreTest, BrokenOrHostileListsAreRefusedWhole) {
  const std::string good = EncodeDownloadList({Row("/d/f.bin", TSavedDownload::kPaused, "Paused.")});
  ASSERT_EQ(DecodeDownloadList(good).size(), 1u);
  auto with = [&](const std::string& from, const std::string& to) {
    std::string s = good;
    const size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
  };
  std::string many = "{\"format\": \"quillon download list\", \"version\": 1, \"rows\": [";
  for (int i = 0; i < 1001; ++i) many += (i ? ",{}" : "{}");
  many += "]}";
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"not JSON", "quillon download list 1\n"},
      {"cut short", good.substr(0, good.size() / 2)},
      {"another format", with("quillon download list", "other list")},
      {"another version", with("\"version\": 1", "\"version\": 2")},
      {"rows not a list", with("\"rows\": [", "\"rows\": 5, \"x\": [")},
      {"too many rows", many},
      {"too large", good + std::string((4 << 20) + 1 - good.size(), ' ')},
      {"a local URL", with("http://127.0.0.1:1/f.bin", "file:///etc/passwd")},
      {"a script URL", with("http://127.0.0.1:1/f.bin", "javascript:alert(1)")},
      {"a mirror elsewhere", with("\"mirrors\": [", "\"mirrors\": [\"file:///x\"")},
      {"a relative file", with("/d/f.bin", "d/f.bin")},
      {"a file with ..", with("/d/f.bin", "/d/../../etc/f.bin")},
      {"a folder", with("/d/f.bin", "/d/")},
      {"a control character", with("Paused.", "Paused.\\u001b[2J")},
      {"a line break in the URL", with("1:1/f.bin\"", "1:1/f.bin\\r\\nHost: x\"")},
      {"an overlong status", with("Paused.", std::string(5000, 'x'))},
      {"a huge number", with("\"total\": -1", "\"total\": 1e300")},
      {"a fraction", with("\"received\": -1", "\"received\": 1.5")},
      {"a negative number", with("\"expected_size\": -1", "\"expected_size\": -7")},
      {"a number as text", with("\"started\": 1765000000", "\"started\": \"1765000000\"")},
      {"a hash not hex", with("\"expected_sha256\": \"\"", "\"expected_sha256\": \"" + std::string(64, 'G') + "\"")},
      {"an unknown state", with("\"paused\"", "\"running\"")},
      {"a queued row without its place", with("\"paused\"", "\"queued\"")},
      {"bad base64", with("\"/d/f.bin\"", "{\"base64\": \"!!\"}")},
      {"a missing field", with("\"authenticated\": true,", "")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(DecodeDownloadList(c.bytes), EDownloadListStore);
  }
  // What is not a regular file is not read.
  testing::TempDir dir;
  ASSERT_EQ(::mkdir(dir.File("folder").c_str(), 0700), 0);
  WriteFile(dir.File("real.json"), good);
  ASSERT_EQ(::symlink(dir.File("real.json").c_str(), dir.File("link.json").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.File("fifo.json").c_str(), 0600), 0);
  for (const char* name : {"folder", "link.json", "fifo.json"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(ReadDownloadList(dir.File(name)), EDownloadListStore);
  }
}

// Rows brought back from a list: finished, gone, paused with a part, failed
// with and without one; saved again, each keeps its state.
TEST_F(DLWidgetsTest, SavedRowsComeBack) {
  WriteFile(dir_.File("done.bin"), "0123456789");
  WriteFile(dir_.File("paused.bin.part"), std::string(4000, 'p'));
  WriteFile(dir_.File("failed-part.bin.part"), std::string(10, 'p'));
  struct Case {
    TSavedDownload saved;
    std::string status;  // shown
    QString action;
    QString pause;  // "": hidden
    int position;
    bool finished;
    TSavedDownload::TState saved_again;
  } cases[] = {
      {Row(dir_.File("done.bin"), TSavedDownload::kFinished, "Download Complete. (verified)"),
       "Download Complete.", "Open", "", 100, true, TSavedDownload::kFinished},
      {Row(dir_.File("gone.bin"), TSavedDownload::kFinished, "Download Complete."), "File no longer exists.",
       "Download", "", 0, true, TSavedDownload::kFinished},
      {[&] {
         TSavedDownload r = Row(dir_.File("paused.bin"), TSavedDownload::kPaused, "Paused.");
         r.total = 10000;
         return r;
       }(),
       "Paused.", "Cancel", "Resume", 40, false, TSavedDownload::kPaused},
      {Row(dir_.File("failed-part.bin"), TSavedDownload::kFailed, "Download incomplete."), "Paused.", "Cancel",
       "Resume", 0, false, TSavedDownload::kPaused},
      {Row(dir_.File("failed.bin"), TSavedDownload::kFailed, "Download failed: 404 Not Found"),
       "Download failed: 404 Not Found", "Download", "", 0, false, TSavedDownload::kFailed},
  };
  QWidget window;
  TDLScrollBox list(&window);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.saved.file);
    TDLVisualPanel* row = list.AddDownload(c.saved.url, c.saved.file);
    row->SetCancelCaption("Cancel");
    row->Restore(c.saved);
    EXPECT_EQ(row->StatusLabel->toolTip().toStdString(), c.status);
    EXPECT_EQ(row->ActionLink->text(), c.action);
    EXPECT_EQ(row->PauseLink->isVisibleTo(row) ? row->PauseLink->text() : QString(), c.pause);
    EXPECT_EQ(row->ProgressCyl->Position(), c.position);
    EXPECT_EQ(row->Finished(), c.finished);
    const std::optional<TSavedDownload> again = row->SavedDownload();
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->state, c.saved_again);
    EXPECT_EQ(again->url, c.saved.url);
    EXPECT_EQ(again->started, c.saved.started);
    EXPECT_NE(again->status, "File no longer exists.");  // the file may come back
  }
}

// A finished row claims only what its file shows today. The list may be
// planted: its status and hash prove nothing; "(verified)" needs the
// catalogue's hash to match the file, hashed off the window's thread when
// the file is large.
TEST_F(DLWidgetsTest, RestoredFinishedRowsClaimOnlyWhatTheFileShows) {
  const std::string big = Pattern(3 << 20, 5);  // more than is hashed at once
  WriteFile(dir_.File("big.bin"), big);
  WriteFile(dir_.File("small.bin"), "genuine");
  WriteFile(dir_.File("other.bin"), "planted");
  auto link = [](const std::string& bytes, bool authenticated = true) {
    TCatalogueLink l;
    l.expected = {static_cast<int64_t>(bytes.size()), TSha256Hasher::HexOf(bytes), "", authenticated};
    return std::optional<TCatalogueLink>(l);
  };
  const struct {
    const char *file, *saved_status;
    std::optional<TCatalogueLink> link;
    bool hashed_later;
    std::string status;
  } cases[] = {
      {"other.bin", "Download Complete. (verified)", link("genuine"), false, "File changed since download."},
      {"other.bin", "Download Complete. (verified)", std::nullopt, false, "Download Complete."},
      {"small.bin", "Download Complete.", link("genuine"), false, "Download Complete. (verified)"},
      {"small.bin", "Completed. (verified)", link("genuine", false), false, "Completed."},
      {"big.bin", "Download Complete.", link(big), true, "Download Complete. (verified)"},
      {"big.bin", "Download Complete. (verified)", link(Pattern(3 << 20, 6)), true, "File changed since download."},
      {"big.bin", "Download Complete. (verified)", link(big + "x"), false, "File changed since download."},
  };
  QWidget window;
  TDLScrollBox list(&window);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.file) + ", " + c.status);
    TSavedDownload saved = Row(dir_.File(c.file), TSavedDownload::kFinished, c.saved_status);
    saved.expected_sha256 = TSha256Hasher::HexOf("planted");  // proves nothing
    TDLVisualPanel* row = list.AddDownload(saved.url, saved.file);
    row->Restore(saved, c.link);
    EXPECT_EQ(row->StatusLabel->toolTip() == "Checking the file's SHA-256...", c.hashed_later);
    ASSERT_TRUE(RunUntil([&] { return row->StatusLabel->toolTip() != "Checking the file's SHA-256..."; }));
    EXPECT_EQ(row->StatusLabel->toolTip().toStdString(), c.status);
    EXPECT_EQ(row->ActionLink->text(), QString(c.status.starts_with("File changed") ? "Download" : "Open"));
  }
}

// Resume or Download of a restored row asks before it writes over an
// existing file, and writes only into the row's own folder, never making it.
TEST_F(DLWidgetsTest, RestoredRowsAskBeforeReplacingAndKeepToTheirFolder) {
  WriteFile(dir_.File("mine.bin"), "the user's");
  desktop_.message_box_answer = TMsgResult::mrCancel;
  const std::string gone = dir_.File("gone");
  const struct {
    std::string file;
    TSavedDownload::TState state;
    bool resume;  // the pause link, else the action link
    size_t questions;
    std::string status;
  } cases[] = {
      {dir_.File("mine.bin"), TSavedDownload::kPaused, true, 1, "Paused."},
      {gone + "/f.bin", TSavedDownload::kPaused, true, 0, "Download failed: the folder " + gone + " no longer exists."},
      {gone + "/f.bin", TSavedDownload::kFailed, false, 0, "Download failed: the folder " + gone + " no longer exists."},
  };
  QWidget window;
  TDLScrollBox list(&window);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    desktop_.message_boxes.clear();
    TDLVisualPanel* row = list.AddDownload("http://127.0.0.1:1/f.bin", c.file);
    row->Restore(Row(c.file, c.state, "Download failed: 404 Not Found"));
    Click(c.resume ? row->PauseLink : row->ActionLink);
    EXPECT_EQ(desktop_.message_boxes.size(), c.questions);
    EXPECT_EQ(row->StatusLabel->toolTip().toStdString(), c.status);
  }
  EXPECT_EQ(ReadFile(dir_.File("mine.bin")), "the user's");
  EXPECT_FALSE(FileExists(gone));
}

// A download that broke off is saved with the list, brought back as paused
// and continued by Resume without a question, to the server's very bytes; a
// part that went meanwhile is fetched again from nothing. Over HTTP and FTP.
TEST_F(DLWidgetsTest, APausedRowFromTheListResumesToTheSameFile) {
  const std::string body = Pattern(10000, 7);
  for (const bool ftp : {false, true}) {
    for (const bool part_kept : {true, false}) {
      SCOPED_TRACE(std::string(ftp ? "ftp, " : "http, ") + (part_kept ? "part kept" : "part gone"));
      // Each connection's request (HTTP) or command lines (FTP), in order;
      // the first connection breaks off after 4000 bytes.
      std::mutex mutex;
      std::vector<std::string> sessions;
      int connections = 0;
      testing::ScriptedServer server([&](testing::ScriptedConnection& c) {
        int n;
        {
          std::lock_guard<std::mutex> lock(mutex);
          n = ++connections;
        }
        std::string seen;
        if (ftp) {
          testing::FtpFileScript script{.content = body, .mdtm_reply = "213 20250101000000"};
          if (n == 1) script.send_limit = 4000;
          for (const std::string& line : testing::ServeFtpFile(c, script)) seen += line + "\n";
        } else {
          seen = c.ReadUntil("\r\n\r\n");
          const std::string ok = "HTTP/1.0 200 OK\r\nContent-Length: 10000\r\nETag: \"v1\"\r\n\r\n";
          if (n == 1)
            c.Send(ok + body.substr(0, 4000));
          else if (seen.find("\r\nRange: bytes=4000-\r\n") != std::string::npos &&
                   seen.find("\r\nIf-Range: \"v1\"\r\n") != std::string::npos)
            c.Send("HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 4000-9999/10000\r\n"
                   "Content-Length: 6000\r\nETag: \"v1\"\r\n\r\n" + body.substr(4000));
          else
            c.Send(ok + body);
        }
        std::lock_guard<std::mutex> lock(mutex);
        sessions.push_back(seen);
      });
      const std::string url = std::string(ftp ? "ftp" : "http") + "://127.0.0.1:" + server.PortText() + "/f.bin";
      const std::string file = dir_.File(std::string(ftp ? "ftp-" : "http-") + (part_kept ? "kept.bin" : "gone.bin"));
      const std::string list_file = dir_.File("list.json");
      {
        QWidget window;
        TDLScrollBox list(&window);
        list.SetListFile(list_file);
        TDLVisualPanel* row = list.AddDownload(url, file);
        row->StartDownload();
        ASSERT_TRUE(RunUntil([&] { return !row->DownloadInProgress(); }));
        ASSERT_EQ(row->StatusLabel->toolTip(), "Download incomplete.");
        list.SaveNow();
      }
      ASSERT_EQ(ReadFile(PartialFileName(file)), body.substr(0, 4000));
      desktop_.message_boxes.clear();
      if (!part_kept) ::unlink(PartialFileName(file).c_str());

      QWidget window;
      TDLScrollBox list(&window);
      std::vector<TSavedDownload> saved = ReadDownloadList(list_file);
      ASSERT_EQ(saved.size(), 1u);
      EXPECT_EQ(saved[0].state, TSavedDownload::kFailed);
      EXPECT_EQ(saved[0].received, 4000);
      EXPECT_EQ(saved[0].total, 10000);
      // A failed row comes back paused when it left a part; one saved while
      // it ran comes back paused also when its part is gone.
      if (!part_kept) saved[0].state = TSavedDownload::kPaused;
      TDLVisualPanel* row = list.AddDownload(saved[0].url, saved[0].file);
      row->Restore(saved[0]);
      EXPECT_EQ(row->ProgressCyl->Position(), part_kept ? 40 : 0);
      EXPECT_EQ(row->PauseLink->text(), "Resume");
      Click(row->PauseLink);
      ASSERT_TRUE(RunUntil([&] { return !row->DownloadInProgress(); }));
      EXPECT_EQ(row->StatusLabel->toolTip(), ftp ? "Completed." : "Download Complete.");
      EXPECT_EQ(ReadFile(file), body);
      EXPECT_FALSE(FileExists(PartialFileName(file)));
      EXPECT_TRUE(desktop_.message_boxes.empty());  // no resume question
      ASSERT_TRUE(RunUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return sessions.size() == 2;
      }));
      std::lock_guard<std::mutex> lock(mutex);
      const char* continued = ftp ? "REST 4000\n" : "\r\nRange: bytes=4000-\r\n";
      EXPECT_EQ(sessions[1].find(continued) != std::string::npos, part_kept) << sessions[1];
    }
  }
}

// Changes are written together, at most once a second: several changes
// before the timer fires make one write holding all of them. "Clear
// finished" in the list's menu removes the finished rows and saves.
TEST_F(DLWidgetsTest, TheListIsSavedOnceForManyChangesAndClearFinishedSaves) {
  WriteFile(dir_.File("done.bin"), "x");
  WriteFile(dir_.File("paused.bin.part"), "y");
  QWidget window;
  TDLScrollBox list(&window);
  const std::string list_file = dir_.File("list.json");
  list.SetListFile(list_file);
  int writes = 0;
  list.OnListSaved = [&] { ++writes; };
  const TSavedDownload rows[] = {Row(dir_.File("done.bin"), TSavedDownload::kFinished, "Download Complete."),
                                 Row(dir_.File("gone.bin"), TSavedDownload::kFinished, "Download Complete."),
                                 Row(dir_.File("paused.bin"), TSavedDownload::kPaused, "Paused.")};
  for (const TSavedDownload& saved : rows) list.AddDownload(saved.url, saved.file)->Restore(saved);
  EXPECT_FALSE(FileExists(list_file));  // nothing is written at once
  ASSERT_TRUE(RunUntil([&] { return writes > 0; }));
  EXPECT_EQ(writes, 1);
  EXPECT_EQ(ReadDownloadList(list_file).size(), 3u);

  // The menu opens over the rows, with the action enabled while a row is finished.
  QContextMenuEvent menu_event(QContextMenuEvent::Mouse, QPoint(5, 5), list.Rows()[0]->mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(list.Rows()[0], &menu_event);
  ASSERT_TRUE(list.ListMenu->isVisible());
  list.ListMenu->hide();
  QAction* clear = nullptr;
  for (QAction* action : list.ListMenu->actions())
    if (action->text() == "Clear finished") clear = action;
  ASSERT_NE(clear, nullptr);
  clear->trigger();
  ASSERT_EQ(list.Rows().size(), 1u);
  EXPECT_EQ(list.Rows()[0]->LocalFilename(), dir_.File("paused.bin"));
  QApplication::sendEvent(list.Rows()[0], &menu_event);
  EXPECT_FALSE(clear->isEnabled());
  list.ListMenu->hide();
  ASSERT_TRUE(RunUntil([&] { return writes > 1; }));
  const std::vector<TSavedDownload> left = ReadDownloadList(list_file);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].state, TSavedDownload::kPaused);
}

}  // namespace
}  // namespace quillon
