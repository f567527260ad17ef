// The publisher's tool, run as a program: append, extract and dump.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

struct TRun {
  int status;
  std::string out;
  std::string err;
};

// Runs quillon-catalogue with the arguments (already shell-quoted as needed).
TRun RunTool(const TempDir& dir, const std::string& args) {
  const char* bin = std::getenv("QUILLON_BINARY_DIR");
  EXPECT_NE(bin, nullptr) << "QUILLON_BINARY_DIR is not set";
  const std::string tool = std::string(bin ? bin : ".") + "/tools/quillon-catalogue";
  const std::string cmd =
      "'" + tool + "' " + args + " >'" + dir.File("stdout") + "' 2>'" + dir.File("stderr") + "'";
  const int rc = std::system(cmd.c_str());
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ReadFile(dir.File("stdout")), ReadFile(dir.File("stderr"))};
}

const char kCatalogue[] = "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<Root><A>x</A></Root>";
const char kDump[] =
    "declaration version=1.0 encoding=windows-1252 detected=0 utf8=0\n"
    "0:Root\n"
    "  0:A = x\n";

TEST(CatalogueTool, DumpOfAPlainFile) {
  TempDir dir;
  WriteFile(dir.File("c.xml"), kCatalogue);
  TRun r = RunTool(dir, "dump '" + dir.File("c.xml") + "'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kDump);
  EXPECT_EQ(r.err, "");
}

TEST(CatalogueTool, AppendExtractDumpAndRefusals) {
  TempDir dir;
  const std::string program = "\x7f" "ELF host bytes <Root><B/></Root>";
  WriteFile(dir.File("prog"), program);
  WriteFile(dir.File("c.xml"), kCatalogue);
  TRun r = RunTool(dir, "append '" + dir.File("prog") + "' '" + dir.File("c.xml") + "' -o '" + dir.File("out") + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string out = ReadFile(dir.File("out"));
  EXPECT_EQ(out.substr(0, program.size()), program);
  EXPECT_EQ(out.size(), program.size() + sizeof(kCatalogue) - 1 + 16);

  // The dump reads the appended block only, not the host bytes or the trailer.
  r = RunTool(dir, "dump '" + dir.File("out") + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kDump);

  r = RunTool(dir, "extract '" + dir.File("out") + "'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kCatalogue);

  // A program that already carries a trailer is refused.
  r = RunTool(dir, "append '" + dir.File("out") + "' '" + dir.File("c.xml") + "' -o '" + dir.File("out2") + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err, "");
  EXPECT_FALSE(testing::FileExists(dir.File("out2")));

  // A file without trailer cannot be extracted.
  r = RunTool(dir, "extract '" + dir.File("prog") + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "TApplicationDataStream.Create : No application stream signature found\n");
}

// An output that is one of the inputs is refused and left as it was; an
// output written is complete and nothing else stays in its folder.
TEST(CatalogueTool, OutputNeverDestroysAnInput) {
  TempDir dir;
  const std::string program = "\x7f" "ELF host bytes";
  WriteFile(dir.File("prog"), program);
  WriteFile(dir.File("c.xml"), kCatalogue);
  ASSERT_EQ(::link(dir.File("prog").c_str(), dir.File("alias").c_str()), 0);
  const std::string append = "append '" + dir.File("prog") + "' '" + dir.File("c.xml") + "' -o ";
  for (const char* output : {"prog", "c.xml", "alias"}) {
    SCOPED_TRACE(output);
    TRun r = RunTool(dir, append + "'" + dir.File(output) + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(" is the same file as "), std::string::npos) << r.err;
  }
  EXPECT_EQ(ReadFile(dir.File("prog")), program);
  EXPECT_EQ(ReadFile(dir.File("c.xml")), kCatalogue);

  // An existing output is replaced only by a whole result.
  WriteFile(dir.File("out"), "old");
  TRun r = RunTool(dir, "append '" + dir.File("prog") + "' '" + dir.File("missing.xml") + "' -o '" + dir.File("out") + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadFile(dir.File("out")), "old");
  r = RunTool(dir, append + "'" + dir.File("out") + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir.File("out")).size(), program.size() + sizeof(kCatalogue) - 1 + 16);
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) files += entry.is_regular_file();
  EXPECT_EQ(files, 6);  // prog, alias, c.xml, out, stdout, stderr
}

TEST(CatalogueTool, ErrorsPrintOnlyTheMessage) {
  TempDir dir;
  WriteFile(dir.File("bad.xml"), "<Root><A>x</A>");
  TRun r = RunTool(dir, "dump '" + dir.File("bad.xml") + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Missing close tag in element Root\n");

  r = RunTool(dir, "dump '" + dir.File("missing.xml") + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot open file " + dir.File("missing.xml") + "\n");
}

TEST(CatalogueTool, SampleCatalogueDumps) {
  TempDir dir;
  TRun r = RunTool(dir, "dump '" + testing::SourceDir() + "/samples/catalogue.xml'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("declaration version=1.0 encoding=windows-1252 detected=0 utf8=0\n0:Root\n", 0), 0u);
  EXPECT_NE(r.out.find("      0:Handle_by = Internal Download\n"), std::string::npos);
}

}  // namespace
}  // namespace quillon
