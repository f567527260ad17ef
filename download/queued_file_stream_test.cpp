// The writer thread behind downloads: order of blocks, the full/drained
// signals that pause and resume a download, write failures, finishing, and
// dropping what is queued.
#include "download/queued_file_stream.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quillon
