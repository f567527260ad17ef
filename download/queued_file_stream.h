// TQueuedFileStream: a write stream whose bytes reach their file on a writer
// thread, so that a download never waits for the disk on the user-interface
// thread (a write can wait for the kernel to flush dirty pages). Each file
// system (device) has its own writer thread, so a disk that stops accepting
// data holds up only the streams into it; a writer writes its streams' blocks
// in turn, one block of one stream after another, and each stream's blocks
// in the order they were written.
//
// Contract:
//  - Write takes the bytes into the stream's queue and returns their count at
//    once. Bytes are gathered into blocks of BlockBytes() (kBlockBytes, or a
//    quarter of a smaller limit). WriteSpace hands out the free end of the
//    block being
//    filled (a block with less than a quarter free is queued first, so that
//    a source reading in large pieces is not cut short), and a Write of
//    bytes placed there (from its first byte, at most its size) takes them
//    without a copy; other bytes are copied. A block goes to the writer when
//    it is full, when the queue reaches Limit(), on Finish, or kFlushMs after
//    it began to fill, whichever comes first; a writer that has nothing to do
//    is woken for kWakeBlocks blocks, at the limit, on Finish or by the flush
//    clock, not for each block. Room handed out stays readable until the
//    next WriteSpace or Write.
//    When the queued bytes reach Limit(), OnFull fires from inside that
//    Write; once the writer has brought them down to half the limit,
//    OnDrained fires from the event loop. The owner pauses its source in
//    between (a download pauses its socket), so memory stays bounded whatever
//    the disk does.
//  - The first write that fails ends writing: OnWriteError fires from the
//    event loop with the system's reason ("No space left on device"), and
//    every later block is dropped.
//  - SetStallLimit(seconds): while the stream waits for the disk (between
//    OnFull and OnDrained, or Finish with bytes still to write) and the
//    writer completes nothing of it for that long, writing fails as a failed
//    write does, with the reason "the disk accepted no data for N seconds."
//    ("1 second." for one). A write that is still blocked in the system then
//    is not waited for: the file is closed once it returns.
//  - SetBound(bytes): the file ends at that many bytes at most. The Write
//    that would carry it further queues only the bytes up to the bound; from
//    then on PastBound() is true, every later byte is dropped, and
//    OnPastBound fires once from the event loop. What was queued is still
//    written, and Finish reports no failure for the bound.
//  - Finish(done): once every queued block is written, done fires from the
//    event loop with "" or the reason of the failure (also a write failure
//    that came earlier: then at once, without the writer). The file is not
//    forced to the disk: the caller's rename is atomic without it, and a
//    flush costs seconds per gigabyte. Write after Finish is an error.
//  - HashWithSha256(), called before the first Write, makes the writer thread
//    hash the file as it grows: first the bytes the file already held before
//    the stream's position (a continued download; the file must then be
//    open for reading too), then every block after it is written. Sha256() holds the 64 lowercase hexadecimal digits once
//    Finish's done has fired without an error (empty otherwise).
//    HashWithSha256(from) hashes the file's bytes from `from` on instead: a
//    piece of a file, hashed from its first byte.
//  - WriteInPlace(), called before the first Write, writes each block at
//    its place (positional writes from the stream's position on) and never
//    moves the file's offset, so that several streams on descriptors of one
//    open file can fill different pieces of it at once.
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
#include "platform/timer.h"

namespace quillon {

class TFileStream;

class TQueuedFileStream : public TStream, private platform::MessageHandler {
 public:
  static constexpr int64_t kDefaultLimit = int64_t{8} << 20;
  // A block: one read of a download fills it. Blocks of 1 MiB halved the
  // hand-offs of one fast download, which saved little time, and cost
  // fifty rows three times the memory and longer stalls.
  static constexpr int64_t kBlockBytes = int64_t{256} << 10;
  // A writer with nothing to do is woken when this many blocks are queued
  // (or at the flush clock): a gigabyte costs a thousand wake-ups, not
  // four thousand.
  static constexpr int64_t kWakeBlocks = 4;
  // How long a block that is not full waits for more bytes.
  static constexpr uint32_t kFlushMs = 20;

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
  char* WriteSpace(int64_t& room) override;

  int64_t Limit() const { return limit_; }
  int64_t BlockBytes() const { return static_cast<int64_t>(block_bytes_); }
  // Bytes accepted and not yet written.
  int64_t QueuedBytes() const;
  // Between OnFull and OnDrained.
  bool Full() const { return full_; }
  // The reason of a failed write, once OnWriteError has fired.
  const std::string& WriteError() const { return write_error_; }

  void HashWithSha256(int64_t from = 0);
  void WriteInPlace();
  const std::string& Sha256() const { return sha256_; }

  // Seconds (0 or less: no limit); applies from the next wait for the disk.
  void SetStallLimit(int seconds) { stall_limit_ = seconds; }
  // Bytes the file may hold at most (-1: no bound).
  void SetBound(int64_t bytes) { bound_ = bytes; }
  bool PastBound() const { return past_bound_; }

  void Finish(std::function<void(const std::string& error)> done);

  std::function<void()> OnFull;
  std::function<void()> OnDrained;
  std::function<void(const std::string& reason)> OnWriteError;
  std::function<void()> OnPastBound;

  // While held, the writer threads (also those started later) write
  // nothing, so queues fill up.
  static void HoldWriterForTesting(bool hold);

  // What the writer thread and the stream share, and the writer of a file
  // system (defined with the stream).
  struct Channel;
  class Writer;
  struct Block;

 private:
  void HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
  void RequireIdle(const char* operation) const;
  std::string Reason(int error) const;
  void StartStallClock();
  // Gets a free block to fill (one the writer is done with, if any).
  void TakeBlock();
  // Queues the block being filled, if it holds anything; `full` also asks
  // for OnDrained. The writer gets the queue at once when `now` or `full`,
  // else once kWakeBlocks are queued or at the flush clock. False when
  // writing has failed (the block is dropped).
  bool Hand(bool full, bool now);
  void StallClockFired();

  std::shared_ptr<Channel> channel_;
  Writer& writer_;
  int64_t limit_;
  size_t block_bytes_;
  std::unique_ptr<char[]> fill_;  // the block being filled
  size_t fill_size_ = 0;
  platform::OneShotTimer flush_clock_;
  int64_t position_ = 0;
  int64_t size_ = 0;
  bool full_ = false;
  bool finishing_ = false;
  int stall_limit_ = 0;
  int64_t waiting_since_ms_ = 0;  // the stream began to wait for the disk
  platform::OneShotTimer stall_clock_;
  int64_t bound_ = -1;
  bool past_bound_ = false;
  std::string write_error_;
  std::string sha256_;
  std::function<void(const std::string&)> done_;
  platform::MessageTarget target_{this};
  TLifetime lifetime_;  // the last member
};

}  // namespace quillon
