#include "catalogue/application_data_stream.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

std::string Int64LE(int64_t v) {
  std::string s(8, '\0');
  for (int i = 0; i < 8; ++i) s[i] = static_cast<char>((static_cast<uint64_t>(v) >> (8 * i)) & 0xFF);
  return s;
}

const std::string kSig("APPDATA\0", 8);

// host bytes + block + trailer
std::string Container(const std::string& host, const std::string& block) {
  return host + block + Int64LE(static_cast<int64_t>(host.size())) + kSig;
}

// The program file "prog" in dir: Container(host, block).
std::string Program(TempDir& dir, const std::string& host, const std::string& block) {
  const std::string f = dir.File("prog");
  WriteFile(f, Container(host, block));
  return f;
}

TEST(ApplicationDataStream, ReadsTheBlockBehindTheHostBytes) {
  TempDir dir;
  const std::string f = Program(dir, "EXECUTABLE", "<Root/>");
  TApplicationDataStream s(f, TApplicationDataStream::omRead);
  EXPECT_EQ(s.StartOffset(), 10);
  EXPECT_EQ(s.Position(), 0);
  EXPECT_EQ(s.Size(), 7);
  EXPECT_EQ(s.ReadAll(), "<Root/>");
}

TEST(ApplicationDataStream, SignatureMustMatchAllEightBytes) {
  TempDir dir;
  const std::string f = dir.File("prog");
  WriteFile(f, "host" + Int64LE(0) + "APPDATA!");
  try {
    TApplicationDataStream s(f, TApplicationDataStream::omRead);
    FAIL();
  } catch (const EAppstreamError& e) {
    EXPECT_EQ(e.Message(), "TApplicationDataStream.Create : No application stream signature found");
  }
  // Any other mode value reads, and fails the same way.
  EXPECT_THROW(TApplicationDataStream(f, 7), EAppstreamError);
  WriteFile(f, "tiny");
  EXPECT_THROW(TApplicationDataStream(f, TApplicationDataStream::omRead), EAppstreamError);
  EXPECT_FALSE(TApplicationDataStream::HasTrailer(f));
}

TEST(ApplicationDataStream, MissingFileRaisesTheFileOpenError) {
  TempDir dir;
  EXPECT_THROW(TApplicationDataStream(dir.File("none"), TApplicationDataStream::omRead), EFOpenError);
}

TEST(ApplicationDataStream, EmptyBlockReadsIntoTheTrailer) {
  TempDir dir;
  const std::string f = Program(dir, "HOST", "");
  TApplicationDataStream s(f, TApplicationDataStream::omRead);
  EXPECT_EQ(s.Size(), 0);
  // Reads are not clipped at the block's end: the first bytes are the offset.
  char buf[8];
  ASSERT_EQ(s.Read(buf, 8), 8);
  EXPECT_EQ(std::string(buf, 8), Int64LE(4));
}

TEST(ApplicationDataStream, SeekRules) {
  TempDir dir;
  const std::string f = dir.File("prog");
  const std::string block = "0123456789";  // L = 10
  WriteFile(f, Container("HOSTBYTES", block));
  TApplicationDataStream s(f, TApplicationDataStream::omRead);
  EXPECT_EQ(s.Seek(0, TSeekOrigin::soEnd), 10);
  EXPECT_EQ(s.Seek(-10, TSeekOrigin::soEnd), 0);
  EXPECT_EQ(s.Seek(15, TSeekOrigin::soBeginning), 15);  // no upper bound
  EXPECT_EQ(s.Seek(-12, TSeekOrigin::soCurrent), 3);
  try {
    s.Seek(-1, TSeekOrigin::soBeginning);
    FAIL();
  } catch (const EAppstreamError& e) {
    EXPECT_EQ(e.Message(), "TApplicationDataStream.Seek : Range error");
  }
  EXPECT_THROW(s.Seek(-11, TSeekOrigin::soEnd), EAppstreamError);
}

TEST(ApplicationDataStream, WritingModeAppendsAnEmptyBlock) {
  TempDir dir;
  const std::string f = dir.File("plain");
  WriteFile(f, "0123456");
  {
    TApplicationDataStream s(f, TApplicationDataStream::omReadWrite);
    EXPECT_EQ(s.Size(), 0);
    EXPECT_EQ(s.Position(), 0);
  }
  EXPECT_EQ(ReadFile(f), "0123456" + Int64LE(7) + kSig);
  // Opening again finds the trailer and does not append a second one.
  { TApplicationDataStream s(f, TApplicationDataStream::omWrite); }
  EXPECT_EQ(ReadFile(f).size(), 7u + 16u);
}

TEST(ApplicationDataStream, WritePastTheBlockMovesTheTrailer) {
  TempDir dir;
  const std::string f = Program(dir, "HOST", "abcd");
  {
    TApplicationDataStream s(f, TApplicationDataStream::omReadWrite);
    s.Seek(0, TSeekOrigin::soEnd);
    s.WriteString("xyz");
    EXPECT_EQ(s.Position(), 7);
    EXPECT_EQ(s.Size(), 7);
  }
  EXPECT_EQ(ReadFile(f), Container("HOST", "abcdxyz"));
  {
    // Overwriting inside the block leaves the trailer where it is.
    TApplicationDataStream s(f, TApplicationDataStream::omReadWrite);
    s.WriteString("AB");
  }
  EXPECT_EQ(ReadFile(f), Container("HOST", "ABcdxyz"));
}

TEST(ApplicationDataStream, SetSizeCutsAndGrowsTheBlock) {
  TempDir dir;
  const std::string f = Program(dir, "HOST", "abcdef");
  {
    TApplicationDataStream s(f, TApplicationDataStream::omReadWrite);
    s.SetSize(2);
    EXPECT_EQ(s.Size(), 2);
  }
  EXPECT_EQ(ReadFile(f), Container("HOST", "ab"));
  {
    TApplicationDataStream s(f, TApplicationDataStream::omReadWrite);
    s.SetSize(0);
    s.WriteString("<x/>");
  }
  EXPECT_EQ(ReadFile(f), Container("HOST", "<x/>"));
}

}  // namespace
}  // namespace quillon
