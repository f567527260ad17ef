#include "base/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillon {

namespace {

std::string Errno(int e) { return std::strerror(e); }

}  // namespace

std::optional<std::string> ReadPrivateFile(const std::string& path, int64_t max_bytes, const std::string& what) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw EPrivateFile("it cannot be read: " + Errno(errno));
  }
  struct stat st {};
  std::string bytes;
  std::string problem;
  if (::fstat(fd, &st) != 0) {
    problem = "it cannot be read: " + Errno(errno);
  } else if (!S_ISREG(st.st_mode)) {
    problem = "it is not a file";
  } else if (st.st_size > max_bytes) {
    problem = "it is too large to be " + what;
  } else {
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) problem = "it cannot be read: " + Errno(errno);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    bytes.resize(done);
  }
  ::close(fd);
  if (!problem.empty()) throw EPrivateFile(problem);
  return bytes;
}

void MakePrivateFolder(const std::string& folder) {
  for (size_t pos = 1; pos <= folder.size(); ++pos) {
    if (pos < folder.size() && folder[pos] != '/') continue;
    const std::string part = folder.substr(0, pos);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
      throw EPrivateFile("cannot create " + part + ": " + Errno(errno));
  }
}

std::string NotPrivateReason(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return {};
  if (st.st_uid != ::geteuid()) return "it belongs to another user";
  if (!S_ISLNK(st.st_mode) && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "it is writable by others";
  return {};
}

void WritePrivateFile(const std::string& path, const std::string& bytes, bool sync) {
  MakePrivateFolder(path.substr(0, path.rfind('/')));
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());  // mode 0600
  if (fd < 0) throw EPrivateFile(Errno(errno));
  size_t done = 0;
  int error = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (error == 0 && sync && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    throw EPrivateFile(Errno(error));
  }
}

}  // namespace quillon
