// The writer threads behind downloads: order of blocks, the full/drained
// signals that pause and resume a download, write failures, a file system
// that accepts nothing, finishing, and dropping what is queued.
#include "download/queued_file_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "base/exceptions.h"
#include "base/file_stream.h"
#include "tests/support/event_wait.h"
#include "tests/support/pattern.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using testing::Pattern;
using testing::RunUntil;

// Releases the writer thread even when an assertion leaves the test early.
struct HeldWriter {
  HeldWriter() { TQueuedFileStream::HoldWriterForTesting(true); }
  ~HeldWriter() { TQueuedFileStream::HoldWriterForTesting(false); }
};

TEST(QueuedFileStream, BlocksArriveInOrderAndFinishFlushes) {
  testing::TempDir dir;
  auto file = std::make_unique<TFileStream>(dir.File("f"), fmCreate);
  file->WriteString("head:");
  TQueuedFileStream stream(std::move(file));
  std::string expected = "head:";
  {
    HeldWriter hold;
    for (int i = 0; i < 50; ++i) {
      std::string block = Pattern(static_cast<size_t>(1000 + i * 7919), i);  // small and large blocks
      stream.WriteString(block);
      expected += block;
    }
    EXPECT_EQ(stream.Position(), static_cast<int64_t>(expected.size()));
    EXPECT_EQ(stream.Size(), static_cast<int64_t>(expected.size()));
    EXPECT_THROW(stream.Seek(0, TSeekOrigin::soBeginning), EStreamError);  // not while queued
  }

  bool done = false;
  std::string error = "none";
  stream.Finish([&](const std::string& e) { done = true, error = e; });
  ASSERT_TRUE(RunUntil([&] { return done; }));
  EXPECT_EQ(error, "");
  EXPECT_EQ(stream.QueuedBytes(), 0);
  EXPECT_EQ(testing::ReadFile(dir.File("f")), expected);
  EXPECT_THROW(stream.WriteString("late"), EWriteError);
}

// Bytes placed in the room WriteSpace hands out and bytes copied in, in
// pieces that end short of a block, fill it exactly or cross it, reach the
// file in order, in blocks that come back to be filled again; the bound
// cuts a placed piece as it cuts a copied one.
TEST(QueuedFileStream, PlacedAndCopiedBytesReachTheFileInOrder) {
  testing::TempDir dir;
  TQueuedFileStream stream(std::make_unique<TFileStream>(dir.File("f"), fmCreate));
  const int64_t first = stream.BlockBytes();
  struct Piece {
    bool placed;
    int64_t size;  // 0: the whole room
  };
  const Piece pieces[] = {{true, 100},  {false, 50}, {true, 0},          {true, 1},  {false, 3 * first + 7},
                          {true, 0},    {true, 0},   {false, 2 * first}, {true, 0},  {true, 4000},
                          {false, 1},   {true, 0},   {true, 0},          {true, 0},  {false, 5 * first}};
  const std::string content = Pattern(static_cast<size_t>(32 * first), 5);
  size_t at = 0;
  for (const Piece& piece : pieces) {
    int64_t size = piece.size;
    if (piece.placed) {
      int64_t room = 0;
      char* space = stream.WriteSpace(room);
      ASSERT_NE(space, nullptr);
      ASSERT_GT(room, 0);
      if (size == 0 || size > room) size = room;
      std::memcpy(space, content.data() + at, static_cast<size_t>(size));
      EXPECT_EQ(stream.Write(space, size), size);
    } else {
      stream.WriteBuffer(content.data() + at, size);
    }
    at += static_cast<size_t>(size);
    // Full blocks are written, and come back to be filled again.
    ASSERT_TRUE(RunUntil([&] { return stream.QueuedBytes() < stream.BlockBytes(); }));
  }
  // The last piece is placed and carried past the bound: only what is
  // inside it is kept.
  int64_t room = 0;
  char* space = stream.WriteSpace(room);
  ASSERT_GT(room, 10);
  const int64_t last = room;
  const int64_t bound = static_cast<int64_t>(at) + last - 10;
  stream.SetBound(bound);
  std::memcpy(space, content.data() + at, static_cast<size_t>(last));
  stream.Write(space, last);
  EXPECT_TRUE(stream.PastBound());

  bool done = false;
  std::string error = "none";
  stream.Finish([&](const std::string& e) { done = true, error = e; });
  ASSERT_TRUE(RunUntil([&] { return done; }));
  EXPECT_EQ(error, "");
  EXPECT_TRUE(testing::ReadFile(dir.File("f")) == content.substr(0, static_cast<size_t>(bound)));
}

// Streams with blocks of two sizes share one writer and the blocks it keeps
// in reserve: each fills only blocks of its own size (ASan sees a small one
// overrun), and every byte reaches its own file.
TEST(QueuedFileStream, StreamsOfTwoBlockSizesShareAWriter) {
  testing::TempDir dir;
  TQueuedFileStream large(std::make_unique<TFileStream>(dir.File("large"), fmCreate));
  TQueuedFileStream small(std::make_unique<TFileStream>(dir.File("small"), fmCreate), 64 * 1024);
  ASSERT_LT(small.BlockBytes(), large.BlockBytes());
  TQueuedFileStream* streams[] = {&large, &small};
  std::string wrote[2];
  for (int round = 0; round < 6; ++round) {
    {
      HeldWriter hold;  // the blocks pile up and come back together
      for (int i = 0; i < 6; ++i) {
        const int s = i % 2;
        int64_t room = 0;
        char* space = streams[s]->WriteSpace(room);
        const std::string bytes = Pattern(static_cast<size_t>(room), round * 6 + i);
        std::memcpy(space, bytes.data(), bytes.size());
        EXPECT_EQ(streams[s]->Write(space, room), room);
        wrote[s] += bytes;
      }
    }
    ASSERT_TRUE(RunUntil([&] { return large.QueuedBytes() == 0 && small.QueuedBytes() == 0; }));
  }
  int finished = 0;
  for (TQueuedFileStream* stream : streams)
    stream->Finish([&](const std::string& e) {
      EXPECT_EQ(e, "");
      ++finished;
    });
  ASSERT_TRUE(RunUntil([&] { return finished == 2; }));
  EXPECT_TRUE(testing::ReadFile(dir.File("large")) == wrote[0]);
  EXPECT_TRUE(testing::ReadFile(dir.File("small")) == wrote[1]);
}

// A slow source's bytes reach the file while the stream stays open, though
// they fill no block.
TEST(QueuedFileStream, APartBlockReachesTheFileWithoutFinish) {
  testing::TempDir dir;
  TQueuedFileStream stream(std::make_unique<TFileStream>(dir.File("f"), fmCreate));
  stream.WriteString("a few bytes");
  int64_t room = 0;
  char* space = stream.WriteSpace(room);
  std::memcpy(space, " more", 5);
  stream.Write(space, 5);
  ASSERT_TRUE(RunUntil([&] { return testing::ReadFile(dir.File("f")) == "a few bytes more"; }));
  EXPECT_EQ(stream.QueuedBytes(), 0);
  EXPECT_EQ(stream.Seek(0, TSeekOrigin::soBeginning), 0);  // idle again
}

TEST(QueuedFileStream, FullQueueSignalsUntilTheWriterCatchesUp) {
  testing::TempDir dir;
  TQueuedFileStream stream(std::make_unique<TFileStream>(dir.File("f"), fmCreate), 64 * 1024);
  int full = 0, drained = 0;
  stream.OnFull = [&] { ++full; };
  stream.OnDrained = [&] { ++drained; };
  {
    HeldWriter hold;
    std::string block(16 * 1024, 'b');
    for (int i = 0; i < 3; ++i) stream.WriteString(block);
    EXPECT_EQ(full, 0);
    stream.WriteString(block);  // reaches the limit
    EXPECT_EQ(full, 1);
    EXPECT_TRUE(stream.Full());
    stream.WriteString(block);  // a source that cannot stop at once still gets its bytes in
    EXPECT_EQ(full, 1);
    testing::RunFor(20);
    EXPECT_EQ(drained, 0);
  }
  ASSERT_TRUE(RunUntil([&] { return drained == 1; }));
  EXPECT_FALSE(stream.Full());
  bool done = false;
  stream.Finish([&](const std::string&) { done = true; });
  ASSERT_TRUE(RunUntil([&] { return done; }));
  EXPECT_EQ(testing::ReadFile(dir.File("f")).size(), 5u * 16 * 1024);
}

TEST(QueuedFileStream, WriteFailureIsReportedOnceAndFailsTheFinish) {
  // Every write to /dev/full fails with "No space left on device".
  TQueuedFileStream stream(std::make_unique<TFileStream>("/dev/full", fmOpenWrite));
  int failures = 0;
  stream.OnWriteError = [&](const std::string&) { ++failures; };
  stream.WriteString("first block");
  ASSERT_TRUE(RunUntil([&] { return failures == 1; }));
  EXPECT_EQ(stream.WriteError(), "No space left on device");
  stream.WriteString("dropped");
  std::string error;
  bool done = false;
  stream.Finish([&](const std::string& e) { done = true, error = e; });
  ASSERT_TRUE(RunUntil([&] { return done; }));
  EXPECT_EQ(error, "No space left on device");
  EXPECT_EQ(failures, 1);
}

TEST(QueuedFileStream, DestroyingDropsQueuedBlocksWithoutWaiting) {
  testing::TempDir dir;
  bool finished = false;
  {
    HeldWriter hold;
    auto stream = std::make_unique<TQueuedFileStream>(std::make_unique<TFileStream>(dir.File("f"), fmCreate));
    stream->WriteString(std::string(1 << 20, 'q'));
    stream->Finish([&](const std::string&) { finished = true; });
    stream.reset();  // the writer is held: this must not wait for it
  }
  testing::RunFor(50);
  EXPECT_FALSE(finished);
  EXPECT_EQ(testing::ReadFile(dir.File("f")), "");
}

// A named pipe that nobody reads stands for a disk that stopped accepting
// data: the writer's write blocks in the kernel once the pipe's buffer is
// full. A pipe has no position.
struct PipeFile : TFileStream {
  using TFileStream::TFileStream;
  int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
};

// Reads the pipe until its last writer has closed it, so that a writer thread
// blocked on it gets free (also when an assertion left the test early).
struct PipeDrain {
  std::string path;
  ~PipeDrain() {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    char buffer[65536];
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) break;
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
    }
    ::close(fd);
  }
};

// A file system that stops taking data: its stream fails after the stall
// limit, also while it finishes and its write is blocked in the system, and a
// stream on another file system is written meanwhile.
TEST(QueuedFileStream, AStuckFileSystemFailsItsStreamAndHoldsUpNoOther) {
  testing::TempDir dir;
  struct stat here{}, shm{};
  if (::stat(dir.path().c_str(), &here) != 0 || ::stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev)
    GTEST_SKIP() << "/dev/shm is not a file system of its own here";
  const std::string pipe = dir.File("pipe");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  PipeDrain drain{pipe};
  TQueuedFileStream stuck(std::make_unique<PipeFile>(pipe, fmOpenReadWrite));
  stuck.SetStallLimit(1);
  std::string failure, finish_error;
  bool finished = false;
  stuck.OnWriteError = [&](const std::string& reason) { failure = reason; };
  stuck.WriteString(Pattern(256 * 1024));  // more than the pipe holds
  stuck.Finish([&](const std::string& e) { finished = true, finish_error = e; });

  const std::string other_name = "/dev/shm/quillon-queued-" + std::to_string(::getpid());
  const std::string content = Pattern(1 << 20, 3);
  bool done = false;
  {
    TQueuedFileStream other(std::make_unique<TFileStream>(other_name, fmCreate));
    other.WriteString(content);
    other.Finish([&](const std::string&) { done = true; });
    RunUntil([&] { return done; });
  }
  const std::string written = testing::ReadFile(other_name);
  ::unlink(other_name.c_str());
  ASSERT_TRUE(done);
  EXPECT_TRUE(written == content);

  ASSERT_TRUE(RunUntil([&] { return finished; }));
  EXPECT_EQ(finish_error, "the disk accepted no data for 1 second.");
  EXPECT_EQ(failure, finish_error);
}

}  // namespace
}  // namespace quillon
