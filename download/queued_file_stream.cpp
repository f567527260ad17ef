#include "download/queued_file_stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "base/exceptions.h"
#include "base/file_stream.h"
#include "base/sha256_hasher.h"

namespace quillon {

namespace {

enum : uint32_t { kMsgDrained = 1, kMsgWriteFailed = 2, kMsgFinished = 3, kMsgPastBound = 4 };

// Pieces in which a continued file's first part is read for its hash.
constexpr size_t kHashReadBytes = 256 * 1024;

// Channel::error of a stream whose disk accepted nothing for its stall limit.
constexpr int kStalled = -1;

// Full-size blocks a writer keeps for its streams beyond the one spare each
// stream holds. A freed block goes back to the system and a new one comes
// zeroed, a page fault per page: a fast download that allocated its blocks
// afresh spent a tenth of its time in faults.
constexpr size_t kReserveBlocks = 8;

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

struct TQueuedFileStream::Block {
  std::unique_ptr<char[]> data;
  size_t size = 0;
};

// What the writer thread and the stream share. Everything but `file`,
// `poster` and `progress_ms` is guarded by the writer's mutex (`queued` may
// be read without it); the writer touches `file` only while `busy`, the
// stream only while nothing is queued or busy.
struct TQueuedFileStream::Channel {
  std::unique_ptr<TFileStream> file;
  platform::CrossThreadPoster poster;
  std::deque<Block> blocks;
  // Blocks the writer is done with, for the stream to fill again. Only the
  // stream frees them: bytes it handed to a Write may still be read on its
  // thread after the block was queued and written.
  std::vector<std::unique_ptr<char[]>> spare;
  std::atomic<int64_t> queued{0};  // bytes in blocks plus the block being written
  int64_t low_mark = 0;  // drained at or below this
  bool busy = false;
  bool scheduled = false;  // in the writer's round
  bool want_drained = false;
  bool finish = false;
  bool dropped = false;
  int error = 0;  // errno of the first failed write, or kStalled
  // When the writer last completed something of this stream (a block, or a
  // piece of the hashed prefix).
  std::atomic<int64_t> progress_ms{0};
  // Hashing: the file's bytes from `hash_from` to `hash_prefix` are read and hashed before
  // the first block; `digest` is set when the stream finishes.
  std::unique_ptr<TSha256Hasher> hasher;
  int64_t hash_from = 0;  // where the hashed prefix begins
  int64_t hash_prefix = 0;
  // WriteInPlace: where the next block goes (positional writes, the file's
  // offset untouched); -1: at the file's offset. The writer's alone once set.
  int64_t write_at = -1;
  std::string digest;
};

// The writer thread of one file system.
class TQueuedFileStream::Writer {
 public:
  explicit Writer(bool held) : held_(held), thread_([this] { Run(); }) {}
  ~Writer() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stop_ = true;
      wake_.notify_one();
    }
    thread_.join();
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  std::mutex mutex;

  // Puts a channel with work into the round (mutex held). True when the
  // writer sleeps: the caller then calls Wake once it has let go of the
  // mutex (woken while it is held, the writer would only wait for it).
  [[nodiscard]] bool ScheduleLocked(const std::shared_ptr<Channel>& ch) {
    if (ch->scheduled) return false;
    ch->scheduled = true;
    round_.push_back(ch);
    return sleeping_;
  }

  void Wake() { wake_.notify_one(); }
  bool SleepingLocked() const { return sleeping_; }

  // A full-size block from the reserve, or none (mutex held).
  std::unique_ptr<char[]> TakeReservedLocked() {
    if (reserve_.empty()) return nullptr;
    std::unique_ptr<char[]> block = std::move(reserve_.back());
    reserve_.pop_back();
    return block;
  }
  // Keeps a full-size block in the reserve while it has room; else the block
  // goes to `extra`, for the caller to free once it has let go of the mutex.
  void ReserveLocked(std::unique_ptr<char[]> block, std::vector<std::unique_ptr<char[]>>& extra) {
    if (reserve_.size() < kReserveBlocks)
      reserve_.push_back(std::move(block));
    else
      extra.push_back(std::move(block));
  }

  void Hold(bool hold) {
    std::lock_guard<std::mutex> lock(mutex);
    held_ = hold;
    wake_.notify_one();
  }

  // The first failure ends writing: what is queued is dropped (mutex held).
  // The block being written, if any, still counts until it is done.
  static bool FailLocked(Channel& ch, int error) {
    if (ch.error != 0) return false;
    ch.error = error;
    for (Block& block : ch.blocks) {
      ch.queued -= static_cast<int64_t>(block.size);
      ch.spare.push_back(std::move(block.data));
    }
    ch.blocks.clear();
    return true;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      sleeping_ = true;
      wake_.wait(lock, [&] { return stop_ || (!held_ && !round_.empty()); });
      sleeping_ = false;
      if (stop_) return;
      std::shared_ptr<Channel> ch = std::move(round_.front());
      round_.pop_front();
      ch->scheduled = false;
      // A stalled stream was given up: its finish is reported already.
      if (ch->dropped || ch->error == kStalled) continue;
      if (ch->hash_prefix > ch->hash_from) {
        HashPrefix(*ch, lock);
        if (!ch->blocks.empty() || ch->finish) (void)ScheduleLocked(ch);
      } else if (!ch->blocks.empty()) {
        WriteOneBlock(*ch, lock);
        if (!ch->blocks.empty() || ch->finish) (void)ScheduleLocked(ch);
      } else if (ch->finish) {
        ch->finish = false;
        if (ch->hasher && ch->error == 0) ch->digest = ch->hasher->HexDigest();
        ch->poster.Post(kMsgFinished, static_cast<uintptr_t>(ch->error), 0);
      }
    }
  }

  static void FailAndReport(Channel& ch, int error) {
    if (FailLocked(ch, error)) ch.poster.Post(kMsgWriteFailed, static_cast<uintptr_t>(error), 0);
  }

  // Reads and hashes the bytes the file held before the stream began, with
  // the mutex released; a failed read fails the stream as a write would.
  void HashPrefix(Channel& ch, std::unique_lock<std::mutex>& lock) {
    const int64_t from = ch.hash_from, length = ch.hash_prefix - from;
    ch.busy = true;
    lock.unlock();
    int error = 0;
    std::unique_ptr<char[]> buffer(new char[kHashReadBytes]);
    for (int64_t done = 0; done < length && error == 0;) {
      const size_t want = static_cast<size_t>(std::min<int64_t>(length - done, kHashReadBytes));
      ssize_t n = ::pread(ch.file->Handle(), buffer.get(), want, from + done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = n < 0 ? errno : EIO;
        break;
      }
      ch.hasher->Update(buffer.get(), static_cast<size_t>(n));
      ch.progress_ms = NowMs();
      done += n;
    }
    lock.lock();
    ch.busy = false;
    ch.hash_prefix = ch.hash_from = 0;
    if (error != 0) FailAndReport(ch, error);
  }

  // Writes the channel's first block with the mutex released.
  void WriteOneBlock(Channel& ch, std::unique_lock<std::mutex>& lock) {
    Block block = std::move(ch.blocks.front());
    ch.blocks.pop_front();
    ch.busy = true;
    lock.unlock();
    int error = 0;
    const int fd = ch.file->Handle();
    for (size_t done = 0; done < block.size;) {
      ssize_t n = ch.write_at < 0 ? ::write(fd, block.data.get() + done, block.size - done)
                                  : ::pwrite(fd, block.data.get() + done, block.size - done,
                                             ch.write_at + static_cast<int64_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = n < 0 ? errno : ENOSPC;
        break;
      }
      done += static_cast<size_t>(n);
    }
    if (ch.write_at >= 0) ch.write_at += static_cast<int64_t>(block.size);
    if (error == 0 && ch.hasher) ch.hasher->Update(block.data.get(), block.size);
    ch.progress_ms = NowMs();
    lock.lock();
    ch.busy = false;
    ch.queued -= static_cast<int64_t>(block.size);
    ch.spare.push_back(std::move(block.data));
    if (error != 0) FailAndReport(ch, error);
    if (ch.want_drained && ch.queued <= ch.low_mark) {
      ch.want_drained = false;
      ch.poster.Post(kMsgDrained, 0, 0);
    }
  }

  std::condition_variable wake_;
  std::deque<std::shared_ptr<Channel>> round_;
  std::vector<std::unique_ptr<char[]>> reserve_;
  bool held_;
  bool stop_ = false;
  bool sleeping_ = false;  // waiting for work
  std::thread thread_;  // the last member: it runs on the others
};

namespace {

// The writers, one per file system, started when a stream first needs one
// and kept until the process ends.
class WriterPool {
 public:
  using Writer = TQueuedFileStream::Writer;

  static WriterPool& Get() {
    static WriterPool pool;
    return pool;
  }

  Writer& For(dev_t device) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::unique_ptr<Writer>& writer = writers_[device];
    if (!writer) writer = std::make_unique<Writer>(held_);
    return *writer;
  }

  void Hold(bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = hold;
    for (auto& entry : writers_) entry.second->Hold(hold);
  }

 private:
  std::mutex mutex_;
  std::map<dev_t, std::unique_ptr<Writer>> writers_;
  bool held_ = false;
};

// The writer of the file system that holds the open file.
TQueuedFileStream::Writer& WriterOf(const TFileStream& file) {
  struct stat st {};
  const dev_t device = ::fstat(file.Handle(), &st) == 0 ? st.st_dev : 0;
  return WriterPool::Get().For(device);
}

}  // namespace

TQueuedFileStream::TQueuedFileStream(std::unique_ptr<TFileStream> file, int64_t limit)
    : channel_(std::make_shared<Channel>()),
      writer_(WriterOf(*file)),
      limit_(limit),
      block_bytes_(static_cast<size_t>(std::clamp<int64_t>(limit / 4, 4096, kBlockBytes))) {
  position_ = file->Position();
  size_ = file->Size();
  channel_->file = std::move(file);
  channel_->poster = target_.Poster();
  channel_->low_mark = limit / 2;
  stall_clock_.OnTimer = [this] { StallClockFired(); };
  flush_clock_.OnTimer = [this] { Hand(false, true); };
}

TQueuedFileStream::~TQueuedFileStream() {
  std::lock_guard<std::mutex> lock(writer_.mutex);
  channel_->dropped = true;
  channel_->blocks.clear();
  channel_->queued = 0;
}

int64_t TQueuedFileStream::QueuedBytes() const {
  return channel_->queued + static_cast<int64_t>(fill_size_);
}

void TQueuedFileStream::RequireIdle(const char* operation) const {
  std::lock_guard<std::mutex> lock(writer_.mutex);
  if (channel_->busy || channel_->queued != 0 || fill_size_ != 0)
    throw EStreamError(std::string(operation) + " while the file is being written");
}

int64_t TQueuedFileStream::Write(const void* buffer, int64_t count) {
  if (finishing_) throw EWriteError("Stream write error");
  if (count <= 0) return 0;
  // Only the bytes up to the bound are queued; the first byte past it is
  // reported.
  int64_t take = count;
  bool now_past_bound = false;
  if (bound_ >= 0 && position_ + count > bound_) {
    take = std::max<int64_t>(0, bound_ - position_);
    now_past_bound = !past_bound_;
    past_bound_ = true;
  }
  bool now_full = false;
  if (take > 0) {
    const char* bytes = static_cast<const char*>(buffer);
    if (fill_ && bytes == fill_.get() + fill_size_ && static_cast<size_t>(take) <= block_bytes_ - fill_size_) {
      fill_size_ += static_cast<size_t>(take);  // received in place
    } else {
      for (size_t left = static_cast<size_t>(take); left > 0;) {
        if (!fill_) TakeBlock();
        const size_t n = std::min(left, block_bytes_ - fill_size_);
        std::memcpy(fill_.get() + fill_size_, bytes, n);
        fill_size_ += n;
        bytes += n;
        left -= n;
        if (fill_size_ == block_bytes_) Hand(false, false);
      }
    }
    if (fill_size_ == block_bytes_) Hand(false, false);
    if (!full_ && channel_->queued + static_cast<int64_t>(fill_size_) >= limit_)
      now_full = Hand(true, true);
    else if (fill_size_ > 0 && !flush_clock_.Active())
      flush_clock_.Start(kFlushMs);
  }
  position_ += count;
  if (position_ > size_) size_ = position_;
  if (now_past_bound) target_.Post(kMsgPastBound, 0, 0);
  if (now_full) {
    full_ = true;
    StartStallClock();
    static_cast<void>(FireEvent(lifetime_, OnFull));
  }
  return count;
}

char* TQueuedFileStream::WriteSpace(int64_t& room) {
  room = 0;
  if (finishing_) return nullptr;
  if (fill_size_ > block_bytes_ * 3 / 4) Hand(false, false);
  if (!fill_) TakeBlock();
  room = static_cast<int64_t>(block_bytes_ - fill_size_);
  return fill_.get() + fill_size_;
}

void TQueuedFileStream::TakeBlock() {
  const bool full_size = block_bytes_ == static_cast<size_t>(kBlockBytes);
  std::vector<std::unique_ptr<char[]>> extra;  // freed after the lock
  {
    std::lock_guard<std::mutex> lock(writer_.mutex);
    std::vector<std::unique_ptr<char[]>>& spare = channel_->spare;
    if (!spare.empty()) {
      fill_ = std::move(spare.back());
      spare.pop_back();
    } else if (full_size) {
      fill_ = writer_.TakeReservedLocked();
    }
    // No block of its own in reserve: while the writer keeps up, the one it
    // wrote is back by the time this one is full, and two hundred rows keep
    // two blocks each, not three. The others go to the writer's reserve.
    while (!spare.empty()) {
      if (full_size)
        writer_.ReserveLocked(std::move(spare.back()), extra);
      else
        extra.push_back(std::move(spare.back()));
      spare.pop_back();
    }
  }
  if (!fill_) fill_.reset(new char[block_bytes_]);
  fill_size_ = 0;
}

bool TQueuedFileStream::Hand(bool full, bool now) {
  bool wake = false, waiting = false;
  {
    std::lock_guard<std::mutex> lock(writer_.mutex);
    Channel& ch = *channel_;
    if (ch.error != 0) {
      fill_size_ = 0;  // dropped, as every block after a failure
      return false;
    }
    if (full) ch.want_drained = true;
    if (fill_size_ > 0) {
      ch.queued += static_cast<int64_t>(fill_size_);
      ch.blocks.push_back(Block{std::move(fill_), fill_size_});
      fill_size_ = 0;
    }
    // A sleeping writer is woken for a batch of blocks, not for each one;
    // a smaller batch waits for the flush clock at most.
    if (!ch.blocks.empty()) {
      if (now || full || !writer_.SleepingLocked() || ch.queued >= kWakeBlocks * static_cast<int64_t>(block_bytes_))
        wake = writer_.ScheduleLocked(channel_);
      else
        waiting = !ch.scheduled;
    }
  }
  if (wake) writer_.Wake();
  if (!waiting)
    flush_clock_.Stop();
  else if (!flush_clock_.Active())
    flush_clock_.Start(kFlushMs);
  return true;
}

int64_t TQueuedFileStream::Read(void* buffer, int64_t count) {
  RequireIdle("Read");
  int64_t n = channel_->file->Read(buffer, count);
  position_ = channel_->file->Position();
  return n;
}

int64_t TQueuedFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t target = origin == TSeekOrigin::soBeginning ? offset
                   : origin == TSeekOrigin::soCurrent ? position_ + offset
                                                      : size_ + offset;
  if (target == position_) return position_;  // a question, not a move
  RequireIdle("Seek");
  position_ = channel_->file->Seek(offset, origin);
  return position_;
}

void TQueuedFileStream::SetSize(int64_t new_size) {
  RequireIdle("SetSize");
  channel_->file->SetSize(new_size);
  position_ = channel_->file->Position();
  size_ = new_size;
}

void TQueuedFileStream::Finish(std::function<void(const std::string& error)> done) {
  Hand(false, true);
  finishing_ = true;
  done_ = std::move(done);
  {
    std::lock_guard<std::mutex> lock(writer_.mutex);
    if (channel_->error != 0) {
      // Nothing more will be written: no need to wait for the writer.
      target_.Post(kMsgFinished, static_cast<uintptr_t>(channel_->error), 0);
      return;
    }
    channel_->finish = true;
    if (writer_.ScheduleLocked(channel_)) writer_.Wake();
  }
  StartStallClock();
}

void TQueuedFileStream::HashWithSha256(int64_t from) {
  std::lock_guard<std::mutex> lock(writer_.mutex);
  if (channel_->hasher) return;
  channel_->hasher = std::make_unique<TSha256Hasher>();
  channel_->hash_from = std::clamp<int64_t>(from, 0, position_);
  channel_->hash_prefix = position_;
  if (position_ > channel_->hash_from && writer_.ScheduleLocked(channel_)) writer_.Wake();
}

void TQueuedFileStream::WriteInPlace() {
  std::lock_guard<std::mutex> lock(writer_.mutex);
  channel_->write_at = position_;
}

void TQueuedFileStream::StartStallClock() {
  if (stall_limit_ <= 0 || stall_clock_.Active()) return;
  waiting_since_ms_ = NowMs();
  stall_clock_.Start(static_cast<uint32_t>(stall_limit_) * 1000);
}

// The stream has waited for the disk for the stall limit, unless the writer
// completed something meanwhile: then the limit counts from that moment.
void TQueuedFileStream::StallClockFired() {
  const int64_t limit_ms = int64_t{stall_limit_} * 1000;
  bool finish_pending = false;
  {
    std::lock_guard<std::mutex> lock(writer_.mutex);
    Channel& ch = *channel_;
    const bool waiting = ch.busy || ch.queued > 0 || ch.hash_prefix > ch.hash_from || ch.finish;
    if (ch.error != 0 || !waiting) return;
    const int64_t since = std::max<int64_t>(waiting_since_ms_, ch.progress_ms);
    const int64_t left = since + limit_ms - NowMs();
    if (left > 0) return stall_clock_.Start(static_cast<uint32_t>(left));
    Writer::FailLocked(ch, kStalled);
    ch.want_drained = false;  // a write that returns late changes nothing
    finish_pending = ch.finish;
    ch.finish = false;
  }
  write_error_ = Reason(kStalled);
  if (finish_pending) target_.Post(kMsgFinished, static_cast<uintptr_t>(kStalled), 0);
  static_cast<void>(FireEvent(lifetime_, OnWriteError, write_error_));  // may destroy this stream
}

std::string TQueuedFileStream::Reason(int error) const {
  if (error != kStalled) return std::strerror(error);
  return "the disk accepted no data for " + std::to_string(stall_limit_) +
         (stall_limit_ == 1 ? " second." : " seconds.");
}

void TQueuedFileStream::HoldWriterForTesting(bool hold) { WriterPool::Get().Hold(hold); }

void TQueuedFileStream::HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t) {
  const int error = static_cast<int>(wParam);
  switch (msg) {
    case kMsgDrained:
      full_ = false;
      if (!finishing_) stall_clock_.Stop();
      static_cast<void>(FireEvent(lifetime_, OnDrained));  // may destroy this stream
      break;
    case kMsgWriteFailed:
      stall_clock_.Stop();
      write_error_ = Reason(error);
      static_cast<void>(FireEvent(lifetime_, OnWriteError, write_error_));
      break;
    case kMsgPastBound: static_cast<void>(FireEvent(lifetime_, OnPastBound)); break;
    case kMsgFinished: {
      stall_clock_.Stop();
      if (error == 0) {
        std::lock_guard<std::mutex> lock(writer_.mutex);
        sha256_ = channel_->digest;
      }
      auto done = std::move(done_);
      if (done) done(error == 0 ? std::string() : Reason(error));
      break;
    }
    default: break;
  }
}

}  // namespace quillon
