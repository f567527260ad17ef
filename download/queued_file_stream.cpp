#include "download/queued_file_stream.h"

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "base/exceptions.h"
#include "base/file_stream.h"
#include "base/sha256_hasher.h"

namespace quillon {

namespace {

enum : uint32_t { kMsgDrained = 1, kMsgWriteFailed = 2, kMsgFinished = 3 };

// Small writes are gathered into one block up to this size, so that a client
// that hands over a few kilobytes at a time does not cost a system call each.
constexpr size_t kGatherBytes = 256 * 1024;

}  // namespace

// What the writer thread and the stream share. Everything but `file` and
// `poster` is guarded by the writer's mutex; the writer touches `file` only
// while `busy`, the stream only while nothing is queued or busy.
struct TQueuedFileStream::Channel {
  std::unique_ptr<TFileStream> file;
  platform::CrossThreadPoster poster;
  std::deque<std::string> blocks;
  int64_t queued = 0;   // bytes in blocks plus the block being written
  int64_t low_mark = 0;  // drained at or below this
  bool busy = false;
  bool scheduled = false;  // in the writer's round
  bool want_drained = false;
  bool finish = false;
  bool dropped = false;
  int error = 0;  // errno of the first failed write
  // Hashing: the file's bytes before `hash_prefix` are read and hashed before
  // the first block; `digest` is set when the stream finishes.
  std::unique_ptr<TSha256Hasher> hasher;
  int64_t hash_prefix = 0;
  std::string digest;
};

namespace {

class Writer {
 public:
  static Writer& Get() {
    static Writer writer;
    return writer;
  }

  std::mutex mutex;

  // Puts a channel with work into the round (mutex held).
  void ScheduleLocked(const std::shared_ptr<TQueuedFileStream::Channel>& ch) {
    if (ch->scheduled) return;
    ch->scheduled = true;
    round_.push_back(ch);
    wake_.notify_one();
  }

  void Hold(bool hold) {
    std::lock_guard<std::mutex> lock(mutex);
    held_ = hold;
    wake_.notify_one();
  }

 private:
  Writer() : thread_([this] { Run(); }) {}
  ~Writer() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stop_ = true;
      wake_.notify_one();
    }
    thread_.join();
  }

  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake_.wait(lock, [&] { return stop_ || (!held_ && !round_.empty()); });
      if (stop_) return;
      std::shared_ptr<TQueuedFileStream::Channel> ch = std::move(round_.front());
      round_.pop_front();
      ch->scheduled = false;
      if (ch->dropped) continue;
      if (ch->hash_prefix > 0) {
        HashPrefix(*ch, lock);
        if (!ch->blocks.empty() || ch->finish) ScheduleLocked(ch);
      } else if (!ch->blocks.empty()) {
        WriteOneBlock(*ch, lock);
        if (!ch->blocks.empty() || ch->finish) ScheduleLocked(ch);
      } else if (ch->finish) {
        ch->finish = false;
        if (ch->hasher && ch->error == 0) ch->digest = ch->hasher->HexDigest();
        ch->poster.Post(kMsgFinished, static_cast<uintptr_t>(ch->error), 0);
      }
    }
  }

  // Reads and hashes the bytes the file held before the stream began, with
  // the mutex released; a failed read fails the stream as a write would.
  void HashPrefix(TQueuedFileStream::Channel& ch, std::unique_lock<std::mutex>& lock) {
    const int64_t length = ch.hash_prefix;
    ch.busy = true;
    lock.unlock();
    int error = 0;
    std::string buffer(kGatherBytes, '\0');
    for (int64_t done = 0; done < length && error == 0;) {
      const size_t want = static_cast<size_t>(std::min<int64_t>(length - done, kGatherBytes));
      ssize_t n = ::pread(ch.file->Handle(), buffer.data(), want, done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = n < 0 ? errno : EIO;
        break;
      }
      ch.hasher->Update(buffer.data(), static_cast<size_t>(n));
      done += n;
    }
    lock.lock();
    ch.busy = false;
    ch.hash_prefix = 0;
    if (error != 0) FailLocked(ch, error);
  }

  // The first failure ends writing: what is queued is dropped.
  static void FailLocked(TQueuedFileStream::Channel& ch, int error) {
    if (ch.error != 0) return;
    ch.error = error;
    ch.queued = 0;
    ch.blocks.clear();
    ch.poster.Post(kMsgWriteFailed, static_cast<uintptr_t>(error), 0);
  }

  // Writes the channel's first block with the mutex released.
  void WriteOneBlock(TQueuedFileStream::Channel& ch, std::unique_lock<std::mutex>& lock) {
    std::string block = std::move(ch.blocks.front());
    ch.blocks.pop_front();
    ch.busy = true;
    lock.unlock();
    int error = 0;
    const int fd = ch.file->Handle();
    for (size_t done = 0; done < block.size();) {
      ssize_t n = ::write(fd, block.data() + done, block.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = n < 0 ? errno : ENOSPC;
        break;
      }
      done += static_cast<size_t>(n);
    }
    if (error == 0 && ch.hasher) ch.hasher->Update(block.data(), block.size());
    lock.lock();
    ch.busy = false;
    ch.queued -= static_cast<int64_t>(block.size());
    if (error != 0) FailLocked(ch, error);
    if (ch.want_drained && ch.queued <= ch.low_mark) {
      ch.want_drained = false;
      ch.poster.Post(kMsgDrained, 0, 0);
    }
  }

  std::condition_variable wake_;
  std::deque<std::shared_ptr<TQueuedFileStream::Channel>> round_;
  bool held_ = false;
  bool stop_ = false;
  std::thread thread_;
};

std::string ReasonOf(int error) { return std::strerror(error); }

}  // namespace

TQueuedFileStream::TQueuedFileStream(std::unique_ptr<TFileStream> file, int64_t limit)
    : channel_(std::make_shared<Channel>()), limit_(limit) {
  position_ = file->Position();
  size_ = file->Size();
  channel_->file = std::move(file);
  channel_->poster = target_.Poster();
  channel_->low_mark = limit / 2;
  Writer::Get();  // started before the first block needs it
}

TQueuedFileStream::~TQueuedFileStream() {
  std::lock_guard<std::mutex> lock(Writer::Get().mutex);
  channel_->dropped = true;
  channel_->blocks.clear();
  channel_->queued = 0;
}

int64_t TQueuedFileStream::QueuedBytes() const {
  std::lock_guard<std::mutex> lock(Writer::Get().mutex);
  return channel_->queued;
}

void TQueuedFileStream::RequireIdle(const char* operation) const {
  std::lock_guard<std::mutex> lock(Writer::Get().mutex);
  if (channel_->busy || channel_->queued != 0)
    throw EStreamError(std::string(operation) + " while the file is being written");
}

int64_t TQueuedFileStream::Write(const void* buffer, int64_t count) {
  if (finishing_) throw EWriteError("Stream write error");
  if (count <= 0) return 0;
  bool now_full = false;
  {
    Writer& writer = Writer::Get();
    std::lock_guard<std::mutex> lock(writer.mutex);
    Channel& ch = *channel_;
    if (ch.error == 0) {
      const char* bytes = static_cast<const char*>(buffer);
      // The writer takes a block out of the queue before writing it, so the
      // last one queued is still free to grow.
      if (!ch.blocks.empty() && ch.blocks.back().size() + static_cast<size_t>(count) <= kGatherBytes)
        ch.blocks.back().append(bytes, static_cast<size_t>(count));
      else
        ch.blocks.emplace_back(bytes, static_cast<size_t>(count));
      ch.queued += count;
      writer.ScheduleLocked(channel_);
      if (!full_ && ch.queued >= limit_) {
        now_full = true;
        ch.want_drained = true;
      }
    }
  }
  position_ += count;
  if (position_ > size_) size_ = position_;
  if (now_full) {
    full_ = true;
    FireEvent(lifetime_, OnFull);
  }
  return count;
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
  finishing_ = true;
  done_ = std::move(done);
  Writer& writer = Writer::Get();
  std::lock_guard<std::mutex> lock(writer.mutex);
  channel_->finish = true;
  writer.ScheduleLocked(channel_);
}

void TQueuedFileStream::HashWithSha256() {
  std::lock_guard<std::mutex> lock(Writer::Get().mutex);
  if (channel_->hasher) return;
  channel_->hasher = std::make_unique<TSha256Hasher>();
  channel_->hash_prefix = position_;
  if (position_ > 0) Writer::Get().ScheduleLocked(channel_);
}

void TQueuedFileStream::HoldWriterForTesting(bool hold) { Writer::Get().Hold(hold); }

void TQueuedFileStream::HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t) {
  switch (msg) {
    case kMsgDrained:
      full_ = false;
      FireEvent(lifetime_, OnDrained);  // may destroy this stream
      break;
    case kMsgWriteFailed:
      write_error_ = ReasonOf(static_cast<int>(wParam));
      FireEvent(lifetime_, OnWriteError, write_error_);
      break;
    case kMsgFinished: {
      if (wParam == 0) {
        std::lock_guard<std::mutex> lock(Writer::Get().mutex);
        sha256_ = channel_->digest;
      }
      auto done = std::move(done_);
      if (done) done(wParam == 0 ? std::string() : ReasonOf(static_cast<int>(wParam)));
      break;
    }
    default: break;
  }
}

}  // namespace quillon
