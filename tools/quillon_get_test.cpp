// quillon-get's exit status and messages, running the built program against
// scripted servers on loopback.
#include <gtest/gtest.h>

#include <string>

#include "base/version.h"

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

  const std::string closed = std::to_string(testing::ClosedPort());
  o = Run("http://127.0.0.1:" + closed + "/ " + Target());
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "quillon-get: Download failed: connection refused (127.0.0.1 port " + closed + ")\n");

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
      {url + "/ " + folder, "quillon-get: the URL names no file to save in the folder " + folder},
      {"-o " + folder + " " + url + "/a%2Fb", "quillon-get: the URL names no file to save in the folder " + folder},
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
       "quillon-get: Download failed: 000 Completed.\n"},
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

}  // namespace
}  // namespace quillon
