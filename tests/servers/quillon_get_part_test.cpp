// The part is the download's own from open to rename, and an existing file
// is replaced only when FILE names it: quillon-get against a server that
// holds the rest of the body while the test acts as a second download,
// another user or another program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <utility>

#include "base/sha256_hasher.h"
#include "download/partial_file.h"
#include "tests/support/event_wait.h"
#include "tests/support/gate.h"
#include "tests/support/pattern.h"
#include "tests/support/quillon_get_run.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using namespace testing;

extern "C" char** environ;

// An HTTP peer that sends the head and half of `body`, then holds the rest
// until Release().
class HeldBody {
 public:
  explicit HeldBody(std::string body)
      : body_(std::move(body)), server_([this](ScriptedConnection& c) {
          c.ReadUntil("\r\n\r\n");
          const size_t half = body_.size() / 2;
          c.Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body_.size()) + "\r\n\r\n" +
                 body_.substr(0, half));
          requested_.Open();
          release_.Wait(20000);
          c.Send(body_.substr(half));
        }) {}
  ~HeldBody() { release_.Open(); }
  std::string Url() const { return "http://127.0.0.1:" + server_.PortText() + "/f.bin"; }
  // Waits until the download has asked (its part is taken by then).
  bool Requested() { return requested_.Wait(20000); }
  void Release() { release_.Open(); }
  int Accepted() const { return server_.Accepted(); }

 private:
  std::string body_;
  Gate requested_, release_;
  ScriptedServer server_;
};

TEST_F(QuillonGet, ThePartIsOursAndExistingFilesAreKept) {
  const bool root = ::geteuid() == 0;
  const std::string body = Pattern(100000, 1), f = dir_.File("f.bin"), part = f + ".part";
  TSha256Hasher hasher;
  hasher.Update(body);
  ScriptedServer other(AnswerWith("HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\ntheirs"));
  // A shared folder, where another user may plant a part.
  ASSERT_EQ(::chmod(dir_.path().c_str(), 01777), 0);
  int planted = -1;  // the planter keeps its part open, to write through it later
  auto plant = [&](uid_t owner) {
    WriteFile(part, "");
    ASSERT_EQ(::chmod(part.c_str(), 0666), 0);
    ASSERT_EQ(::chown(part.c_str(), owner, owner), 0);
    planted = ::open(part.c_str(), O_RDWR | O_CLOEXEC);
  };
  auto mine = [&] { WriteFile(f, "mine"); };
  const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  struct Case {
    const char* name;
    bool as_root;  // needs a second user
    std::string args, prefix;
    std::function<void()> before, meanwhile;
    int status;
    std::string out, err;
    std::string saved;  // where the body went ("": nothing fetched)
  } cases[] = {
      {"a second download onto the running one's part", false, "--sha256 " + hasher.HexDigest() + " -o " + f, "",
       [] {},
       [&] {
         Outcome second = Run("http://127.0.0.1:" + other.PortText() + "/x " + part, "", "second");
         EXPECT_EQ(second.status, 3);
         EXPECT_EQ(second.err, "quillon-get: Download failed: f.bin.part is the partial file of another running "
                               "download.\n");
       },
       0, "Download Complete. (verified)", "", "f.bin"},
      {"a part planted by nobody", true, "-o " + f, "", [&] { plant(65534); }, [] {}, 0, "", "", "f.bin"},
      {"nobody fetching, root's part planted", true, "-o " + f, nobody, [&] { plant(0); }, [] {}, 3, "",
       "quillon-get: Download failed: f.bin.part belongs to another user and cannot be replaced (Operation not "
       "permitted).\n",
       ""},
      {"--no-clobber, NAME made meanwhile", false, "--no-clobber -o " + f, "", [] {}, mine, 3, "",
       "quillon-get: Download failed: f.bin was made by another program during the download and is not replaced; "
       "the downloaded file is kept as f.bin.part.\n",
       "f.bin.part"},
      {"no FILE, NAME there", false, "", "cd " + dir_.path() + " && ", mine, [] {}, 0,
       "f.bin exists; saved as f (1).bin.", "", "f (1).bin"},
      {"no FILE, NAME made meanwhile", false, "", "cd " + dir_.path() + " && ", [] {}, mine, 0,
       "f.bin exists; saved as f (1).bin.", "", "f (1).bin"},
      {"a missing folder", false, "-o " + dir_.File("newdir/"), "", [] {}, [] {}, 3, "",
       "quillon-get: " + dir_.File("newdir/") + ": no such folder.\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.as_root && !root) continue;  // reported below
    c.before();
    HeldBody server(body);
    auto run = std::async(std::launch::async, [&] { return Run(c.args + " " + server.Url(), "umask 022; " + c.prefix); });
    if (!c.saved.empty()) {
      ASSERT_TRUE(server.Requested());
      c.meanwhile();
    }
    server.Release();
    const Outcome o = run.get();
    EXPECT_EQ(o.status, c.status) << o.err;
    EXPECT_EQ(o.err, c.err);
    EXPECT_NE(o.out.find(c.out), std::string::npos) << o.out;
    if (planted >= 0) {
      EXPECT_EQ(::pwrite(planted, "evil", 4, 0), 4);
    }
    if (c.saved.empty()) {
      EXPECT_EQ(server.Accepted(), 0);
    } else {
      // The user's own file, with the mode of any new one.
      const std::string saved = dir_.File(c.saved);
      EXPECT_TRUE(ReadFile(saved) == body);
      struct stat st {};
      EXPECT_EQ(::lstat(saved.c_str(), &st), 0);
      EXPECT_EQ(st.st_uid, ::geteuid());
      EXPECT_EQ(st.st_mode & 07777, 0644u);
      if (c.saved != "f.bin") {
        EXPECT_EQ(ReadFile(f), "mine");
      }
    }
    if (planted >= 0) ::close(std::exchange(planted, -1));
    for (const char* name : {"f.bin", "f.bin.part", "f (1).bin"}) std::remove(dir_.File(name).c_str());
  }
  EXPECT_FALSE(FileExists(dir_.File("newdir")));
  if (!root) GTEST_SKIP() << "not root: a part planted by another user needs a second user (nobody)";
}

// Ctrl+C in the middle of a download: the same command then continues the
// part; with the body on standard output no temporary file is left.
TEST_F(QuillonGet, CtrlCThenTheSameCommand) {
  const std::string body = Pattern(100000, 2), tmp = dir_.File("tmp");
  ASSERT_EQ(::mkdir(tmp.c_str(), 0700), 0);
  Gate requested[2];
  std::atomic<int> whole_asked = 0;
  ScriptedServer server([&](ScriptedConnection& c) {
    const std::string request = c.ReadUntil("\r\n\r\n");
    if (request.find("\r\nRange: bytes=") != std::string::npos) {
      const size_t from = std::stoul(request.substr(request.find("bytes=") + 6));
      c.Send("HTTP/1.1 206 Partial Content\r\nETag: \"v\"\r\nContent-Range: bytes " + std::to_string(from) + "-99999/100000" +
             "\r\nContent-Length: " + std::to_string(100000 - from) + "\r\n\r\n" + body.substr(from));
      return;
    }
    c.Send("HTTP/1.1 200 OK\r\nETag: \"v\"\r\nContent-Length: 100000\r\n\r\n" + body.substr(0, 50000));
    requested[whole_asked++ % 2].Open();
    c.ReadToEnd();  // until the client is gone
  });
  const std::string url = "http://127.0.0.1:" + server.PortText() + "/f.bin";
  const std::string out = dir_.File("body");
  for (const std::string& file : {Target(), std::string("-")}) {
    SCOPED_TRACE(file);
    const int run = file == "-";
    const std::string command = "exec env TMPDIR=" + tmp + " " + Program() + " --retries 0 " + url + " " + file + " >" + out + " 2>/dev/null";
    pid_t pid = -1;
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    ASSERT_EQ(::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    ASSERT_TRUE(requested[run].Wait(20000));
    // Some bytes are on disk (or out) before the interrupt.
    const std::string written = file == "-" ? out : PartialFileName(Target());
    ASSERT_TRUE(RunUntil([&] { struct stat st {}; return ::stat(written.c_str(), &st) == 0 && st.st_size > 0; }));
    ::kill(pid, SIGINT);
    int rc = 0;
    ASSERT_EQ(::waitpid(pid, &rc, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(rc) && WTERMSIG(rc) == SIGINT) << rc;
    EXPECT_TRUE(std::filesystem::is_empty(tmp));
  }
  const Outcome o = Run(url + " " + Target());
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("Continuing the shorter local file.\n"), std::string::npos) << o.out;
  EXPECT_TRUE(ReadFile(Target()) == body);
}

}  // namespace
}  // namespace quillon
