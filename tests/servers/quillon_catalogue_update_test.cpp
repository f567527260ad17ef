// `quillon-catalogue update` and `check` against nginx: the rules of
// "Retrieve Updates" across runs of the tool, with the trust records in a
// temporary XDG_STATE_HOME, and the memory a refused 64 MiB body costs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "base/base64.h"
#include "base/ed25519_key.h"
#include "catalogue/catalogue_signature.h"
#include "tests/support/real_servers.h"
#include "tests/support/test_catalogue.h"

namespace quillon {
namespace {

using testing::ReadFile;
using testing::WriteFile;

using testing::KeyA;
using testing::KeyB;

struct TRun {
  int status = -1;
  std::string out;
  long peak_kib = 0;  // the child's peak resident size
};

class CatalogueUpdateCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_STATE_HOME", state.path().c_str(), 1);
    ASSERT_TRUE(nginx.Start()) << nginx.Failure();
  }

  // A catalogue of the line `id` (empty: none) naming `names` with the
  // serial, signed by `signer`.
  std::string Signed(int serial, const TEd25519Key& names, const TEd25519Key& signer, const std::string& id = "acme") {
    const std::string id_element = id.empty() ? "" : "<Catalogue_Id>" + id + "</Catalogue_Id>";
    return SignCatalogue(
        testing::CatalogueXml({testing::kEditor},
                              testing::InterfaceXml("<Data_URL>" + nginx.Url("/update.xml") +
                                                    "</Data_URL><Publisher_Key>" + Base64Encode(names.PublicRaw()) +
                                                    "</Publisher_Key>" + id_element + "<Catalogue_Serial>" +
                                                    std::to_string(serial) + "</Catalogue_Serial>")),
        signer);
  }

  struct Step {
    const char* what;
    std::string served;
    int status;
    std::string out;
    std::string check;  // a line `check` prints afterwards (a new run)
  };
  // Serves each step's update, runs `update` on the program file, then `check`.
  void Run(const std::string& program, const std::vector<Step>& steps) {
    for (const Step& s : steps) {
      SCOPED_TRACE(s.what);
      if (!s.served.empty()) WriteFile(nginx.Root() + "/update.xml", s.served);
      const TRun update = Tool({"update", program});
      EXPECT_EQ(update.status, s.status);
      EXPECT_EQ(update.out, s.out);
      const TRun check = Tool({"check", program});
      EXPECT_EQ(check.status, 0);
      EXPECT_NE(check.out.find("\n" + s.check + "\n"), std::string::npos) << check.out;
    }
  }

  // Runs the built tool with the arguments; its output and peak memory.
  TRun Tool(const std::vector<std::string>& args) {
    const std::string tool = std::string(std::getenv("QUILLON_BINARY_DIR")) + "/tools/quillon-catalogue";
    const std::string out = dir.File("out");
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(fd, 1);
      std::vector<char*> argv{const_cast<char*>(tool.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(tool.c_str(), argv.data());
      ::_exit(127);
    }
    TRun run;
    int status = 0;
    struct rusage usage {};
    if (::wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    run.out = ReadFile(out);
    run.peak_kib = usage.ru_maxrss;
    return run;
  }

  testing::TempDir dir;
  testing::TempDir state;
  testing::NginxServer nginx;
};

TEST_F(CatalogueUpdateCommand, RulesHoldAcrossRuns) {
  Run(testing::ProgramWith(dir, Signed(10, KeyA(), KeyA())),
      {
          {"nothing served yet", "", 1, "404 Not Found\n", "source: program file"},
          {"newer", Signed(11, KeyA(), KeyA()), 0, "updated to serial 11\n", "source: update, serial 11"},
          {"the same again", Signed(11, KeyA(), KeyA()), 1, "no newer catalogue is published\n",
           "source: update, serial 11"},
          {"older than the stored one", Signed(9, KeyA(), KeyA()), 1,
           "the update is older than the catalogue in use\n", "source: update, serial 11"},
          {"another line", Signed(12, KeyA(), KeyA(), "other"), 1, "the update is for another catalogue\n",
           "source: update, serial 11"},
          {"a hand-over to B", Signed(12, KeyB(), KeyA()), 0, "updated to serial 12\n", "source: update, serial 12"},
          {"the retired key", Signed(13, KeyA(), KeyA()), 1,
           "the update is signed by a key the publisher has retired\n", "source: update, serial 12"},
          {"the new key", Signed(13, KeyB(), KeyB()), 0, "updated to serial 13\n", "source: update, serial 13"},
      });
}

// A program file signed before catalogues had ids: its line takes on the id
// of the first update that carries one, and keeps it.
TEST_F(CatalogueUpdateCommand, LineWithoutIdTakesOnTheUpdatesId) {
  Run(testing::ProgramWith(dir, Signed(10, KeyA(), KeyA(), "")),
      {
          {"the first update with an id", Signed(11, KeyA(), KeyA()), 0, "updated to serial 11\n",
           "source: update, serial 11"},
          {"another id", Signed(12, KeyA(), KeyA(), "other"), 1, "the update is for another catalogue\n",
           "source: update, serial 11"},
          {"no id again", Signed(12, KeyA(), KeyA(), ""), 1, "the update is for another catalogue\n",
           "source: update, serial 11"},
          {"the same id, newer", Signed(12, KeyA(), KeyA()), 0, "updated to serial 12\n", "source: update, serial 12"},
      });
}

// The tool's whole peak while it fetches and refuses an unsigned 64 MiB body:
// about the body it holds; parsing it took gigabytes.
TEST_F(CatalogueUpdateCommand, HugeUnsignedBodyIsRefusedInBoundedMemory) {
  {
    std::ofstream out(nginx.Root() + "/update.xml", std::ios::binary);
    const std::string element = "<Program_Group><Program_Name>x</Program_Name></Program_Group>";
    std::string chunk = "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<Root><Interface_Information/>";
    const size_t limit = (size_t{64} << 20) - 7;
    size_t size = 0;
    while (size + chunk.size() + element.size() <= limit) {
      chunk += element;
      if (chunk.size() > 1 << 20) {
        out << chunk;
        size += chunk.size();
        chunk.clear();
      }
    }
    out << chunk << "</Root>";
  }
  const std::string program = testing::ProgramWith(dir, Signed(10, KeyA(), KeyA()));
  const TRun update = Tool({"update", program});
  EXPECT_EQ(update.status, 1);
  EXPECT_EQ(update.out, "the update is not signed by the publisher\n");
  EXPECT_LT(update.peak_kib / 1024, 512) << "peak " << update.peak_kib / 1024 << " MiB";
}

}  // namespace
}  // namespace quillon
