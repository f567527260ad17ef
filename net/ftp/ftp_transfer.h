// TFtpTransfer: the local side of one data transfer of the FTP client. It
// owns the local file (or writes into the caller's stream), the block buffer
// and the progress of the transfer; the client drives the data connection
// and fills in the progress as the connection's events come.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/file_stream.h"

namespace quillon {

class TFtpTransfer {
 public:
  // Downloads read this much per data event and write it to the file in one
  // call; uploads read this much from the file per send.
  static constexpr int kBlock = 256 * 1024;

  // Forgets the previous transfer's progress; the block buffer is kept.
  void Begin(bool IsUpload);
  // Opens what a download writes into: External when given (written from
  // its position), else FileName, at ResumeAt when that is positive,
  // emptied otherwise. False when the file cannot be opened.
  bool OpenDownload(TStream* External, const std::string& FileName, int64_t ResumeAt, uint16_t ShareFlags);
  // Opens FileName for reading, at ResumeAt when that is positive.
  bool OpenUpload(const std::string& FileName, int64_t ResumeAt, uint16_t ShareFlags);
  void CloseFile();
  bool FileOpen() const { return file_ != nullptr; }
  // Writes a received block. False when the write failed: WriteError() then
  // holds the system's reason and the file is closed.
  bool Write(const char* Data, int Len);
  // Where the next received block goes, and its room (kBlock at most): the
  // free room of the target stream when it offers one, so that Write takes
  // the bytes without a copy; Buffer() otherwise.
  char* ReceiveSpace(int& Room);
  // Reads the next block to send into Buffer(); -1 when reading failed.
  int64_t ReadBlock();
  char* Buffer();

  const std::string& WriteError() const { return write_error_; }
  void ClearWriteError() { write_error_.clear(); }

  // The transfer's progress, kept by the client.
  bool upload = false;
  bool append = false;          // APPE instead of STOR
  int64_t bytes = 0;            // bytes received or sent
  uint32_t start_time = 0;      // tick count when data began to flow (0: not yet)
  bool data_closed = false;     // the data connection closed
  uint16_t close_error = 0;        // the error of that close
  bool upload_ready = false;    // the data connection of an upload is there
  bool eof = false;             // the whole local file has been sent
  bool stopped = false;         // a download reached its StopAt and closed its data connection
  std::string pasv_response;    // the 227 reply of the current PASV

 private:
  std::unique_ptr<TFileStream> file_;
  TStream* target_ = nullptr;  // what a running download writes into
  std::unique_ptr<char[]> buffer_;
  std::string write_error_;
};

}  // namespace quillon
