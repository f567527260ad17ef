// The FTP client against a real vsftpd on loopback, in active and in passive
// mode: downloads, SIZE, restart, listings, uploads, directory and file
// commands, a refused login, Abort and Quit.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>

#include "tests/support/ftp_test_harness.h"
#include "tests/support/loopback.h"
#include "tests/support/real_servers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/vsftpd_server.h"

namespace quillon {
namespace {

using namespace testing;

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

int64_t FileSizeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class FtpVsftpdTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.Start()) << server.Failure();
    h.ftp.SetPort(server.PortText());
    h.ftp.SetPassive(GetParam());
    h.ftp.SetUserName(VsftpdServer::kUser);
    h.ftp.SetPassWord(VsftpdServer::kPassword);
  }

  // Connect, USER, PASS, TYPE I, each as the download row issues them.
  void Login() {
    ASSERT_EQ(h.Run([&] { h.ftp.Connect(); }, ftpRqConnect), 0) << h.ftp.LastResponse();
    ASSERT_EQ(h.Run([&] { h.ftp.User(); }, ftpRqUser), 0) << h.ftp.LastResponse();
    ASSERT_EQ(h.Run([&] { h.ftp.Pass(); }, ftpRqPass), 0) << h.ftp.LastResponse();
    ASSERT_EQ(h.Run([&] { h.ftp.TypeSet(); }, ftpRqTypeSet), 0) << h.ftp.LastResponse();
  }

  VsftpdServer server;
  TempDir local;
  FtpHarness h;
};

TEST_P(FtpVsftpdTest, DownloadSizeAndRestart) {
  const std::string content = RandomBytes(1 << 20, 7);
  WriteFile(server.File("pub/file.bin"), content);
  Login();
  ASSERT_EQ(h.Run([&] { h.ftp.SetHostDirName("pub"); h.ftp.Cwd(); }, ftpRqCwd), 0);

  h.ftp.SetHostFileName("file.bin");
  ASSERT_EQ(h.Run([&] { h.ftp.Size(); }, ftpRqSize), 0);
  EXPECT_EQ(h.ftp.SizeResult(), static_cast<int64_t>(content.size()));

  h.ftp.SetLocalFileName(local.File("whole.bin"));
  ASSERT_EQ(h.Run([&] { h.ftp.Get(); }, ftpRqGet), 0) << h.ftp.ErrorMessage();
  EXPECT_TRUE(ReadFile(local.File("whole.bin")) == content);
  EXPECT_EQ(h.ftp.ByteCount(), static_cast<int64_t>(content.size()));
  EXPECT_TRUE(h.Displayed("! 1048576 bytes received/sent in "));
  EXPECT_EQ(h.ftp.State(), ftpReady);

  // A 3000-byte local file continues from 3000; progress counts from there.
  WriteFile(local.File("part.bin"), content.substr(0, 3000));
  h.ftp.SetLocalFileName(local.File("part.bin"));
  h.progress.clear();
  ASSERT_EQ(h.Run([&] { h.ftp.RestartGet(); }, ftpRqRestartGet), 0) << h.ftp.ErrorMessage();
  EXPECT_TRUE(ReadFile(local.File("part.bin")) == content);
  ASSERT_FALSE(h.progress.empty());
  EXPECT_EQ(h.progress.front(), 3000);
  EXPECT_EQ(h.ftp.ByteCount(), static_cast<int64_t>(content.size()) - 3000);
  EXPECT_EQ(h.ftp.ResumeAt(), 0);

  // No local file: REST is skipped and the whole file is fetched.
  h.ftp.SetLocalFileName(local.File("fresh.bin"));
  ASSERT_EQ(h.Run([&] { h.ftp.RestartGet(); }, ftpRqRestartGet), 0) << h.ftp.ErrorMessage();
  EXPECT_TRUE(ReadFile(local.File("fresh.bin")) == content);

  // A missing remote file fails with the server's code.
  h.ftp.SetHostFileName("missing.bin");
  h.ftp.SetLocalFileName(local.File("missing.bin"));
  EXPECT_EQ(h.Run([&] { h.ftp.Get(); }, ftpRqGet), 550);
  EXPECT_EQ(h.ftp.ErrorMessage().substr(0, 3), "550");
  EXPECT_EQ(h.Run([&] { h.ftp.Size(); }, ftpRqSize), 550);
  EXPECT_EQ(h.ftp.SizeResult(), 0);
  EXPECT_TRUE(h.ftp.Connected());
}

TEST_P(FtpVsftpdTest, ListingsGoToDisplayFile) {
  WriteFile(server.File("pub/alpha.txt"), "a");
  WriteFile(server.File("pub/beta.txt"), "b");
  Login();
  h.ftp.SetDisplayFileFlag(true);
  h.ftp.SetHostFileName("pub");
  ASSERT_EQ(h.Run([&] { h.ftp.Ls(); }, ftpRqLs), 0) << h.ftp.ErrorMessage();
  std::vector<std::string> names = h.lines;
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"pub/alpha.txt", "pub/beta.txt"}));

  h.lines.clear();
  ASSERT_EQ(h.Run([&] { h.ftp.Dir(); }, ftpRqDir), 0) << h.ftp.ErrorMessage();
  ASSERT_EQ(h.lines.size(), 2u);
  EXPECT_NE(h.lines[0].find("alpha.txt"), std::string::npos);
  EXPECT_NE(h.lines[1].find("beta.txt"), std::string::npos);
  EXPECT_TRUE(h.ftp.LocalFileName().empty());
}

TEST_P(FtpVsftpdTest, UploadsAndFileCommands) {
  Login();
  ASSERT_EQ(h.Run([&] { h.ftp.SetHostDirName("pub"); h.ftp.Cwd(); }, ftpRqCwd), 0);
  EXPECT_EQ(h.ftp.DirResult(), "");  // vsftpd's 250 names no path

  const std::string first = RandomBytes(300000, 1), second = RandomBytes(5000, 2);
  WriteFile(local.File("up.bin"), first);
  h.ftp.SetLocalFileName(local.File("up.bin"));
  h.ftp.SetHostFileName("up.bin");
  ASSERT_EQ(h.Run([&] { h.ftp.Put(); }, ftpRqPut), 0) << h.ftp.ErrorMessage();
  EXPECT_TRUE(ReadFile(server.File("pub/up.bin")) == first);
  EXPECT_EQ(h.ftp.ByteCount(), 300000);

  WriteFile(local.File("more.bin"), second);
  h.ftp.SetLocalFileName(local.File("more.bin"));
  ASSERT_EQ(h.Run([&] { h.ftp.Append(); }, ftpRqAppend), 0) << h.ftp.ErrorMessage();
  EXPECT_TRUE(ReadFile(server.File("pub/up.bin")) == first + second);

  // A missing local file fails before anything is sent.
  h.ftp.SetLocalFileName(local.File("nothing.bin"));
  EXPECT_EQ(h.Run([&] { h.ftp.Put(); }, ftpRqPut), 426);
  EXPECT_EQ(h.ftp.ErrorMessage(), "426 Unable to open local file " + local.File("nothing.bin"));

  h.ftp.SetHostFileName("newdir");
  ASSERT_EQ(h.Run([&] { h.ftp.Mkd(); }, ftpRqMkd), 0) << h.ftp.ErrorMessage();
  EXPECT_EQ(h.ftp.DirResult(), server.File("pub/newdir"));  // the server runs without chroot
  struct stat st;
  EXPECT_EQ(::stat(server.File("pub/newdir").c_str(), &st), 0);
  ASSERT_EQ(h.Run([&] { h.ftp.Rmd(); }, ftpRqRmd), 0) << h.ftp.ErrorMessage();
  EXPECT_NE(::stat(server.File("pub/newdir").c_str(), &st), 0);

  h.ftp.SetHostFileName("up.bin");
  h.ftp.SetLocalFileName("renamed.bin");
  ASSERT_EQ(h.Run([&] { h.ftp.Rename(); }, ftpRqRename), 0) << h.ftp.ErrorMessage();
  EXPECT_TRUE(ReadFile(server.File("pub/renamed.bin")) == first + second);
  EXPECT_EQ(FileSizeOf(server.File("pub/up.bin")), -1);

  h.ftp.SetHostFileName("renamed.bin");
  ASSERT_EQ(h.Run([&] { h.ftp.Dele(); }, ftpRqDele), 0) << h.ftp.ErrorMessage();
  EXPECT_EQ(FileSizeOf(server.File("pub/renamed.bin")), -1);
  EXPECT_EQ(h.Run([&] { h.ftp.Dele(); }, ftpRqDele), 550);

  ASSERT_EQ(h.Run([&] { h.ftp.Pwd(); }, ftpRqPwd), 0);
  EXPECT_EQ(h.ftp.DirResult(), server.File("pub"));
}

TEST_P(FtpVsftpdTest, WrongPasswordIsRefused) {
  ASSERT_EQ(h.Run([&] { h.ftp.Connect(); }, ftpRqConnect), 0);
  ASSERT_EQ(h.Run([&] { h.ftp.User(); }, ftpRqUser), 0);
  h.ftp.SetPassWord("wrong");
  EXPECT_EQ(h.Run([&] { h.ftp.Pass(); }, ftpRqPass), 530);
  EXPECT_EQ(h.ftp.StatusCode(), 530);
  EXPECT_EQ(h.ftp.ErrorMessage().substr(0, 4), "530 ");
}

TEST_P(FtpVsftpdTest, SequencesLogInFetchAndQuit) {
  const std::string content = RandomBytes(70000, 3);
  WriteFile(server.File("pub/seq.bin"), content);
  h.ftp.SetHostDirName("pub");
  h.ftp.SetHostFileName("seq.bin");
  h.ftp.SetLocalFileName(local.File("seq.bin"));
  ASSERT_EQ(h.Run([&] { h.ftp.Receive(); }, ftpRqReceive), 0) << h.ftp.ErrorMessage();
  EXPECT_TRUE(ReadFile(local.File("seq.bin")) == content);
  EXPECT_FALSE(h.ftp.Connected());
  // The reply saved before QUIT is what the report leaves behind.
  EXPECT_EQ(h.ftp.StatusCode(), 226);

  ASSERT_EQ(h.Run([&] { h.ftp.FileSize(); }, ftpRqSize), 0) << h.ftp.ErrorMessage();
  EXPECT_EQ(h.ftp.SizeResult(), 70000);
  EXPECT_EQ(h.done.size(), 2u);
}

TEST_P(FtpVsftpdTest, AbortDuringTransferReports426) {
  WriteFile(server.File("pub/big.bin"), RandomBytes(8 << 20, 4));
  Login();
  h.ftp.SetHostFileName("pub/big.bin");
  h.ftp.SetLocalFileName(local.File("big.bin"));
  bool aborted = false;
  h.ftp.OnProgress = [&](TCustomFtpCli* sender, int64_t count, bool&) {
    if (count > 0 && !aborted) {
      aborted = true;
      sender->Abort();
    }
  };
  EXPECT_EQ(h.Run([&] { h.ftp.Get(); }, ftpRqGet), 426);
  EXPECT_TRUE(aborted);
  EXPECT_EQ(h.ftp.ErrorMessage(), "426 Operation aborted.");
  EXPECT_FALSE(h.ftp.Connected());
  EXPECT_EQ(h.ftp.State(), ftpReady);
  testing::RunFor(200);
  EXPECT_EQ(h.done.size(), 5u);  // four logins steps and the Get, once
}

TEST_P(FtpVsftpdTest, QuitReportsAfterTheClose) {
  Login();
  bool closed_before_report = false;
  h.ftp.OnRequestDone = [&](TCustomFtpCli* sender, TFtpRequest rq, Word error) {
    closed_before_report = !sender->Connected();
    h.done.emplace_back(rq, error);
  };
  EXPECT_EQ(h.Run([&] { h.ftp.Quit(); }, ftpRqQuit), 0);
  EXPECT_TRUE(closed_before_report);
  EXPECT_EQ(h.ftp.LastResponse().substr(0, 4), "221 ");
  EXPECT_EQ(h.ftp.StatusCode(), 221);
}

// Through a SOCKS 5 server with user-name authentication: both connections
// go through it, and the data connection is passive.
TEST(FtpSocksTest, DownloadThroughSocks5) {
  VsftpdServer server;
  ASSERT_TRUE(server.Start()) << server.Failure();
  TempDir dir;
  testing::MicrosocksServer socks;
  ASSERT_TRUE(socks.Start("su", "sp")) << socks.Failure();
  const std::string content = RandomBytes(100000, 9);
  WriteFile(server.File("pub/s.bin"), content);

  FtpHarness h;
  h.ftp.SetPort(server.PortText());
  h.ftp.SetConnectionType(ftpSocks5);
  h.ftp.SetPassive(false);  // stays passive through SOCKS
  EXPECT_TRUE(h.ftp.Passive());
  h.ftp.SetSocksServer("127.0.0.1");
  h.ftp.SetSocksPort(std::to_string(socks.port()));
  h.ftp.SetSocksUserCode("su");
  h.ftp.SetSocksPassword("sp");
  h.ftp.SetUserName(VsftpdServer::kUser);
  h.ftp.SetPassWord(VsftpdServer::kPassword);
  h.ftp.SetHostFileName("pub/s.bin");
  h.ftp.SetLocalFileName(dir.File("s.bin"));
  ASSERT_EQ(h.Run([&] { h.ftp.Open(); }, ftpRqOpen), 0) << h.ftp.ErrorMessage();
  ASSERT_EQ(h.Run([&] { h.ftp.Get(); }, ftpRqGet), 0) << h.ftp.ErrorMessage();
  EXPECT_TRUE(ReadFile(dir.File("s.bin")) == content);

  // A wrong SOCKS password fails the connect with the SOCKS error.
  FtpHarness refused;
  refused.ftp.SetPort(server.PortText());
  refused.ftp.SetConnectionType(ftpSocks5);
  refused.ftp.SetSocksServer("127.0.0.1");
  refused.ftp.SetSocksPort(std::to_string(socks.port()));
  refused.ftp.SetSocksUserCode("su");
  refused.ftp.SetSocksPassword("wrong");
  EXPECT_EQ(refused.Run([&] { refused.ftp.Connect(); }, ftpRqConnect), 20015);
  EXPECT_EQ(refused.ftp.StatusCode(), 500);
  EXPECT_FALSE(refused.ftp.Connected());
}

INSTANTIATE_TEST_SUITE_P(Modes, FtpVsftpdTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Passive" : "Active");
                         });

}  // namespace
}  // namespace quillon
