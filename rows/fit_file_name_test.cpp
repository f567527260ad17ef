#include "rows/fit_file_name.h"

#include <gtest/gtest.h>

#include <string>

namespace quillon {
namespace {

TEST(FitFileNameTest, ShortensStepByStep) {
  const std::string path = "/home/me/Downloads/setup.exe";
  TTextWidth chars = [](const std::string& s) { return static_cast<int>(s.size()); };
  EXPECT_EQ(FitFileName(path, 100, chars), path);
  EXPECT_EQ(FitFileName(path, 27, chars), "/.../me/Downloads/setup.exe");
  EXPECT_EQ(FitFileName(path, 24, chars), "/.../Downloads/setup.exe");
  EXPECT_EQ(FitFileName(path, 18, chars), "/.../setup.exe");
  EXPECT_EQ(FitFileName(path, 13, chars), ".../setup.exe");
  EXPECT_EQ(FitFileName(path, 12, chars), "setup.exe");
  EXPECT_EQ(FitFileName(path, 1, chars), "setup.exe");  // shown even when too wide
  EXPECT_EQ(FitFileName("rel/dir/a.b", 8, chars), ".../a.b");
}

TEST(FitFileNameTest, CutFirstFolderKeepsDotFolders) {
  std::string s = "/home/.config/";
  CutFirstFolder(s);
  EXPECT_EQ(s, "/.../.config/");
  CutFirstFolder(s);
  EXPECT_EQ(s, "/.../");
  s = ".hidden/x/";
  CutFirstFolder(s);
  EXPECT_EQ(s, ".../x/");
  s = "/";
  CutFirstFolder(s);
  EXPECT_EQ(s, "");
  s = ".../";
  CutFirstFolder(s);
  EXPECT_EQ(s, "");
}

}  // namespace
}  // namespace quillon
