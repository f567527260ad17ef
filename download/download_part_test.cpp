// NAME.part belongs to one download, and a continued HTTP download continues
// the same file only: planted links, a second download of one name, records
// of earlier parts, and answers that do not continue the part, against
// scripted servers on loopback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "download/download_job.h"
#include "download/partial_file.h"
#include "download/queued_file_stream.h"
#include "tests/support/event_wait.h"
#include "tests/support/ftp_script.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/timed_job.h"

namespace quillon {
namespace {

using namespace testing;
using Job = testing::TimedJob;

constexpr const char* kBusy = "Download failed: f.bin is already being downloaded.";

std::string Ok(const std::string& body, const std::string& validator = "ETag: \"v1\"") {
  return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + validator + "\r\n\r\n" +
         body;
}

// A 206 with `body` as the bytes from `first` of a file of `total` bytes.
std::string Partial(const std::string& validator, size_t first, size_t total, const std::string& body) {
  return "HTTP/1.0 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) + "-" +
         std::to_string(first + body.size() - 1) + "/" + std::to_string(total) + "\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n" + validator + "\r\n\r\n" + body;
}

// An HTTP peer that answers its connections in turn and keeps the requests.
class AnsweringServer {
 public:
  explicit AnsweringServer(std::vector<std::string> answers)
      : answers_(std::move(answers)), server_([this](ScriptedConnection& c) {
          std::string request = c.ReadUntil("\r\n\r\n");
          std::string answer;
          {
            std::lock_guard<std::mutex> lock(mutex_);
            if (requests_.size() < answers_.size()) answer = answers_[requests_.size()];
            requests_.push_back(request);
          }
          c.Send(answer);
        }) {}
  std::string Url() const { return "http://127.0.0.1:" + server_.PortText() + "/f.bin"; }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  std::vector<std::string> answers_;
  std::mutex mutex_;
  std::vector<std::string> requests_;
  ScriptedServer server_;
};

bool IsSymlink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Locks `path` as another download would: an open file description of its
// own with a write lock on the whole file.
class HeldLock {
 public:
  explicit HeldLock(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    locked_ = fd_ >= 0 && ::fcntl(fd_, F_OFD_SETLK, &lock) == 0;
  }
  ~HeldLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool Locked() const { return locked_; }

 private:
  int fd_;
  bool locked_ = false;
};

// Whether a download could take `path` now (true when it does not exist).
bool Free(const std::string& path) {
  if (!FileExists(path)) return true;
  return HeldLock(path).Locked();
}

std::string Record(const std::string& part) {
  TPartInfo info;
  if (!ReadPartInfo(part, info)) return "none";
  return info.url + "|" + std::to_string(info.total) + "|" + info.validator;
}

// ---- NAME.part is ours alone ---------------------------------------------------------------

TEST(DownloadPartTest, PlantedLinksAreNeverWrittenThrough) {
  enum Kind { kSymlink, kHardLink, kFolder };
  struct Case {
    const char* name;
    const char* planted;  // the name that links to the other file
    Kind kind;
  } cases[] = {
      {"NAME.part is a symbolic link", "f.bin.part", kSymlink},
      {"NAME.part is a hard link", "f.bin.part", kHardLink},
      {"NAME is a symbolic link", "f.bin", kSymlink},
      {"NAME.part is a folder", "f.bin.part", kFolder},
  };
  const std::string whole = Pattern(10000, 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    WriteFile(dir.File("other"), "the user's other file");
    const std::string other = dir.File("other"), planted = dir.File(c.planted);
    ASSERT_EQ(c.kind == kSymlink    ? ::symlink(other.c_str(), planted.c_str())
              : c.kind == kHardLink ? ::link(other.c_str(), planted.c_str())
                                    : ::mkdir(planted.c_str(), 0700),
              0);
    AnsweringServer server({Ok(whole)});
    Job j(server.Url(), dir.File("f.bin"));
    j.answer.yes = true;
    ASSERT_TRUE(j.Run());
    EXPECT_TRUE(ReadFile(other) == "the user's other file");
    if (c.kind == kFolder) {
      EXPECT_EQ(j.job.Status(), "Download failed: f.bin.part is not a regular file.");
      EXPECT_TRUE(server.Requests().empty());
      EXPECT_FALSE(FileExists(dir.File("f.bin")));
      continue;
    }
    EXPECT_EQ(j.job.Status(), "Download Complete.");
    EXPECT_FALSE(IsSymlink(dir.File("f.bin")));
    EXPECT_TRUE(ReadFile(dir.File("f.bin")) == whole);
    EXPECT_FALSE(FileExists(dir.File("f.bin.part")) || IsSymlink(dir.File("f.bin.part")));
  }
}

// A part left by an earlier download that is not continued starts afresh:
// its record (extended attributes and side file) goes with its bytes.
TEST(DownloadPartTest, AFreshPartKeepsNoRecordOfTheOldOne) {
  testing::TempDir dir;
  const std::string part = dir.File("f.bin.part");
  WriteFile(part, "an older part");
  const std::string stale = "ftp://elsewhere/f.bin", total = "300000", validator = "\"stale\"";
  ::setxattr(part.c_str(), "user.quillon.url", stale.data(), stale.size(), 0);
  ::setxattr(part.c_str(), "user.quillon.total", total.data(), total.size(), 0);
  ::setxattr(part.c_str(), "user.quillon.validator", validator.data(), validator.size(), 0);
  WriteFile(part + ".info", stale + "\n300000\n\"stale side\"\n");
  FtpFileScript script{.content = Pattern(300000), .send_limit = 150000};
  ScriptedServer server([&](ScriptedConnection& c) { ServeFtpFile(c, script); });
  Job j("ftp://127.0.0.1:" + server.PortText() + "/pub/f.bin", dir.File("f.bin"));
  ASSERT_TRUE(j.Run());
  EXPECT_EQ(j.job.Status(), "Download incomplete.");
  EXPECT_EQ(ReadFile(part), Pattern(150000));
  TPartInfo info;
  EXPECT_FALSE(ReadPartInfo(part, info) && info.url == stale) << Record(part);
  EXPECT_FALSE(FileExists(part + ".info"));
}

// A download holds its part from the start to the end of its transfer; a
// second download of the same NAME meanwhile is refused and touches nothing.
TEST(DownloadPartTest, ASecondDownloadOfOneNameIsRefused) {
  const std::string whole = Pattern(10000, 2);
  std::promise<void> go_on;
  std::shared_future<void> released = go_on.get_future().share();
  ScriptedServer http([&](ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.0 200 OK\r\nContent-Length: 10000\r\nETag: \"v1\"\r\n\r\n" + whole.substr(0, 5000));
    released.wait_for(std::chrono::seconds(10));
    c.Send(whole.substr(5000));
  });
  FtpFileScript script{.content = whole};
  ScriptedServer ftp([&](ScriptedConnection& c) { ServeFtpFile(c, script); });
  const std::string http_url = "http://127.0.0.1:" + http.PortText() + "/f.bin";
  const std::string ftp_url = "ftp://127.0.0.1:" + ftp.PortText() + "/pub/f.bin";

  testing::TempDir dir;
  const std::string dest = dir.File("f.bin"), part = dir.File("f.bin.part");
  Job first(http_url, dest);
  first.job.SetIdleTimeout(0);
  first.job.StartDownload();
  ASSERT_TRUE(RunUntil([&] { return LocalFileSize(part) == 5000; }));
  const std::string record = Record(part);

  // Refused by another download of this process, and by another process's
  // (here: another open file description's) lock on a part of its own.
  auto refused = [&](const std::string& url, const std::string& bytes, const std::string& rec) {
    SCOPED_TRACE(url);
    Job second(url, dest);
    second.answer.yes = true;
    second.job.StartDownload();
    EXPECT_EQ(second.job.Status(), kBusy);
    EXPECT_EQ(second.job.ActionMode(), amStart);
    EXPECT_FALSE(second.job.DownloadInProgress());
    EXPECT_FALSE(second.job.HttpClient() || second.job.FtpClient());
    EXPECT_EQ(second.answer.asked, 0);
    EXPECT_TRUE(ReadFile(part) == bytes);
    EXPECT_EQ(Record(part), rec);
  };
  for (const std::string& url : {http_url, ftp_url}) refused(url, whole.substr(0, 5000), record);
  EXPECT_EQ(http.Accepted(), 1);
  EXPECT_EQ(ftp.Accepted(), 0);

  go_on.set_value();
  ASSERT_TRUE(RunUntil([&] { return !first.job.DownloadInProgress() && !first.job.HttpClient(); }));
  EXPECT_EQ(first.job.Status(), "Download Complete.");
  EXPECT_TRUE(ReadFile(dest) == whole);

  WriteFile(part, "half");
  ASSERT_TRUE(WritePartInfo(part, {http_url, 10000, "\"v1\""}));
  HeldLock other(part);
  ASSERT_TRUE(other.Locked());
  for (const std::string& url : {http_url, ftp_url}) refused(url, "half", Record(part));
  EXPECT_EQ(http.Accepted(), 1);
  EXPECT_EQ(ftp.Accepted(), 0);
  EXPECT_TRUE(ReadFile(dest) == whole);
}

// Every end of a transfer gives the part up, whatever is left of it.
TEST(DownloadPartTest, TheEndOfATransferReleasesThePart) {
  FtpFileScript ftp_script{.content = Pattern(3000)};
  ScriptedServer ftp([&](ScriptedConnection& c) { ServeFtpFile(c, ftp_script); });
  ScriptedServer http([](ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.0 200 OK\r\nContent-Length: 9000\r\nETag: \"v1\"\r\n\r\n" + Pattern(3000));
    c.ReadToEnd();  // until the client goes
  });
  ScriptedServer whole(AnswerWith("HTTP/1.0 200 OK\r\nContent-Length: 3000\r\nETag: \"v1\"\r\n\r\n" + Pattern(3000)));
  const std::string http_url = "http://127.0.0.1:" + http.PortText() + "/f.bin";
  const std::string http_whole = "http://127.0.0.1:" + whole.PortText() + "/f.bin";
  const std::string ftp_url = "ftp://127.0.0.1:" + ftp.PortText() + "/pub/f.bin";
  struct Case {
    const char* name;
    std::string url;
    std::function<void(std::unique_ptr<Job>&)> run;
    bool kept = true;  // the part stays
  } cases[] = {
      {"HTTP, no data for a second", http_url, [](std::unique_ptr<Job>& j) { ASSERT_TRUE(j->Run()); }},
      {"HTTP, cancelled", http_url,
       [](std::unique_ptr<Job>& j) {
         j->job.StartDownload();
         ASSERT_TRUE(RunUntil([&] { return LocalFileSize(j->job.LocalFilename() + ".part") == 3000; }));
         j->job.ActionClick();
         ASSERT_TRUE(RunUntil([&] { return !j->job.DownloadInProgress() && !j->job.HttpClient(); }));
       }},
      {"HTTP, the job destroyed", http_url,
       [](std::unique_ptr<Job>& j) {
         j->job.StartDownload();
         ASSERT_TRUE(RunUntil([&] { return LocalFileSize(j->job.LocalFilename() + ".part") == 3000; }));
         j.reset();
       }},
      {"HTTP, cancelled while the part is committed", http_whole,
       [](std::unique_ptr<Job>& j) {
         TQueuedFileStream::HoldWriterForTesting(true);
         j->job.StartDownload();
         const bool committing = RunUntil([&] { return !j->job.HttpClient() && j->job.DownloadInProgress(); });
         j->job.ActionClick();
         TQueuedFileStream::HoldWriterForTesting(false);
         ASSERT_TRUE(committing);
         EXPECT_EQ(j->job.Status(), "Download Cancelled.");
       },
       false},
      {"FTP, the publisher's size differs", ftp_url,
       [](std::unique_ptr<Job>& j) {
         TExpectedFile publisher;
         publisher.size = 5000;
         j->job.SetExpectedFile(publisher);
         ASSERT_TRUE(j->Run());
       }},
      {"FTP, a user without a password", "ftp://bob@127.0.0.1:" + ftp.PortText() + "/pub/f.bin",
       [](std::unique_ptr<Job>& j) { ASSERT_TRUE(j->Run()); }},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    WriteFile(dir.File("f.bin.part"), "LL");
    auto j = std::make_unique<Job>(c.url, dir.File("f.bin"));
    c.run(j);
    EXPECT_EQ(FileExists(dir.File("f.bin.part")), c.kept);
    EXPECT_TRUE(Free(dir.File("f.bin.part")));
    EXPECT_FALSE(FileExists(dir.File("f.bin")));
  }
}

// ---- A continued HTTP download continues the same file ------------------------------------

TEST(DownloadPartTest, OnlyTheSameFileIsContinued) {
  const std::string old = Pattern(10000), fresh = Pattern(10000, 3), longer = Pattern(12000, 4),
                    shorter = Pattern(4000, 5);
  const std::string lm = "Wed, 01 Jan 2025 00:00:00 GMT";
  const std::string not_asked = "Download failed: 206 Partial Content (not the part of the file that was asked for)";
  struct Case {
    const char* name;
    std::vector<std::string> answers;
    std::string url = "";  // of the record: appended to the download's own
    std::string total = "10000";
    std::string validator = "\"v1\"";
    // What follows: a question, the status, NAME ("" none), the part left
    // ("-" none), and which requests asked for a range.
    bool asked = true;
    std::string status = "Download Complete.";
    std::string file = "";
    std::string part = "-";
    std::vector<bool> ranged;
  } cases[] = {
      {.name = "206 of another version",
       .answers = {Partial("ETag: \"v2\"", 4000, 10000, fresh.substr(4000)), Ok(fresh, "ETag: \"v2\"")},
       .file = fresh,
       .ranged = {true, false}},
      {.name = "206 without a validator",
       .answers = {Partial("X-No: validator", 4000, 10000, fresh.substr(4000)), Ok(fresh)},
       .file = fresh,
       .ranged = {true, false}},
      {.name = "206 at the part's end with another total",
       .answers = {Partial("ETag: \"v1\"", 4000, 12000, longer.substr(4000)), Ok(longer)},
       .file = longer,
       .ranged = {true, false}},
      {.name = "416 with a shorter total",
       .answers = {"HTTP/1.0 416 Range Not Satisfiable\r\nContent-Range: bytes */4000\r\n\r\n", Ok(shorter)},
       .file = shorter,
       .ranged = {true, false}},
      {.name = "206 of another range",
       .answers = {Partial("ETag: \"v1\"", 3000, 10000, old.substr(3000))},
       .status = not_asked,
       .part = old.substr(0, 4000),
       .ranged = {true}},
      {.name = "206 without a byte",
       .answers = {"HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 4000-9999/10000\r\nContent-Length: 0\r\n"
                   "ETag: \"v1\"\r\n\r\n"},
       .status = not_asked,
       .part = old.substr(0, 4000),
       .ranged = {true}},
      {.name = "a 206 again when the whole file is asked for",
       .answers = {Partial("ETag: \"v2\"", 4000, 10000, fresh.substr(4000)),
                   Partial("ETag: \"v2\"", 4000, 10000, fresh.substr(4000))},
       .status = not_asked,
       .ranged = {true, false}},
      {.name = "206 with the recorded Last-Modified",
       .answers = {Partial("ETag: \"x\"\r\nLast-Modified: " + lm, 4000, 10000, old.substr(4000))},
       .validator = lm,
       .file = old,
       .ranged = {true}},
      // Records that are not continued.
      {.name = "a line break in the validator",
       .answers = {Ok(fresh)},
       .validator = "\"v1\"\r\nX-Injected: 1",
       .asked = false,
       .file = fresh,
       .ranged = {false}},
      {.name = "a line break in the URL", .answers = {Ok(fresh)}, .url = "\n", .asked = false, .file = fresh,
       .ranged = {false}},
      {.name = "a total as long as the part", .answers = {Ok(fresh)}, .total = "4000", .asked = false, .file = fresh,
       .ranged = {false}},
      {.name = "a total that is not a number", .answers = {Ok(fresh)}, .total = "1e4", .asked = false, .file = fresh,
       .ranged = {false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    AnsweringServer server(c.answers);
    const std::string part = dir.File("f.bin.part");
    WriteFile(part, old.substr(0, 4000));
    const std::string url = server.Url() + c.url;
    for (auto [name, value] : {std::pair{"user.quillon.url", &url}, std::pair{"user.quillon.total", &c.total},
                               std::pair{"user.quillon.validator", &c.validator}})
      ASSERT_EQ(::setxattr(part.c_str(), name, value->data(), value->size(), 0), 0);
    Job j(server.Url(), dir.File("f.bin"));
    j.answer.yes = true;
    ASSERT_TRUE(j.Run());
    EXPECT_EQ(j.answer.asked, c.asked ? 1 : 0);
    EXPECT_EQ(j.job.Status(), c.status);
    EXPECT_TRUE(c.file.empty() ? !FileExists(dir.File("f.bin")) : ReadFile(dir.File("f.bin")) == c.file);
    EXPECT_TRUE(c.part == "-" ? !FileExists(part) : ReadFile(part) == c.part);
    std::vector<std::string> requests = server.Requests();
    EXPECT_EQ(requests.size(), c.ranged.size());
    for (size_t i = 0; i < std::min(requests.size(), c.ranged.size()); ++i) {
      EXPECT_EQ(requests[i].find("\r\nRange: bytes=4000-\r\n") != std::string::npos, c.ranged[i]) << requests[i];
      EXPECT_EQ(requests[i].find("If-Range:") != std::string::npos, c.ranged[i]) << requests[i];
      EXPECT_EQ(requests[i].find("X-Injected"), std::string::npos) << requests[i];
    }
  }
}

// A part left by a download of URL A is not continued by a download of URL
// B to the same NAME.
TEST(DownloadPartTest, APartOfAnotherUrlIsNotContinued) {
  const std::string a = Pattern(10000, 6), b = Pattern(10000, 7);
  AnsweringServer first({"HTTP/1.0 200 OK\r\nContent-Length: 10000\r\nETag: \"v1\"\r\n\r\n" + a.substr(0, 4000)});
  AnsweringServer second({Ok(b)});
  testing::TempDir dir;
  Job from_a(first.Url(), dir.File("f.bin"));
  ASSERT_TRUE(from_a.Run());
  EXPECT_EQ(from_a.job.Status(), "Download incomplete.");
  Job from_b(second.Url(), dir.File("f.bin"));
  from_b.answer.yes = true;
  ASSERT_TRUE(from_b.Run());
  EXPECT_EQ(from_b.answer.asked, 0);
  EXPECT_EQ(from_b.job.Status(), "Download Complete.");
  EXPECT_TRUE(ReadFile(dir.File("f.bin")) == b);
  ASSERT_EQ(second.Requests().size(), 1u);
  EXPECT_EQ(second.Requests()[0].find("Range:"), std::string::npos);
}

}  // namespace
}  // namespace quillon
