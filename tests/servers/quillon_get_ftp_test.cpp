// quillon-get with ftp:// URLs, running the built program against vsftpd on
// loopback.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <random>
#include <string>

#include "download/partial_file.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"
#include "tests/support/vsftpd_server.h"

namespace quillon {
namespace {

using testing::ReadFile;
using testing::VsftpdServer;
using testing::WriteFile;

struct Result {
  int status = -1;
  std::string err;
};

class QuillonGetFtp : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Start()) << server_.Failure();
    std::mt19937 gen(11);
    content_.resize(500000);
    for (char& c : content_) c = static_cast<char>(gen() & 0xFF);
    WriteFile(server_.File("pub/data.bin"), content_);
  }
  Result Run(const std::string& args) {
    const char* bin = std::getenv("QUILLON_BINARY_DIR");
    std::string command = std::string(bin ? bin : ".") + "/tools/quillon-get " + args + " >" + dir_.File("out") +
                          " 2>" + dir_.File("err");
    int rc = std::system(command.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ReadFile(dir_.File("err"))};
  }
  std::string Url(const std::string& path) const {
    return "ftp://127.0.0.1:" + server_.PortText() + "/" + path;
  }
  std::string Login() const {
    return std::string("--user ") + VsftpdServer::kUser + " --password " + VsftpdServer::kPassword + " ";
  }

  VsftpdServer server_;
  testing::TempDir dir_;
  std::string content_;
};

TEST_F(QuillonGetFtp, FetchesInActiveAndPassiveMode) {
  for (std::string mode : {"--active ", "--passive ", ""}) {
    SCOPED_TRACE(mode);
    std::string target = dir_.File(mode.empty() ? "default" : mode.substr(2, mode.size() - 3));
    Result r = Run(Login() + mode + Url("pub/data.bin") + " " + target);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ReadFile(target) == content_);
  }
}

TEST_F(QuillonGetFtp, ResumeContinuesAShorterFile) {
  WriteFile(dir_.File("target.part"), content_.substr(0, 3000));
  // Recorded as a part of the server's file as it is now: continued.
  ASSERT_TRUE(WritePartInfo(dir_.File("target.part"),
                            TPartInfo{Url("pub/data.bin"), 500000, server_.Mdtm("pub/data.bin")}));
  Result r = Run(Login() + "--resume " + Url("pub/data.bin") + " " + dir_.File("target"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(ReadFile(dir_.File("target")) == content_);
  EXPECT_NE(ReadFile(dir_.File("out")).find("Continuing the shorter local file.\n"), std::string::npos)
      << ReadFile(dir_.File("out"));
  EXPECT_FALSE(testing::FileExists(dir_.File("target.part")));
}

TEST_F(QuillonGetFtp, FailuresExitWithTheReason) {
  // The default anonymous password is refused by this server.
  Result r = Run(Url("pub/data.bin") + " " + dir_.File("t1"));
  EXPECT_EQ(r.status, 6);
  EXPECT_EQ(r.err, "quillon-get: Could not connect or log in.\n");

  r = Run(Login() + Url("pub/missing.bin") + " " + dir_.File("t2"));
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(r.err.substr(0, 34), "quillon-get: Download failed: 550 ") << r.err;

  const std::string closed = std::to_string(testing::ClosedPort());
  r = Run(Login() + "ftp://127.0.0.1:" + closed + "/x " + dir_.File("t3"));
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err, "quillon-get: Download failed: connection refused (127.0.0.1 port " + closed + ")\n");
}

}  // namespace
}  // namespace quillon
