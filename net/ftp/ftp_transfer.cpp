#include "net/ftp/ftp_transfer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quillon {

void TFtpTransfer::Begin(bool IsUpload) {
  upload = IsUpload;
  bytes = 0;
  data_closed = false;
  close_error = 0;
  upload_ready = false;
  eof = false;
  stopped = false;
}

bool TFtpTransfer::OpenDownload(TStream* External, const std::string& FileName, int64_t ResumeAt,
                                uint16_t ShareFlags) {
  CloseFile();
  if (External) {
    target_ = External;
    return true;
  }
  try {
    if (ResumeAt > 0) {
      file_ = std::make_unique<TFileStream>(FileName, fmOpenWrite | ShareFlags);
      file_->Seek(ResumeAt, TSeekOrigin::soBeginning);
    } else {
      file_ = std::make_unique<TFileStream>(FileName, fmCreate);
      if (ShareFlags != fmShareCompat) {
        file_.reset();
        file_ = std::make_unique<TFileStream>(FileName, fmOpenWrite | ShareFlags);
      }
    }
  } catch (const std::exception&) {
    file_.reset();
    return false;
  }
  target_ = file_.get();
  return true;
}

bool TFtpTransfer::OpenUpload(const std::string& FileName, int64_t ResumeAt, uint16_t ShareFlags) {
  CloseFile();
  try {
    file_ = std::make_unique<TFileStream>(FileName, fmOpenRead | ShareFlags);
    if (ResumeAt > 0) file_->Seek(ResumeAt, TSeekOrigin::soBeginning);
  } catch (const std::exception&) {
    file_.reset();
    return false;
  }
  return true;
}

void TFtpTransfer::CloseFile() {
  target_ = nullptr;
  file_.reset();
}

bool TFtpTransfer::Write(const char* Data, int Len) {
  if (!target_) return true;
  bool written = false;
  errno = 0;
  try {
    written = target_->Write(Data, Len) == Len;
  } catch (const std::exception&) {
  }
  if (written) return true;
  write_error_ = std::strerror(errno != 0 ? errno : EIO);
  CloseFile();
  return false;
}

char* TFtpTransfer::ReceiveSpace(int& Room) {
  if (target_) {
    int64_t room = 0;
    char* space = target_->WriteSpace(room);
    if (space != nullptr && room > 0) {
      Room = static_cast<int>(std::min<int64_t>(room, kBlock));
      return space;
    }
  }
  Room = kBlock;
  return Buffer();
}

int64_t TFtpTransfer::ReadBlock() {
  try {
    return file_->Read(Buffer(), kBlock);
  } catch (const std::exception&) {
    return -1;
  }
}

char* TFtpTransfer::Buffer() {
  if (!buffer_) buffer_.reset(new char[kBlock]);
  return buffer_.get();
}

}  // namespace quillon
