// quillon-get's exit status and messages, running the built program against
// scripted servers on loopback.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/version.h"
#include "download/file_name_rule.h"

#include "tests/support/ftp_script.h"
#include "tests/support/loopback.h"
#include "tests/support/quillon_get_run.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using testing::Outcome;
using testing::QuillonGet;
using testing::ReadFile;

TEST_F(QuillonGet, ShortBodyRefusedConnectionAndUsage) {
  testing::ScriptedServer server([](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(50, 's'));
  });
  Outcome o = Run("http://127.0.0.1:" + server.PortText() + "/short " + Target());
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "quillon-get: Download incomplete.\n");
  EXPECT_FALSE(testing::FileExists(Target()));

  o = Run("http://127.0.0.1:" + std::to_string(testing::ClosedPort()) + "/ " + Target());
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("quillon-get: Download failed: "), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("10061"), std::string::npos) << o.err;

  // A URL that cannot be used ends with its reason, never as "not found".
  o = Run("http://127.0.0.1:nosuchservice/x " + Target());
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(o.err.starts_with("quillon-get: Download failed: can't connect: ")) << o.err;
  o = Run("\"$(printf 'http://127.0.0.1:1/a\\rX-Injected: 1')\" " + Target());
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "quillon-get: Download failed: invalid URL.\n");

  o = Run("gopher://127.0.0.1/x " + Target());
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "quillon-get: Unsupported protocol.\n");
}

// A command line that cannot be used: status 2, the usage on standard error
// and nothing fetched; --help and --version answer on standard output.
TEST_F(QuillonGet, CommandLineConventions) {
  const std::string folder = dir_.path();
  const std::string url = "http://127.0.0.1:" + std::to_string(testing::ClosedPort());
  struct Case {
    std::string args;
    std::string err_start;
  } usage_errors[] = {
      {"only-one-argument", "usage: quillon-get"},
      {"--user bob ftp://127.0.0.1/x " + Target(), "usage: quillon-get"},
      {"--timeout soon " + url + "/ " + Target(), "usage: quillon-get"},
      {"--socks-level 7 " + url + "/ " + Target(), "usage: quillon-get"},
      {"--sha256 abc " + url + "/ " + Target(), "usage: quillon-get"},
      {"--size -5 " + url + "/ " + Target(), "usage: quillon-get"},
      {"--bogus " + url + "/ " + Target(), "quillon-get: unknown option --bogus\nusage: quillon-get"},
      {"-o " + Target() + " " + url + "/a " + Target(), "usage: quillon-get"},
      {url + "/a " + Target() + " third", "usage: quillon-get"},
  };
  for (const Case& c : usage_errors) {
    SCOPED_TRACE(c.args);
    Outcome o = Run(c.args);
    EXPECT_EQ(o.status, 2);
    EXPECT_TRUE(o.err.starts_with(c.err_start)) << o.err;
    EXPECT_NE(o.err.find("exit status: 0 downloaded, 1 download failed, 2 unusable command line"), std::string::npos);
    EXPECT_EQ(o.out, "");
  }
  for (const char* help : {"--help", "-h"}) {
    Outcome o = Run(std::string(help) + " --bogus");
    EXPECT_EQ(o.status, 0);
    EXPECT_TRUE(o.out.starts_with("usage: quillon-get")) << o.out;
    EXPECT_EQ(o.err, "");
  }
  Outcome o = Run("--version");
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, std::string("quillon-get ") + kQuillonVersion + "\n");
}

// Transfers that are not the whole file end with status 1 and no FILE.
TEST_F(QuillonGet, IncompleteFtpTransfersAndSilenceFail) {
  const std::string content(300000, 'c');
  struct Case {
    testing::FtpFileScript script;
    std::string prefix;
    std::string err;
  } cases[] = {
      {{.content = content, .send_limit = 150000}, "", "quillon-get: Download incomplete.\n"},
      {{.content = content, .retr_reply = "000 Completed."},
       "",
       "quillon-get: Status = 500 LastResponse was : \"000 Completed.\" (000 Completed.)\n"},
      // A file-size limit of 500 blocks of 512 bytes: the last block fails.
      {{.content = content}, "ulimit -f 500; ", "quillon-get: Download failed: cannot write the file: File too large\n"},
      {{.greet = false}, "", "quillon-get: Download failed: no data for 1 second.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    testing::ScriptedServer server([&](testing::ScriptedConnection& conn) { ServeFtpFile(conn, c.script); });
    Outcome o = Run("--timeout 1 ftp://127.0.0.1:" + server.PortText() + "/f.bin " + Target(), c.prefix);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, c.err);
    EXPECT_FALSE(testing::FileExists(Target()));
  }
}

// A folder receives the file under the name the window proposes for the URL.
TEST_F(QuillonGet, FolderTakesTheUrlsFileName) {
  testing::ScriptedServer server([](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nbody");
  });
  const std::string base = "http://127.0.0.1:" + server.PortText();
  const std::pair<std::string, std::string> cases[] = {
      {"/with%20space/my%20file.pdf", "my file.pdf"},
      {"/gr%C3%BC%C3%9Fe.pdf", "gr\xC3\xBC\xC3\x9F" "e.pdf"},
      {"/guide.pdf?lang=en&x=2", "guide.pdf"},
      {"/a%2Fb", "a_b"},
      {"/dir/%2E%2E", "download"},
      {"/", "download"},
  };
  int n = 0;
  for (const auto& [path, name] : cases) {
    SCOPED_TRACE(path);
    const std::string folder = dir_.File("f" + std::to_string(n++));
    std::filesystem::create_directory(folder);
    Outcome o = Run("-q -o " + folder + " '" + base + path + "'");
    EXPECT_EQ(o.status, 0) << o.err;
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{name});
    EXPECT_EQ(name, SaveFileNameFromUrl(base + path));
  }
}

// FILE is named explicitly, so it is replaced; --no-clobber refuses instead,
// before anything is fetched.
TEST_F(QuillonGet, ReplacesFileUnlessNoClobber) {
  testing::ScriptedServer server([](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nnew");
  });
  const std::string url = "http://127.0.0.1:" + server.PortText() + "/f";
  testing::WriteFile(Target(), "old");
  Outcome o = Run("--no-clobber " + url + " " + Target());
  EXPECT_EQ(o.status, 3);
  EXPECT_EQ(o.err, "quillon-get: " + Target() + " already exists; not replaced (--no-clobber).\n");
  EXPECT_EQ(ReadFile(Target()), "old");
  o = Run("-q " + url + " " + Target());
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(ReadFile(Target()), "new");
}

}  // namespace
}  // namespace quillon
