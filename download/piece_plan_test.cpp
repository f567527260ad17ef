#include "download/piece_plan.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

constexpr int64_t kMiB = int64_t{1} << 20;

// What each source's free connection gets, in turn, as bytes arrive.
TEST(PiecePlanTest, WhoFetchesWhat) {
  struct Step {
    const char* what;
    int source;
    int64_t now_ms;
    int piece;       // expected from Next (-1: nothing)
    int taken_from;  // expected holder to stop
  };
  // Three sources on two hosts; five pieces of 1 MiB, the last shorter.
  TPiecePlan plan(4 * kMiB + 100, kMiB);
  ASSERT_EQ(plan.Count(), 5);
  EXPECT_EQ(plan.End(4), 4 * kMiB + 100);
  const int a = plan.AddSource("a:80"), b = plan.AddSource("b:80"), c = plan.AddSource("a:80");
  plan.SetHostLimit(1);
  EXPECT_TRUE(plan.MayConnect(a, 0));
  plan.Connected(a, 0);
  EXPECT_FALSE(plan.MayConnect(c, 0)) << "hosts share their limit";
  plan.Connected(b, 0);
  EXPECT_EQ(plan.Next(a, 0).piece, 0);
  EXPECT_EQ(plan.Next(b, 0).piece, 1);
  // a is fast, b crawls.
  plan.Received(a, 2 * kMiB);
  plan.Wrote(0, kMiB);
  plan.Done(0);
  plan.Received(b, 1000);
  plan.Wrote(1, 1000);
  EXPECT_FALSE(plan.Slow(b, 500)) << "not judged before a second";
  EXPECT_TRUE(plan.Slow(b, 1000));
  for (const Step& s : {Step{"next missing", a, 1000, 2, -1}, Step{"next missing", a, 1000, 3, -1},
                        Step{"next missing", a, 1000, 4, -1}, Step{"slow source waits", b, 1000, -1, -1}}) {
    const TPiecePlan::TTake t = plan.Next(s.source, s.now_ms);
    EXPECT_EQ(t.piece, s.piece) << s.what;
    EXPECT_EQ(t.taken_from, s.taken_from) << s.what;
  }
  for (int i = 2; i <= 4; ++i) plan.Done(i);
  // The end: the fast source takes the slow one's piece from where it got.
  const TPiecePlan::TTake end = plan.Next(a, 1000);
  EXPECT_EQ(end.piece, 1);
  EXPECT_EQ(end.taken_from, b);
  EXPECT_EQ(end.from, kMiB + 1000);
  EXPECT_EQ(plan.Next(a, 1000).piece, -1) << "a piece being stopped is not taken twice";
  plan.Failed(1, false);
  EXPECT_EQ(plan.Next(a, 1000).from, kMiB + 1000) << "a stopped piece keeps its bytes";
  plan.Failed(1, true);
  EXPECT_TRUE(plan.Dropped(a)) << "a damaged piece drops its source";
  EXPECT_EQ(plan.Reached(1), kMiB) << "and starts again";
  EXPECT_EQ(plan.Next(a, 1000).piece, -1);
}

TEST(PiecePlanTest, BusySourceGetsFewerConnectionsAndWaits) {
  TPiecePlan plan(8 * kMiB, kMiB);
  const int s = plan.AddSource("h:80");
  plan.SetHostLimit(4);
  for (int i = 0; i < 3; ++i) plan.Connected(s, 0);
  EXPECT_TRUE(plan.MayConnect(s, 0));
  plan.Busy(s, 2000);  // the fourth was refused
  EXPECT_EQ(plan.HostLimit(s), 2);
  plan.Disconnected(s, 10);
  plan.Disconnected(s, 10);
  EXPECT_FALSE(plan.MayConnect(s, 1999));
  EXPECT_TRUE(plan.MayConnect(s, 2000));
  plan.Busy(s, 0);
  plan.Busy(s, 0);
  EXPECT_EQ(plan.HostLimit(s), 1) << "never fewer than one";
}

TEST(PiecePlanTest, RecordRoundTrip) {
  TPiecePlan plan(9 * kMiB + 1, kMiB);  // ten pieces
  for (int i : {0, 2, 3, 9}) plan.Done(i);
  EXPECT_EQ(plan.RecordText(), "1048576:b04");
  TPiecePlan again(9 * kMiB + 1, kMiB);
  ASSERT_TRUE(again.LoadRecord(plan.RecordText()));
  EXPECT_EQ(again.DoneCount(), 4);
  EXPECT_EQ(again.State(9), TPiecePlan::TState::kDone);
  EXPECT_EQ(again.Next(again.AddSource("h"), 0).piece, 1);
  for (const char* bad : {"2097152:b04", "1048576:b0", "1048576:b0g", "1048576:b0f", "b04"}) {
    TPiecePlan other(9 * kMiB + 1, kMiB);
    EXPECT_FALSE(other.LoadRecord(bad)) << bad;
    EXPECT_EQ(other.DoneCount(), 0) << bad;
  }
}

}  // namespace
}  // namespace quillon
