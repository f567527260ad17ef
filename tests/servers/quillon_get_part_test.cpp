// The part is the download's own from open to rename: quillon-get against a
// scripted server that holds the rest of the body while the test acts as
// another program, a second download or another user, and what becomes of
// a destination that exists or appears meanwhile.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <future>
#include <string>

#include "base/sha256_hasher.h"
#include "tests/support/gate.h"
#include "tests/support/pattern.h"
#include "tests/support/quillon_get_run.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using namespace testing;

constexpr uid_t kNobody = 65534;

// An HTTP peer that sends the head and the first half of `body`, then holds
// the rest until Release().
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
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + server_.PortText() + path; }
  // Waits until the download has asked (its part is taken by then).
  bool Requested() { return requested_.Wait(20000); }
  void Release() { release_.Open(); }
  int Accepted() const { return server_.Accepted(); }

 private:
  std::string body_;
  Gate requested_, release_;
  ScriptedServer server_;
};

std::string Sha256Of(const std::string& bytes) {
  TSha256Hasher hasher;
  hasher.Update(bytes);
  return hasher.HexDigest();
}

struct stat Lstat(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st;
}

// A verified download whose part's name is taken over while it runs ends in
// failure, never "(verified)" with another's bytes; a second download that
// writes to the running download's part is refused before it fetches.
TEST_F(QuillonGet, ASwappedPartIsNeverCommitted) {
  const std::string ours = Pattern(200000, 1), theirs = Pattern(1000, 2);
  ScriptedServer other(AnswerWith("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n" + theirs));
  const std::string a = dir_.File("a.bin"), part = a + ".part";
  struct Case {
    const char* name;
    std::function<void()> meanwhile;
    int status;
    std::string err;
  } cases[] = {
      {"another program renames its file over the part",
       [&] {
         WriteFile(dir_.File("theirs"), theirs);
         ASSERT_EQ(std::rename(dir_.File("theirs").c_str(), part.c_str()), 0);
       },
       3, "quillon-get: Download failed: a.bin.part was replaced by another program during the download; a.bin "
          "was not changed.\n"},
      {"a second download writes to the part's name",
       [&] {
         Outcome second = Run("http://127.0.0.1:" + other.PortText() + "/a.bin.part " + part, "", "second");
         EXPECT_EQ(second.status, 3);
         EXPECT_EQ(second.err,
                   "quillon-get: Download failed: a.bin.part is the partial file of another running download.\n");
         EXPECT_EQ(other.Accepted(), 0);
       },
       0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(a, "old");
    HeldBody server(ours);
    auto first = std::async(std::launch::async,
                            [&] { return Run("--sha256 " + Sha256Of(ours) + " " + server.Url("/a.bin") + " " + a); });
    ASSERT_TRUE(server.Requested());
    c.meanwhile();
    server.Release();
    const Outcome o = first.get();
    EXPECT_EQ(o.status, c.status) << o.err;
    EXPECT_EQ(o.err, c.err);
    EXPECT_TRUE(ReadFile(a) == (c.status == 0 ? ours : "old"));
    EXPECT_EQ(o.out.find("(verified)") != std::string::npos, c.status == 0) << o.out;
    std::remove(part.c_str());
  }
}

// In a shared folder (mode 1777) another user's NAME.part, writable by all,
// is never written: the user's NAME stays the user's, with the mode of a
// new file; where it cannot be removed the download is refused first.
TEST_F(QuillonGet, APartPlantedByAnotherUserIsNotAdopted) {
  if (::geteuid() != 0) GTEST_SKIP() << "not root: the planted part needs a second user (nobody)";
  const std::string body = Pattern(50000, 3);
  // nobody passes through the test's folder into the shared one.
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0711), 0);
  const std::string shared = dir_.File("shared"), v = shared + "/v.bin", part = v + ".part";
  ASSERT_EQ(::mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  struct Case {
    const char* name;
    uid_t planter;
    std::string as_user;  // a shell prefix that runs quillon-get as another user
    int status;
    std::string err;
  } cases[] = {
      {"planted by nobody, fetched by root", kNobody, "", 0, ""},
      {"planted by root, fetched by nobody", 0, "setpriv --reuid=65534 --regid=65534 --clear-groups ", 3,
       "quillon-get: Download failed: v.bin.part belongs to another user and cannot be replaced (Operation not "
       "permitted).\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(v.c_str());
    WriteFile(part, "");
    ASSERT_EQ(::chmod(part.c_str(), 0666), 0);
    ASSERT_EQ(::chown(part.c_str(), c.planter, c.planter), 0);
    // The planter keeps the file open, to write the user's file through it later.
    const int planted = ::open(part.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(planted, 0);
    struct stat planted_st {};
    ::fstat(planted, &planted_st);
    ScriptedServer server(AnswerWith("HTTP/1.0 200 OK\r\nContent-Length: 50000\r\n\r\n" + body));
    const Outcome o = Run("http://127.0.0.1:" + server.PortText() + "/v.bin " + v, "umask 022; " + c.as_user);
    EXPECT_EQ(o.status, c.status) << o.err;
    EXPECT_EQ(o.err, c.err);
    if (c.status == 0) {
      EXPECT_TRUE(ReadFile(v) == body);
      const struct stat st = Lstat(v);
      EXPECT_EQ(st.st_uid, 0u);
      EXPECT_EQ(st.st_mode & 07777, 0644u);
      EXPECT_EQ(::pwrite(planted, "evil", 4, 0), 4);
      EXPECT_TRUE(ReadFile(v) == body);
    } else {
      EXPECT_EQ(server.Accepted(), 0);
      EXPECT_EQ(Lstat(part).st_ino, planted_st.st_ino);
      EXPECT_EQ(ReadFile(part), "");
    }
    ::close(planted);
    std::remove(part.c_str());
  }
}

// What becomes of a destination that exists or appears: --no-clobber never
// replaces it, not even when it is made during the download; without FILE
// an existing NAME is kept and the file saved as "NAME (1).ext"; a FILE
// folder that does not exist fails before anything is fetched.
TEST_F(QuillonGet, ExistingDestinationsAreKept) {
  const std::string body = Pattern(20000, 4);
  const std::string f = dir_.File("f.bin");
  const std::string in_dir = "cd " + dir_.path() + " && ";
  struct Case {
    const char* name;
    std::string args, prefix;  // the URL follows args
    bool before, meanwhile;    // f.bin is made before the start / during the download
    int status;
    std::string out_line, err;
    std::string saved;  // the file with the downloaded bytes
  } cases[] = {
      {"--no-clobber, made meanwhile", "--no-clobber -o " + f + " ", "", false, true, 3, "",
       "quillon-get: Download failed: f.bin was made by another program during the download and is not replaced; "
       "the downloaded file is kept as f.bin.part.\n",
       "f.bin.part"},
      {"no FILE, existing", "", in_dir, true, false, 0, "f.bin exists; saving as f (1).bin.\n", "", "f (1).bin"},
      {"no FILE, made meanwhile", "", in_dir, false, true, 0, "Saved as f (1).bin.\n", "", "f (1).bin"},
      {"missing folder", "-o " + dir_.File("newdir/") + " ", "", false, false, 3, "",
       "quillon-get: " + dir_.File("newdir/") + ": no such folder.\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.before) WriteFile(f, "mine");
    HeldBody server(body);
    auto run = std::async(std::launch::async, [&] { return Run(c.args + server.Url("/f.bin"), c.prefix); });
    if (c.saved.empty()) {
      server.Release();
    } else {
      ASSERT_TRUE(server.Requested());
      if (c.meanwhile) WriteFile(f, "mine");
      server.Release();
    }
    const Outcome o = run.get();
    EXPECT_EQ(o.status, c.status) << o.err;
    EXPECT_EQ(o.err, c.err);
    if (!c.out_line.empty()) EXPECT_NE(o.out.find(c.out_line), std::string::npos) << o.out;
    if (c.saved.empty()) {
      EXPECT_EQ(server.Accepted(), 0);
      EXPECT_FALSE(FileExists(dir_.File("newdir")));
      continue;
    }
    EXPECT_EQ(ReadFile(f), "mine");
    EXPECT_TRUE(ReadFile(dir_.File(c.saved)) == body);
    for (const char* name : {"f.bin", "f.bin.part", "f (1).bin"}) std::remove(dir_.File(name).c_str());
  }
}

}  // namespace
}  // namespace quillon
