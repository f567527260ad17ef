// quillon-get's exit status and messages, running the built program against
// nginx, vsftpd, tinyproxy and dante on loopback, with its output in a file or
// on a pseudo-terminal.
#include <gtest/gtest.h>
#include <pty.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "download/redacted_url.h"
#include "download/partial_file.h"
#include "tests/support/quillon_get_run.h"
#include "tests/support/real_servers.h"
#include "tests/support/scoped_locale.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_pki.h"
#include "tests/support/vsftpd_server.h"

namespace quillon {
namespace {

using namespace testing;

extern "C" char** environ;

// Runs quillon-get with standard output and error on a pseudo-terminal 200
// columns wide, in the locale `locale`; `out` is what the terminal received
// (its line discipline turns "\n" into "\r\n").
Outcome RunOnTerminal(const std::vector<std::string>& args, const std::string& locale) {
  Outcome o;
  int master = -1, slave = -1;
  winsize size{.ws_row = 24, .ws_col = 200, .ws_xpixel = 0, .ws_ypixel = 0};
  if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
    ADD_FAILURE() << "openpty failed";
    return o;
  }
  std::vector<std::string> env_text{"LC_ALL=" + locale};
  for (char** e = environ; *e; ++e)
    if (!std::string(*e).starts_with("LC_ALL=")) env_text.push_back(*e);
  std::vector<char*> env, argv{const_cast<char*>("quillon-get")};
  for (std::string& e : env_text) env.push_back(e.data());
  env.push_back(nullptr);
  std::vector<std::string> args_copy = args;
  for (std::string& a : args_copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, slave, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, slave, STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, master);
  pid_t pid = -1;
  const std::string program = Program();
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(slave);
  if (spawned == 0) {
    // Reading ends with EIO once the program, the last holder of the
    // terminal's other side, has ended.
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0)
        o.out.append(buffer, static_cast<size_t>(n));
      else if (n < 0 && errno == EINTR)
        continue;
      else
        break;
    }
    int rc = 0;
    ::waitpid(pid, &rc, 0);
    o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  } else {
    ADD_FAILURE() << "cannot start " << program;
  }
  ::close(master);
  return o;
}

// Whether a line of `out` (ended by "\n" or "\r") is a progress text of the
// 293.0 K test file, "<n><point><d>K  of 293<point>0K", behind a percentage
// "NN% " when `percent`.
bool HasProgressLine(const std::string& out, char point, bool percent) {
  for (size_t start = 0; start < out.size();) {
    size_t end = std::min(out.find_first_of("\r\n", start), out.size());
    const std::string line = out.substr(start, end - start);
    start = end + 1;
    const char* text = line.c_str();
    int number = 0, consumed = 0;
    if (percent) {
      if (std::sscanf(text, "%d%% %n", &number, &consumed) != 1 || consumed == 0) continue;
      text += consumed;
      consumed = 0;
    }
    char point1 = 0, point2 = 0;
    if (std::sscanf(text, "%d%c%1dK  of 293%c0K%n", &number, &point1, &number, &point2, &consumed) == 4 &&
        consumed > 0 && point1 == point && point2 == point)
      return true;
  }
  return false;
}

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
  EXPECT_EQ(o.status, 5);
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
  EXPECT_NE(o.out.find("\nDownload Complete.\nSaved " + Target() + " (200000 bytes)\n"), std::string::npos) << o.out;

  o = Run(nginx.Url("/missing") + " " + Target());
  EXPECT_EQ(o.status, 8) << o.err;

  o = Run(nginx.Url("/private/p.txt") + " " + Target());
  EXPECT_EQ(o.status, 6);
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
  EXPECT_NE(o.out.find("\nCompleted.\nSaved " + Target() + " (300000 bytes)\n"), std::string::npos) << o.out;
  EXPECT_EQ(ReadFile(Target()), body);

  // A part recorded with the server's SIZE and MDTM answers is continued
  // (its URL recorded without the password, as a download records it).
  const TPartInfo record{RedactedUrl(url), 300000, ftp.Mdtm("pub/f.bin")};
  testing::WriteFile(Target() + ".part", std::string(1000, 'L'));
  ASSERT_TRUE(WritePartInfo(Target() + ".part", record));
  o = Run("--resume --passive " + url + " " + Target());
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("Continuing the shorter local file."), std::string::npos) << o.out;
  EXPECT_EQ(ReadFile(Target()), std::string(1000, 'L') + body.substr(1000));

  testing::WriteFile(Target() + ".part", std::string(1000, 'L'));
  ASSERT_TRUE(WritePartInfo(Target() + ".part", record));
  o = Run("--no-resume " + url + " " + Target());
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("Fetching the whole file."), std::string::npos) << o.out;
  EXPECT_EQ(ReadFile(Target()), body);
}

// The proxy variables, each against a real proxy whose log shows the request
// it carried (or, going direct, nothing new); the command line's proxy wins
// over the environment's, --noproxy adds to no_proxy.
TEST_F(QuillonGet, ProxiesFromTheEnvironment) {
  testing::TestPki pki(dir_.path());
  const testing::TestPki::Leaf leaf = pki.Server("server", {"127.0.0.1"});
  testing::NginxServer web, secure;
  secure.EnableTls(leaf.cert, leaf.key);
  const std::string body(100000, 'x');
  testing::WriteFile(web.Root() + "/f.bin", body);
  testing::WriteFile(secure.Root() + "/f.bin", body);
  ASSERT_TRUE(web.Start()) << "nginx could not be started: " << web.Failure();
  ASSERT_TRUE(secure.Start()) << "nginx could not be started: " << secure.Failure();
  testing::VsftpdServer ftp;
  ASSERT_TRUE(ftp.Start()) << "vsftpd could not be started: " << ftp.Failure();
  testing::WriteFile(ftp.File("pub/f.bin"), body);
  testing::TinyproxyServer http_proxy;
  ASSERT_TRUE(http_proxy.Start()) << "tinyproxy could not be started: " << http_proxy.Failure();
  testing::MicrosocksServer socks;
  ASSERT_TRUE(socks.Start("bob", "pw")) << "microsocks could not be started: " << socks.Failure();
  testing::MicrosocksServer open_socks;
  ASSERT_TRUE(open_socks.Start()) << "microsocks could not be started: " << open_socks.Failure();

  const std::string tiny = "127.0.0.1:" + std::to_string(http_proxy.port());
  const std::string micro = "bob:pw@127.0.0.1:" + std::to_string(socks.port());
  const std::string http_url = web.Url("/f.bin"), https_url = secure.Url("/f.bin");
  const std::string ftp_url = "ftp://127.0.0.1:" + ftp.PortText() + "/pub/f.bin";
  const std::string cacert = "--cacert " + pki.CaFile() + " ";
  struct Case {
    std::string env, args;
    const testing::ProxyServer* proxy;  // nullptr: direct
    std::string logged;                 // in the proxy's log
  } cases[] = {
      {"http_proxy=http://" + tiny, http_url, &http_proxy, "GET " + http_url},
      {"HTTP_PROXY=http://" + tiny, http_url, nullptr, ""},
      {"https_proxy=" + tiny, cacert + https_url, &http_proxy, "CONNECT 127.0.0.1:" + secure.PortText()},
      {"HTTPS_PROXY=socks5h://" + micro, cacert + https_url, &socks, "127.0.0.1:" + secure.PortText()},
      {"all_proxy=socks5://" + micro, http_url, &socks, "127.0.0.1:" + web.PortText()},
      {"ALL_PROXY=socks5h://" + micro, "--user anonymous --password " + std::string(testing::VsftpdServer::kPassword) +
                                           " " + ftp_url, &socks, "127.0.0.1:" + ftp.PortText()},
      {"all_proxy=" + tiny, "--user anonymous --password " + std::string(testing::VsftpdServer::kPassword) + " " +
                                ftp_url, nullptr, ""},
      {"ftp_proxy=socks5://" + micro + " all_proxy=" + tiny, "--user anonymous --password " +
                                std::string(testing::VsftpdServer::kPassword) + " " + ftp_url, &socks,
       "127.0.0.1:" + ftp.PortText()},
      {"http_proxy=" + tiny + " no_proxy=10.0.0.1,127.0.0.0/8", http_url, nullptr, ""},
      {"http_proxy=" + tiny + " NO_PROXY=localhost", web.UrlFor("LocalHost", "/f.bin"), nullptr, ""},
      {"http_proxy=" + tiny, "--noproxy 127.0.0.1 " + http_url, nullptr, ""},
      {"http_proxy=127.0.0.1:1", "--proxy " + tiny + " " + http_url, &http_proxy, "GET " + http_url},
      {"all_proxy=127.0.0.1:1", "--socks 127.0.0.1:" + std::to_string(open_socks.port()) + " " + http_url,
       &open_socks, "127.0.0.1:" + web.PortText()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.env + " " + c.args);
    const testing::ProxyServer* proxies[] = {&http_proxy, &socks, &open_socks};
    std::string before[3];
    for (int i = 0; i < 3; ++i) before[i] = proxies[i]->Log();
    std::remove(Target().c_str());
    Outcome o = Run(c.args + " " + Target(), c.env + " ");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(ReadFile(Target()), body);
    for (int i = 0; i < 3; ++i) {
      const std::string added = proxies[i]->Log().substr(before[i].size());
      if (proxies[i] == c.proxy)
        EXPECT_NE(added.find(c.logged), std::string::npos) << added;
      else
        EXPECT_EQ(added, "") << "proxy " << i;
    }
  }

  Outcome o = Run(http_url + " " + Target(), "http_proxy=gopher://" + tiny + " ");
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err, "quillon-get: http_proxy: cannot be read as a proxy URL\n");
}

// -o names the file; a folder receives the URL's file name; --quiet prints
// nothing but errors.
TEST_F(QuillonGet, OutputFileFolderTargetAndQuiet) {
  testing::NginxServer nginx;
  testing::WriteFile(nginx.Root() + "/a b.bin", "spaced");
  ASSERT_TRUE(nginx.Start()) << "nginx could not be started: " << nginx.Failure();

  Outcome o = Run("-q -o " + Target() + " " + nginx.Url("/a%20b.bin"));
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out + o.err, "");
  EXPECT_EQ(ReadFile(Target()), "spaced");

  const std::string folder = dir_.File("into");
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  o = Run(nginx.Url("/a%20b.bin?v=2") + " " + folder);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(ReadFile(folder + "/a b.bin"), "spaced");

  o = Run("--quiet " + nginx.Url("/missing") + " " + Target());
  EXPECT_EQ(o.status, 8);
  EXPECT_EQ(o.out, "");
  EXPECT_NE(o.err, "");  // quiet keeps the failure's line
  EXPECT_EQ(ReadFile(Target()), "spaced");
}

// On a terminal one line is rewritten in place and the outcome ends it;
// elsewhere every status is a line. The progress line takes the locale's
// separators in both.
TEST_F(QuillonGet, ProgressOnATerminalAndInAFile) {
  testing::NginxServer nginx;
  testing::WriteFile(nginx.Root() + "/file.bin", std::string(300000, 'p'));
  ASSERT_TRUE(nginx.Start()) << "nginx could not be started: " << nginx.Failure();
  struct Case {
    const char* locale;
    char point;
  } cases[] = {{"C", '.'}, {"de_DE.UTF-8", ','}};
  static_assert(std::size(cases) == std::size(testing::kTestLocales));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.locale);
    testing::ScopedLocale available(c.locale);  // fails when the system lacks it
    ASSERT_TRUE(available.ok());

    Outcome o = RunOnTerminal({nginx.Url("/file.bin"), Target()}, c.locale);
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_TRUE(o.out.starts_with("\rInitiating download...")) << o.out;
    EXPECT_TRUE(HasProgressLine(o.out, c.point, true)) << o.out;
    // Only the outcome ends a line.
    EXPECT_EQ(o.out.find('\n'), o.out.size() - 1) << o.out;
    EXPECT_TRUE(o.out.ends_with("\rDownload Complete. Saved to " + Target() + "\r\n")) << o.out;

    o = Run(nginx.Url("/file.bin") + " " + Target(), std::string("LC_ALL=") + c.locale + " ");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out.find('\r'), std::string::npos) << o.out;
    EXPECT_TRUE(HasProgressLine(o.out, c.point, false)) << o.out;
    EXPECT_TRUE(o.out.ends_with("\nDownload Complete.\nSaved " + Target() + " (300000 bytes)\n")) << o.out;
  }
}

}  // namespace
}  // namespace quillon
