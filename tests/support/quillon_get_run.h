// For quillon-get's tests: runs the built program in a shell and collects its
// exit status and output.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "tests/support/temp_dir.h"

namespace quillon::testing {

struct Outcome {
  int status = -1;
  std::string out, err;
};

inline std::string Program() {
  const char* bin = std::getenv("QUILLON_BINARY_DIR");
  return std::string(bin ? bin : ".") + "/tools/quillon-get";
}

class QuillonGet : public ::testing::Test {
 protected:
  // `shell_prefix` runs before the program in the same shell (a ulimit, a
  // locale). Runs at the same time need output files of their own, named
  // after `tag`.
  // Without a --retries option of the test's own a failure is not tried
  // again, so that it ends at once.
  Outcome Run(const std::string& args, const std::string& shell_prefix = "", const std::string& tag = "") {
    const std::string retries = args.find("--retries") == std::string::npos ? "--retries 0 " : "";
    const std::string out = dir_.File(tag + "out"), err = dir_.File(tag + "err");
    std::string command = shell_prefix + Program() + " " + retries + args + " >" + out + " 2>" + err;
    int rc = std::system(command.c_str());
    Outcome o;
    o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    o.out = ReadFile(out);
    o.err = ReadFile(err);
    return o;
  }
  std::string Target() const { return dir_.File("target"); }

  TempDir dir_;
};

}  // namespace quillon::testing
