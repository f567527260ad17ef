#include "base/file_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/exceptions.h"

namespace quillon {

TFileStream::TFileStream(const std::string& file_name, uint16_t mode) : file_name_(file_name) {
  if ((mode & fmCreate) == fmCreate) {
    fd_ = ::open(file_name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) throw EFCreateError("Cannot create file " + file_name);
    return;
  }
  int flags = O_CLOEXEC;
  switch (mode & 3) {
    case fmOpenWrite: flags |= O_WRONLY; break;
    case fmOpenReadWrite: flags |= O_RDWR; break;
    default: flags |= O_RDONLY; break;
  }
  fd_ = ::open(file_name.c_str(), flags);
  if (fd_ < 0) throw EFOpenError("Cannot open file " + file_name);
}

TFileStream::TFileStream(int handle, const std::string& file_name) : file_name_(file_name), fd_(handle) {}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  char* p = static_cast<char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    ssize_t n = ::read(fd_, p + done, static_cast<size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? done : 0;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  const char* p = static_cast<const char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    ssize_t n = ::write(fd_, p + done, static_cast<size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
               : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                  : SEEK_END;
  off_t r = ::lseek(fd_, static_cast<off_t>(offset), whence);
  if (r < 0) throw EStreamError("Seek error in file " + file_name_);
  return r;
}

void TFileStream::SetSize(int64_t new_size) {
  Seek(new_size, TSeekOrigin::soBeginning);
  if (::ftruncate(fd_, static_cast<off_t>(new_size)) != 0)
    throw EStreamError("Cannot set the size of file " + file_name_);
}

}  // namespace quillon
