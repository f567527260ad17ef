#include "download/partial_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "base/exceptions.h"

namespace quillon {

namespace {

constexpr const char* kUrlAttr = "user.quillon.url";
constexpr const char* kTotalAttr = "user.quillon.total";
constexpr const char* kValidatorAttr = "user.quillon.validator";
constexpr const char* kPiecesAttr = "user.quillon.pieces";
constexpr const char* kAttrs[] = {kUrlAttr, kTotalAttr, kValidatorAttr, kPiecesAttr};
constexpr size_t kMaxValue = kMaxPartInfoValue;

std::string SideFileName(const std::string& PartName) { return PartName + ".info"; }

// The attributes of the name itself: a link at the name has none of ours.
bool GetAttr(const std::string& path, const char* name, std::string& value) {
  char buf[kMaxValue];
  ssize_t n = ::lgetxattr(path.c_str(), name, buf, sizeof buf);
  if (n < 0) return false;
  value.assign(buf, static_cast<size_t>(n));
  return true;
}

// The three lines of the side file (a fourth: the pieces, when recorded),
// read without following a link.
bool ReadSideFile(const std::string& PartName, std::string& url, std::string& total, std::string& validator,
                  std::string& pieces) {
  int fd = ::open(SideFileName(PartName).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  std::string text;
  char buf[4096];
  ssize_t n;
  while (text.size() <= 4 * kMaxValue && (n = ::read(fd, buf, sizeof buf)) > 0)
    text.append(buf, static_cast<size_t>(n));
  ::close(fd);
  size_t first = text.find('\n');
  size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
  if (second == std::string::npos || second + 1 >= text.size()) return false;
  size_t third = text.find('\n', second + 1);
  url = text.substr(0, first);
  total = text.substr(first + 1, second - first - 1);
  validator = text.substr(second + 1, third == std::string::npos ? std::string::npos : third - second - 1);
  if (third != std::string::npos && third + 1 < text.size()) {
    const size_t fourth = text.find('\n', third + 1);
    pieces = text.substr(third + 1, fourth == std::string::npos ? std::string::npos : fourth - third - 1);
  }
  return true;
}

// Not a value a record keeps: a control character, or longer than any value
// read back (a longer attribute would not fit the reader's buffer, and a side
// file that long is read only in part).
bool Unkeepable(const std::string& text) {
  if (text.size() > kMaxValue) return true;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

bool ParseTotal(const std::string& text, int64_t& total) {
  if (text == "-1") {
    total = -1;
    return true;
  }
  if (text.empty() || text.size() > 18) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  total = v;
  return true;
}

bool WriteAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The side file of a file system without extended attributes: created anew,
// never written through a link planted at its name, readable by its owner
// alone.
bool WriteSideFile(const std::string& PartName, const std::string& text) {
  const std::string side = SideFileName(PartName);
  ::unlink(side.c_str());
  int fd = ::open(side.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, text);
  return ::close(fd) == 0 && written;
}

}  // namespace

std::string PartialFileName(const std::string& Destination) { return Destination + ".part"; }

bool WritePartInfo(const std::string& PartName, const TPartInfo& Info) {
  if (Unkeepable(Info.url) || Unkeepable(Info.validator) || Unkeepable(Info.pieces)) return false;
  std::string total = std::to_string(Info.total);
  const char* path = PartName.c_str();
  if (::lsetxattr(path, kUrlAttr, Info.url.data(), Info.url.size(), 0) == 0 &&
      ::lsetxattr(path, kTotalAttr, total.data(), total.size(), 0) == 0 &&
      ::lsetxattr(path, kValidatorAttr, Info.validator.data(), Info.validator.size(), 0) == 0 &&
      (Info.pieces.empty() ? (::lremovexattr(path, kPiecesAttr), true)
                           : ::lsetxattr(path, kPiecesAttr, Info.pieces.data(), Info.pieces.size(), 0) == 0)) {
    std::remove(SideFileName(PartName).c_str());
    return true;
  }
  // No half of this record may pair with half of an older one.
  for (const char* name : kAttrs) ::lremovexattr(path, name);
  return WriteSideFile(PartName, Info.url + '\n' + total + '\n' + Info.validator + '\n' +
                                     (Info.pieces.empty() ? "" : Info.pieces + '\n'));
}

bool ReadPartInfo(const std::string& PartName, TPartInfo& Info) {
  Info = TPartInfo();
  std::string url, total, validator, pieces;
  if (GetAttr(PartName, kUrlAttr, url) && GetAttr(PartName, kTotalAttr, total) &&
      GetAttr(PartName, kValidatorAttr, validator)) {
    if (!GetAttr(PartName, kPiecesAttr, pieces)) pieces.clear();
  } else if (!ReadSideFile(PartName, url, total, validator, pieces)) {
    return false;
  }
  int64_t n = -1;
  if (Unkeepable(url) || Unkeepable(validator) || Unkeepable(pieces) || !ParseTotal(total, n)) return false;
  Info.url = url;
  Info.total = n;
  Info.validator = validator;
  Info.pieces = pieces;
  return true;
}

bool PartContinues(const TPartInfo& Info, const std::string& Url, int64_t PartSize) {
  return Info.pieces.empty() && Info.url == Url && Info.total > 0 && Info.total > PartSize;
}

void RemovePartialFile(const std::string& PartName) {
  std::remove(PartName.c_str());
  std::remove(SideFileName(PartName).c_str());
}

namespace {

// Renames `from` to `to`; unless `replace`, only where no entry has the name
// `to` (a file system without that rename: a second name made only where
// none is, then the first removed). The system's reason on failure.
bool RenamePart(const std::string& from, const std::string& to, bool replace, std::string& Reason) {
  // The part was written and closed by its stream; waiting here until it is
  // on the disk cost more than the whole transfer of a large file over a
  // fast link, so the rename relies on the file system's ordering of a
  // replacing rename.
  int done = replace ? ::rename(from.c_str(), to.c_str())
                     : ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
  if (done != 0 && !replace && (errno == EINVAL || errno == ENOSYS)) {
    done = ::link(from.c_str(), to.c_str());
    if (done == 0) ::unlink(from.c_str());
  }
  if (done != 0) Reason = std::strerror(errno);
  return done == 0;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// A file whose bytes someone else may have written, or may write: another
// owner's, or writable by group or others.
bool NotOurs(const struct stat& st) { return st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

}  // namespace

bool CommitPartialFile(const std::string& PartName, const std::string& Destination, std::string& Reason) {
  if (!RenamePart(PartName, Destination, true, Reason)) return false;
  std::remove(SideFileName(PartName).c_str());
  // The record belongs to the partial file, not to the finished one.
  for (const char* name : kAttrs) ::lremovexattr(Destination.c_str(), name);
  return true;
}

bool IsHeldPart(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  // A write lock of another open file description, as TPartialFile holds it.
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  const bool held = ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
  ::close(fd);
  return held;
}

unsigned NewFileMode() {
  // umask() reads it only by setting it, for every thread of the process at
  // once; the kernel shows it here instead.
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (!line.starts_with("Umask:")) continue;
    unsigned mask = 0;
    if (std::sscanf(line.c_str() + 6, "%o", &mask) == 1) return 0666 & ~mask;
  }
  return 0600;
}

int64_t LocalFileSize(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

// ---- TPartialFile --------------------------------------------------------------------

TPartialFile::TTakeResult TPartialFile::Take(const std::string& PartName, std::string& Reason) {
  Release();
  const char* path = PartName.c_str();
  auto failed = [&Reason] {
    Reason = std::strerror(errno != 0 ? errno : EIO);
    return tkFailed;
  };
  // A file at the name that is not ours to write goes; the system may
  // refuse (another user's file in a sticky folder).
  auto remove_foreign = [&]() -> int {
    if (::unlink(path) == 0 || errno == ENOENT) return 1;
    if (errno != EPERM && errno != EACCES) return 0;
    Reason = std::strerror(errno);
    return -1;
  };
  // A few rounds: another download may create, rename or remove its part
  // between two of these steps.
  for (int round = 0; round < 4; ++round) {
    int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    const bool created = fd >= 0;
    if (!created) {
      if (errno != EEXIST) return failed();
      struct stat named {};
      if (::lstat(path, &named) != 0) {
        if (errno == ENOENT) continue;
        return failed();
      }
      if (S_ISLNK(named.st_mode)) {
        // Never followed: the link goes, a new part takes its name.
        if (::unlink(path) != 0 && errno != ENOENT) return failed();
        continue;
      }
      if (!S_ISREG(named.st_mode)) return tkNotAFile;
      if (NotOurs(named)) {
        const int removed = remove_foreign();
        if (removed < 0) return tkNotOurs;
        if (removed == 0) return failed();
        continue;
      }
      // Not blocking: something else may have taken the name meanwhile.
      fd = ::open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
      if (fd < 0) {
        if (errno == ENOENT || errno == ELOOP) continue;
        return failed();
      }
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
      const int error = errno;
      ::close(fd);
      if (error == EAGAIN || error == EACCES) return tkBusy;
      errno = error;
      return failed();
    }
    // Locked: the name must still lead to this file, a regular file of ours
    // with no other name through which its bytes would change another file.
    struct stat held {}, named {};
    if (::fstat(fd, &held) != 0) {
      const int error = errno;
      ::close(fd);
      errno = error;
      return failed();
    }
    if (!S_ISREG(held.st_mode)) {
      ::close(fd);
      return tkNotAFile;
    }
    if (::lstat(path, &named) != 0 || !SameFile(named, held)) {
      ::close(fd);
      continue;
    }
    if (held.st_nlink != 1 || NotOurs(held)) {
      const int removed = remove_foreign();
      const int error = errno;
      ::close(fd);
      errno = error;
      if (removed < 0) return tkNotOurs;
      if (removed == 0) return failed();
      continue;
    }
    fd_ = fd;
    name_ = PartName;
    // A new part starts without a record; a side file left by an earlier
    // part of this name is not its record.
    if (created) ::unlink(SideFileName(PartName).c_str());
    return tkTaken;
  }
  return tkBusy;
}

TPartialFile::TCommitResult TPartialFile::Commit(const std::string& Destination, bool replace, std::string& Reason) {
  struct stat held {}, named {};
  if (fd_ < 0 || ::fstat(fd_, &held) != 0) {
    Reason = std::strerror(fd_ < 0 ? EBADF : errno);
    return cmFailed;
  }
  // Under the lock and just before the rename: another program may have
  // renamed its own file over the part's name, and those bytes were neither
  // written nor hashed here.
  if (::lstat(name_.c_str(), &named) != 0 || !SameFile(named, held)) return cmSwapped;
  if (IsHeldPart(Destination)) return cmHeld;
  if (::fchmod(fd_, NewFileMode()) != 0) {
    Reason = std::strerror(errno);
    return cmFailed;
  }
  if (!RenamePart(name_, Destination, replace, Reason)) return errno == EEXIST && !replace ? cmExists : cmFailed;
  if (::lstat(Destination.c_str(), &named) != 0 || !SameFile(named, held)) return cmOverwritten;
  // The record belongs to the partial file, not to the finished one.
  for (const char* name : kAttrs) ::fremovexattr(fd_, name);
  ::unlink(SideFileName(name_).c_str());
  return cmCommitted;
}

int64_t TPartialFile::Size() const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

int TPartialFile::Duplicate() const {
  int fd = fd_ < 0 ? -1 : ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) throw EFOpenError("Cannot open file " + name_);
  return fd;
}

bool TPartialFile::Restart() {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  // Only a part that holds bytes is cut: cutting a file to nothing makes
  // some file systems (ext4) write all of it out when it is closed, which
  // would add the whole disk write-back to every new download.
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return false;
  if (st.st_size != 0 && ::ftruncate(fd_, 0) != 0) return false;
  for (const char* name : kAttrs) ::fremovexattr(fd_, name);
  ::unlink(SideFileName(name_).c_str());
  return true;
}

void TPartialFile::Remove() {
  struct stat held {}, named {};
  if (fd_ < 0 || ::fstat(fd_, &held) != 0 || ::lstat(name_.c_str(), &named) != 0 || !SameFile(held, named)) return;
  ::unlink(name_.c_str());
  ::unlink(SideFileName(name_).c_str());
}

void TPartialFile::Release() {
  if (fd_ < 0) return;
  // A stream may still hold a duplicate of the descriptor for a moment; the
  // lock goes now all the same.
  struct flock lock {};
  lock.l_type = F_UNLCK;
  lock.l_whence = SEEK_SET;
  ::fcntl(fd_, F_OFD_SETLK, &lock);
  ::close(fd_);
  fd_ = -1;
}

}  // namespace quillon
