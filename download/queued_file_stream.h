// TQueuedFileStream: a write stream whose bytes reach their file on a writer
// thread, so that a download never waits for the disk on the user-interface
// thread (a write can wait for the kernel to flush dirty pages). One writer
// thread serves every stream of the process; it writes the streams' blocks in
// turn, one block of one stream after another, and each stream's blocks in
// the order they were written.
//
// Contract:
//  - Write copies the bytes into the stream's queue and returns their count at
//    once. When the queued bytes reach Limit(), OnFull fires from inside that
//    Write; once the writer has brought them down to half the limit,
//    OnDrained fires from the event loop. The owner pauses its source in
//    between (a download pauses its socket), so memory stays bounded whatever
//    the disk does.
//  - The first write that fails ends writing: OnWriteError fires from the
//    event loop with the system's reason ("No space left on device"), and
//    every later block is dropped.
//  - Finish(done): once every queued block is written, done fires from the
//    event loop with "" or the reason of the failure (also a write failure
//    that came earlier). The file is not forced to the disk: the caller's
//    rename is atomic without it, and a flush costs seconds per gigabyte.
//    Write after Finish is an error.
//  - HashWithSha256(), called before the first Write, makes the writer thread
//    hash the file as it grows: first the bytes the file already held before
//    the stream's position (a continued download; the file must then be
//    open for reading too), then every block after it is written. Sha256() holds the 64 lowercase hexadecimal digits once
//    Finish's done has fired without an error (empty otherwise).
//  - Position and Size count every byte accepted. Read, Seek to another
//    place and SetSize act on the file itself and are allowed only while
//    nothing is queued (EStreamError otherwise).
//  - Destroying the stream drops the blocks not yet written without waiting;
//    a block being written is finished on the writer thread, and the file is
//    closed after it.
// User-interface thread only: create, use and destroy a stream on the thread
// whose event loop delivers its events.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/lifetime.h"
#include "base/stream.h"
#include "platform/message_target.h"

namespace quillon {

class TFileStream;

class TQueuedFileStream : public TStream, private platform::MessageHandler {
 public:
  static constexpr int64_t kDefaultLimit = int64_t{8} << 20;

  // Takes the open file; writing continues at its current position.
  explicit TQueuedFileStream(std::unique_ptr<TFileStream> file, int64_t limit = kDefaultLimit);
  ~TQueuedFileStream() override;
  TQueuedFileStream(const TQueuedFileStream&) = delete;
  TQueuedFileStream& operator=(const TQueuedFileStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t new_size) override;
  int64_t Size() override { return size_; }

  int64_t Limit() const { return limit_; }
  // Bytes accepted and not yet written.
  int64_t QueuedBytes() const;
  // Between OnFull and OnDrained.
  bool Full() const { return full_; }
  // The reason of a failed write, once OnWriteError has fired.
  const std::string& WriteError() const { return write_error_; }

  void HashWithSha256();
  const std::string& Sha256() const { return sha256_; }

  void Finish(std::function<void(const std::string& error)> done);

  std::function<void()> OnFull;
  std::function<void()> OnDrained;
  std::function<void(const std::string& reason)> OnWriteError;

  // While held, the writer thread writes nothing, so queues fill up.
  static void HoldWriterForTesting(bool hold);

  struct Channel;

 private:
  void HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
  void RequireIdle(const char* operation) const;

  std::shared_ptr<Channel> channel_;
  int64_t limit_;
  int64_t position_ = 0;
  int64_t size_ = 0;
  bool full_ = false;
  bool finishing_ = false;
  std::string write_error_;
  std::string sha256_;
  std::function<void(const std::string&)> done_;
  platform::MessageTarget target_{this};
  TLifetime lifetime_;  // the last member
};

}  // namespace quillon
