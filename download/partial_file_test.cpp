// The record kept with a partial file, and turning the part into the file.
#include "download/partial_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <functional>

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

// An existing NAME.part that is not the user's own is never written: it is
// replaced by a new part of mode 0600, and what it was or led to stays as
// it was. The user's own part is taken as it stands.
TEST(PartialFileTest, ExistingPartsThatAreNotOursAreReplaced) {
  constexpr uid_t kNobody = 65534;
  const bool root = ::geteuid() == 0;
  enum Kind { kFile, kSymlink, kHardLink, kFolder };
  struct Case {
    const char* name;
    Kind kind;
    mode_t mode;
    bool other_owner;
    TPartialFile::TTakeResult taken;
    bool replaced;
  } cases[] = {
      {"own part, 0644", kFile, 0644, false, TPartialFile::tkTaken, false},
      {"another user's part, 0600", kFile, 0600, true, TPartialFile::tkTaken, true},
      {"writable by all, 0666", kFile, 0666, false, TPartialFile::tkTaken, true},
      {"writable by the group, 0620", kFile, 0620, false, TPartialFile::tkTaken, true},
      {"symbolic link", kSymlink, 0644, false, TPartialFile::tkTaken, true},
      {"hard link", kHardLink, 0644, false, TPartialFile::tkTaken, true},
      {"folder", kFolder, 0700, false, TPartialFile::tkNotAFile, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.other_owner && !root) continue;  // reported below
    testing::TempDir dir;
    const std::string part = dir.File("f.bin.part"), other = dir.File("other");
    WriteFile(other, "planted");
    ASSERT_EQ(::chmod(other.c_str(), c.mode), 0);
    if (c.other_owner) ASSERT_EQ(::chown(other.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(c.kind == kSymlink    ? ::symlink(other.c_str(), part.c_str())
              : c.kind == kHardLink ? ::link(other.c_str(), part.c_str())
              : c.kind == kFolder   ? ::mkdir(part.c_str(), c.mode)
                                    : ::rename(other.c_str(), part.c_str()),
              0);
    // Held open, so that its inode number is not given to the new part.
    const int planted = ::open(part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat before {};
    ASSERT_EQ(::fstat(planted, &before), 0);
    TPartialFile held;
    std::string reason;
    ASSERT_EQ(held.Take(part, reason), c.taken) << reason;
    ::close(planted);
    if (c.taken != TPartialFile::tkTaken) continue;
    const struct stat after = Lstat(part);
    EXPECT_EQ(after.st_ino != before.st_ino, c.replaced);
    EXPECT_EQ(held.Size(), c.replaced ? 0 : 7);
    EXPECT_TRUE(S_ISREG(after.st_mode));
    EXPECT_EQ(after.st_uid, ::geteuid());
    if (c.replaced) EXPECT_EQ(after.st_mode & 07777, 0600u);
    if (c.kind != kFile) EXPECT_EQ(ReadFile(other), "planted");
  }
  if (!root) GTEST_SKIP() << "not root: a part of another owner needs chown to the nobody uid";
}

// The commit renames the held part only while its name still leads to it,
// gives the file the mode of any new file (0666 less the umask), and
// replaces NAME only when asked to.
TEST(PartialFileTest, CommitRenamesOnlyTheHeldFile) {
  struct Case {
    const char* name;
    bool replace;
    std::function<void(const testing::TempDir&)> meanwhile;
    TPartialFile::TCommitResult result;
    std::string destination;  // its bytes afterwards ("" : none)
  } cases[] = {
      {"replaces NAME", true, [](const testing::TempDir&) {}, TPartialFile::cmCommitted, "ours"},
      {"another file renamed over the part", true,
       [](const testing::TempDir& d) {
         WriteFile(d.File("theirs"), "theirs");
         ASSERT_EQ(::rename(d.File("theirs").c_str(), d.File("f.bin.part").c_str()), 0);
       },
       TPartialFile::cmSwapped, "old"},
      {"NAME kept", false, [](const testing::TempDir&) {}, TPartialFile::cmExists, "old"},
      {"NAME kept, none there", false, [](const testing::TempDir& d) { std::remove(d.File("f.bin").c_str()); },
       TPartialFile::cmCommitted, "ours"},
  };
  const mode_t old_mask = ::umask(027);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const std::string part = dir.File("f.bin.part"), dest = dir.File("f.bin");
    WriteFile(dest, "old");
    TPartialFile held;
    std::string reason;
    ASSERT_EQ(held.Take(part, reason), TPartialFile::tkTaken) << reason;
    ASSERT_TRUE(WritePartInfo(part, {"http://h/f.bin", 4, "\"e\""}));
    const int fd = held.Duplicate();
    ASSERT_EQ(::pwrite(fd, "ours", 4, 0), 4);
    ::close(fd);
    c.meanwhile(dir);
    EXPECT_EQ(held.Commit(dest, c.replace, reason), c.result) << reason;
    EXPECT_EQ(ReadFile(dest), c.destination);
    if (c.result == TPartialFile::cmCommitted) {
      EXPECT_EQ(Lstat(dest).st_mode & 07777, 0640u);
      EXPECT_FALSE(FileExists(part));
      TPartInfo info;
      EXPECT_FALSE(ReadPartInfo(dest, info));
    } else if (c.result == TPartialFile::cmExists) {
      EXPECT_EQ(ReadFile(part), "ours");
    }
  }
  ::umask(old_mask);

  // NAME that another download holds as its part is not replaced.
  testing::TempDir dir;
  TPartialFile mine, theirs;
  std::string reason;
  ASSERT_EQ(theirs.Take(dir.File("a.bin.part"), reason), TPartialFile::tkTaken);
  ASSERT_EQ(mine.Take(dir.File("a.bin.part.part"), reason), TPartialFile::tkTaken);
  EXPECT_TRUE(IsHeldPart(dir.File("a.bin.part")));
  EXPECT_EQ(mine.Commit(dir.File("a.bin.part"), true, reason), TPartialFile::cmHeld);
  EXPECT_TRUE(FileExists(dir.File("a.bin.part.part")));
}

}  // namespace
}  // namespace quillon
