#include <gtest/gtest.h>

#include "base/exceptions.h"
#include "base/file_stream.h"
#include "base/memory_stream.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

TEST(FileStream, CreateWriteSeekAndSizeBySeeking) {
  TempDir dir;
  const std::string name = dir.File("a.bin");
  {
    TFileStream f(name, fmCreate);
    f.WriteString("hello world");
    EXPECT_EQ(f.Position(), 11);
    EXPECT_EQ(f.Size(), 11);
    EXPECT_EQ(f.Position(), 11);  // Size restores the position
    EXPECT_EQ(f.Seek(-5, TSeekOrigin::soEnd), 6);
    char buf[5];
    f.ReadBuffer(buf, 5);
    EXPECT_EQ(std::string(buf, 5), "world");
    f.SetSize(5);
    EXPECT_EQ(f.Position(), 5);
  }
  EXPECT_EQ(ReadFile(name), "hello");
}

TEST(FileStream, OpenErrorsCarryTheFileName) {
  TempDir dir;
  try {
    TFileStream f(dir.File("missing"), fmOpenRead);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file " + dir.File("missing"));
  }
  try {
    TFileStream f(dir.File("no/such/dir/x"), fmCreate);
    FAIL();
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file " + dir.File("no/such/dir/x"));
  }
}

TEST(FileStream, ModesAndShortReads) {
  TempDir dir;
  const std::string name = dir.File("b");
  WriteFile(name, "abc");
  TFileStream r(name, fmOpenRead | fmShareDenyNone);
  char buf[8];
  EXPECT_EQ(r.Read(buf, 8), 3);
  EXPECT_EQ(r.Read(buf, 8), 0);
  EXPECT_THROW(r.ReadBuffer(buf, 1), EReadError);
  EXPECT_EQ(r.Write("x", 1), 0);  // read-only handle
  TFileStream w(name, fmOpenWrite | fmShareExclusive);
  w.Seek(0, TSeekOrigin::soEnd);
  w.WriteString("de");
  EXPECT_EQ(ReadFile(name), "abcde");
}

TEST(MemoryStream, GrowsFillsGapsAndClamps) {
  TMemoryStream m;
  m.Seek(3, TSeekOrigin::soBeginning);
  m.WriteString("x");
  EXPECT_EQ(m.Size(), 4);
  EXPECT_EQ(std::string(m.Memory(), 4), std::string("\0\0\0x", 4));
  m.SetPosition(2);
  char buf[10];
  EXPECT_EQ(m.Read(buf, 10), 2);
  m.SetSize(1);
  EXPECT_EQ(m.Position(), 1);
  EXPECT_EQ(m.Read(buf, 1), 0);
}

TEST(StringStream, ReadsItsStringAndCopies) {
  TStringStream s("0123456789");
  EXPECT_EQ(s.Size(), 10);
  s.SetPosition(4);
  EXPECT_EQ(s.ReadAll(), "456789");
  TMemoryStream m;
  EXPECT_EQ(m.CopyFrom(s, 0), 10);  // 0 copies the whole source
  EXPECT_EQ(std::string(m.Memory(), 10), "0123456789");
}

}  // namespace
}  // namespace quillon
