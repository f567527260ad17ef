// The record kept with a partial file, and turning the part into the file.
#include "download/partial_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using testing::FileExists;
using testing::ReadFile;
using testing::WriteFile;

TEST(PartialFileTest, RecordAndCommit) {
  testing::TempDir dir;
  const std::string part = PartialFileName(dir.File("f.bin"));
  EXPECT_EQ(part, dir.File("f.bin.part"));
  WriteFile(part, "half");
  TPartInfo info;
  EXPECT_FALSE(ReadPartInfo(part, info));
  EXPECT_FALSE(WritePartInfo(part, {"http://h/a\r\nX: y", 10, "\"e\""}));  // no line breaks

  ASSERT_TRUE(WritePartInfo(part, {"http://h/a", 10, "\"e\""}));
  ASSERT_TRUE(ReadPartInfo(part, info));
  EXPECT_EQ(info.url, "http://h/a");
  EXPECT_EQ(info.total, 10);
  EXPECT_TRUE(info.Continuable());

  // The side file of a file system without extended attributes.
  for (const char* name : {"user.quillon.url", "user.quillon.total", "user.quillon.validator"})
    ::removexattr(part.c_str(), name);
  WriteFile(part + ".info", "http://h/b\n-1\nWed, 01 Jan 2025 00:00:00 GMT\n");
  ASSERT_TRUE(ReadPartInfo(part, info));
  EXPECT_EQ(info.url, "http://h/b");
  EXPECT_FALSE(info.Continuable());  // no total
  WriteFile(part + ".info", "http://h/b\n1x\n\"e\"\n");
  EXPECT_FALSE(ReadPartInfo(part, info));

  WriteFile(dir.File("f.bin"), "old");
  std::string reason;
  ASSERT_TRUE(CommitPartialFile(part, dir.File("f.bin"), reason)) << reason;
  EXPECT_EQ(ReadFile(dir.File("f.bin")), "half");
  EXPECT_FALSE(FileExists(part));
  EXPECT_FALSE(FileExists(part + ".info"));
  EXPECT_FALSE(CommitPartialFile(part, dir.File("f.bin"), reason));  // nothing to commit
  EXPECT_EQ(reason, "No such file or directory");
  EXPECT_EQ(ReadFile(dir.File("f.bin")), "half");
}

// A record keeps a URL or validator of up to kMaxPartInfoValue bytes, in
// extended attributes or in the side file; a longer one is not kept (the part
// is then not continuable), and a longer one found is not read.
TEST(PartialFileTest, LongValues) {
  testing::TempDir dir;
  const std::string part = dir.File("f.bin.part");
  const size_t kMax = kMaxPartInfoValue;
  struct Case {
    size_t url, validator;
    bool kept;
  } cases[] = {{kMax, kMax, true}, {kMax + 1, 10, false}, {10, kMax + 1, false}, {3 * kMax, 3 * kMax, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.url) + " " + std::to_string(c.validator));
    WriteFile(part, "half");
    const TPartInfo written{std::string(c.url, 'u'), 10, std::string(c.validator, 'e')};
    EXPECT_EQ(WritePartInfo(part, written), c.kept);
    TPartInfo info;
    EXPECT_EQ(ReadPartInfo(part, info), c.kept);
    EXPECT_EQ(info.url == written.url && info.validator == written.validator, c.kept);
    RemovePartialFile(part);
  }
  // A side file with a value too long, as only a hand could have written it.
  WriteFile(part, "half");
  WriteFile(part + ".info", "http://h/a\n10\n" + std::string(kMax + 1, 'e') + "\n");
  TPartInfo info;
  EXPECT_FALSE(ReadPartInfo(part, info));
}

// A record is read only when every value is plain text and the total a
// number: a tampered record means the part is not continued.
TEST(PartialFileTest, TamperedRecordsAreNotRead) {
  testing::TempDir dir;
  const std::string part = dir.File("f.bin.part");
  WriteFile(part, "half");
  const char* kNames[] = {"user.quillon.url", "user.quillon.total", "user.quillon.validator"};
  struct Case {
    int field;  // the value replaced: url, total, validator
    std::string value;
  } cases[] = {
      {0, "http://h/a\nX"}, {0, "http://h/a\t"}, {0, std::string("http://h/a\0", 11)}, {1, "10\r"}, {1, " 10"},
      {1, "1e4"}, {2, "\"e\"\r\nX-Injected: 1"}, {2, "\"e\x7F\""}, {2, std::string("\"e\"\0", 4)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    std::string values[] = {"http://h/a", "10", "\"e\""};
    values[c.field] = c.value;
    for (int i = 0; i < 3; ++i)
      ASSERT_EQ(::setxattr(part.c_str(), kNames[i], values[i].data(), values[i].size(), 0), 0);
    TPartInfo info;
    EXPECT_FALSE(ReadPartInfo(part, info));
    EXPECT_TRUE(info.url.empty() && info.total == -1 && info.validator.empty());
    EXPECT_FALSE(WritePartInfo(part, {values[0], 10, values[2]}) && c.field != 1);
  }
  // The side file, where the values end at line ends.
  for (const char* name : kNames) ::removexattr(part.c_str(), name);
  WriteFile(part + ".info", "http://h/a\r\n10\r\n\"e\"\r\n");
  TPartInfo info;
  EXPECT_FALSE(ReadPartInfo(part, info));
}

struct stat Lstat(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st;
}

// An existing NAME.part that another user owns, or that group or others may
// write, is never written: a new part of mode 0600 takes its name. The
// user's own part is taken as it stands. (Links: DownloadPartTest.)
TEST(PartialFileTest, PartsThatAreNotOursAreReplaced) {
  const bool root = ::geteuid() == 0;
  const struct Case {
    const char* name;
    mode_t mode;
    bool other_owner, replaced;
  } cases[] = {{"own, 0644", 0644, false, false}, {"nobody's, 0600", 0600, true, true},
               {"own, 0666", 0666, false, true}, {"own, 0620", 0620, false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.other_owner && !root) continue;
    testing::TempDir dir;
    const std::string part = dir.File("f.bin.part");
    WriteFile(part, "planted");
    ASSERT_EQ(::chmod(part.c_str(), c.mode), 0);
    if (c.other_owner) {
      ASSERT_EQ(::chown(part.c_str(), 65534, 65534), 0);
    }
    TPartialFile held;
    std::string reason;
    ASSERT_EQ(held.Take(part, reason), TPartialFile::tkTaken) << reason;
    EXPECT_EQ(held.Size(), c.replaced ? 0 : 7);
    EXPECT_EQ(Lstat(part).st_mode & 07777, c.replaced ? 0600 : c.mode);
    EXPECT_EQ(Lstat(part).st_uid, ::geteuid());
  }
  if (!root) GTEST_SKIP() << "not root: the part of another owner needs chown to the nobody uid";
}

// The commit renames the held part only while its name still leads to it,
// gives NAME the mode of any new file and replaces NAME only when asked to.
TEST(PartialFileTest, CommitRenamesOnlyTheHeldFile) {
  const struct Case {
    const char* name;
    bool replace, swapped;
    TPartialFile::TCommitResult result;
    const char* destination;
  } cases[] = {{"replaces NAME", true, false, TPartialFile::cmCommitted, "ours"},
               {"another file renamed over the part", true, true, TPartialFile::cmSwapped, "old"},
               {"keeps NAME", false, false, TPartialFile::cmExists, "old"}};
  const mode_t old_mask = ::umask(027);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const std::string part = dir.File("f.bin.part"), dest = dir.File("f.bin");
    WriteFile(dest, "old");
    TPartialFile held;
    std::string reason;
    ASSERT_EQ(held.Take(part, reason), TPartialFile::tkTaken) << reason;
    const int fd = held.Duplicate();
    ASSERT_EQ(::pwrite(fd, "ours", 4, 0), 4);
    ::close(fd);
    WriteFile(dir.File("theirs"), "theirs");
    if (c.swapped) {
      ASSERT_EQ(::rename(dir.File("theirs").c_str(), part.c_str()), 0);
    }
    EXPECT_EQ(held.Commit(dest, c.replace, reason), c.result) << reason;
    EXPECT_EQ(ReadFile(dest), c.destination);
    if (c.result == TPartialFile::cmCommitted) {
      EXPECT_EQ(Lstat(dest).st_mode & 07777, 0640u);
    }
  }
  ::umask(old_mask);
}

TEST(LocalFileSizeTest, SizeOrMinusOne) {
  testing::TempDir dir;
  EXPECT_EQ(LocalFileSize(dir.File("none")), -1);
  EXPECT_EQ(LocalFileSize(""), -1);
  testing::WriteFile(dir.File("a"), std::string(1234, 'x'));
  EXPECT_EQ(LocalFileSize(dir.File("a")), 1234);
}

}  // namespace
}  // namespace quillon
