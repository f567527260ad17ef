// quillon-get's exit status and messages, running the built program against
// nginx and scripted servers on loopback.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "tests/support/ftp_script.h"
#include "tests/support/http_servers.h"
#include "tests/support/loopback.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_pki.h"
#include "tests/support/vsftpd_server.h"

namespace quillon {
namespace {

using testing::ReadFile;

struct Outcome {
  int status = -1;
  std::string out, err;
};

class QuillonGet : public ::testing::Test {
 protected:
  // `shell_prefix` runs before the program in the same shell (a ulimit).
  Outcome Run(const std::string& args, const std::string& shell_prefix = "") {
    const char* bin = std::getenv("QUILLON_BINARY_DIR");
    std::string program = std::string(bin ? bin : ".") + "/tools/quillon-get";
    std::string command =
        shell_prefix + program + " " + args + " >" + dir_.File("out") + " 2>" + dir_.File("err");
    int rc = std::system(command.c_str());
    Outcome o;
    o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    o.out = ReadFile(dir_.File("out"));
    o.err = ReadFile(dir_.File("err"));
    return o;
  }
  std::string Target() const { return dir_.File("target"); }

  testing::TempDir dir_;
};

TEST_F(QuillonGet, HttpsTrustsTheCaGivenWithCacert) {
  testing::TestPki pki(dir_.path());
  const testing::TestPki::Leaf leaf = pki.Server("server", {"127.0.0.1"});
  testing::NginxServer nginx;
  nginx.EnableTls(leaf.cert, leaf.key);
  testing::WriteFile(nginx.Root() + "/file.bin", std::string(300000, 's'));
  ASSERT_TRUE(nginx.Start()) << "nginx could not be started: " << nginx.Failure();

  Outcome o = Run("--cacert " + pki.CaFile() + " " + nginx.Url("/file.bin") + " " + Target());
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(ReadFile(Target()), std::string(300000, 's'));

  o = Run(nginx.Url("/file.bin") + " " + dir_.File("untrusted"));
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err,
            "quillon-get: Download failed: certificate verify failed: unable to get local issuer certificate "
            "(127.0.0.1)\n");
  EXPECT_FALSE(testing::FileExists(dir_.File("untrusted")));
}

TEST_F(QuillonGet, FetchesFromNginxAndReportsFailures) {
  testing::NginxServer nginx;
  std::string body(200000, 'q');
  testing::WriteFile(nginx.Root() + "/file.bin", body);
  testing::WriteFile(nginx.Root() + "/private/p.txt", "private");
  nginx.AddUser("bob", "pw");
  ASSERT_TRUE(nginx.Start()) << "nginx could not be started: " << nginx.Failure();

  Outcome o = Run(nginx.Url("/file.bin") + " " + Target());
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(ReadFile(Target()), body);
  EXPECT_EQ(o.out.substr(0, 22), "Initiating download...") << o.out;
  EXPECT_NE(o.out.find("\nDownload Complete.\n"), std::string::npos) << o.out;

  o = Run(nginx.Url("/missing") + " " + Target());
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "quillon-get: Download not found.\n");

  o = Run(nginx.Url("/private/p.txt") + " " + Target());
  EXPECT_EQ(o.status, 1);
  o = Run("--user bob --password pw " + nginx.Url("/private/p.txt") + " " + Target());
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(ReadFile(Target()), "private");

  testing::TinyproxyServer proxy;
  ASSERT_TRUE(proxy.Start()) << "tinyproxy could not be started: " << proxy.Failure();
  o = Run("--proxy 127.0.0.1:" + std::to_string(proxy.port()) + " " + nginx.Url("/file.bin") + " " + Target());
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(ReadFile(Target()), body);

  testing::DanteServer dante;
  ASSERT_TRUE(dante.Start()) << "dante could not be started: " << dante.Failure();
  o = Run("--socks 127.0.0.1:" + std::to_string(dante.port()) + " --socks-level 5 " + nginx.Url("/file.bin") + " " +
          Target());
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(ReadFile(Target()), body);
}

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

  EXPECT_EQ(Run("only-one-argument").status, 1);
  o = Run("--user bob ftp://127.0.0.1/x " + Target());
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("usage: quillon-get"), std::string::npos) << o.err;
  EXPECT_EQ(Run("--timeout soon http://127.0.0.1/ " + Target()).status, 1);
  EXPECT_EQ(Run("--socks-level 7 http://127.0.0.1/ " + Target()).status, 1);
  o = Run("gopher://127.0.0.1/x " + Target());
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "quillon-get: Unsupported protocol.\n");
}

TEST_F(QuillonGet, FtpWithTheResumeAnswerFromTheCommandLine) {
  testing::VsftpdServer ftp;
  ASSERT_TRUE(ftp.Start()) << "vsftpd could not be started: " << ftp.Failure();
  std::string body(300000, 'F');
  testing::WriteFile(ftp.File("pub/f.bin"), body);
  std::string url = std::string("ftp://anonymous:") + testing::VsftpdServer::kPassword + "@127.0.0.1:" +
                    ftp.PortText() + "/pub/f.bin";
  Outcome o = Run(url + " " + Target());
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out.substr(0, 43), "Connecting to server...\nSession Connected.\n") << o.out;
  EXPECT_NE(o.out.find("\nCompleted.\n"), std::string::npos) << o.out;
  EXPECT_EQ(ReadFile(Target()), body);

  testing::WriteFile(Target() + ".part", std::string(1000, 'L'));
  o = Run("--resume --passive " + url + " " + Target());
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("Continuing the shorter local file."), std::string::npos) << o.out;
  EXPECT_EQ(ReadFile(Target()), std::string(1000, 'L') + body.substr(1000));

  testing::WriteFile(Target() + ".part", std::string(1000, 'L'));
  o = Run("--no-resume " + url + " " + Target());
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("Fetching the whole file."), std::string::npos) << o.out;
  EXPECT_EQ(ReadFile(Target()), body);
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
      {{.content = content, .retr_reply = "000 Completed."}, "", "quillon-get: Download cancelled.\n"},
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
