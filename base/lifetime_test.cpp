#include "base/lifetime.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace quillon {
namespace {

struct TOwner {
  std::function<void(int)> OnEvent;
  TLifetime lifetime;
};

TEST(LifetimeTest, FireEventReportsWhetherTheHandlerLeftItsOwnerAlive) {
  auto owner = std::make_unique<TOwner>();
  EXPECT_TRUE(FireEvent(owner->lifetime, owner->OnEvent, 1));  // unassigned

  // A handler that replaces itself still runs to its end from its copy.
  int seen = 0;
  owner->OnEvent = [&](int v) {
    owner->OnEvent = nullptr;
    seen = v;
  };
  EXPECT_TRUE(FireEvent(owner->lifetime, owner->OnEvent, 2));
  EXPECT_EQ(seen, 2);

  // A handler that destroys the owner is reported, and its captures stay usable.
  auto shared = std::make_shared<int>(3);
  owner->OnEvent = [&, shared](int v) {
    owner.reset();
    seen = v + *shared;
  };
  auto token = owner->lifetime.Token();
  EXPECT_FALSE(FireEvent(owner->lifetime, owner->OnEvent, 4));
  EXPECT_EQ(seen, 7);
  EXPECT_FALSE(token);

  // A copy has its own lifetime; Invalidate expires tokens before destruction.
  TOwner a;
  TOwner b = a;
  auto ta = a.lifetime.Token(), tb = b.lifetime.Token();
  a.lifetime.Invalidate();
  EXPECT_FALSE(ta);
  EXPECT_TRUE(tb);
}

// A token matches only the run it was taken in; one never taken matches none,
// not even the first run.
TEST(LifetimeTest, RunTokensMatchOnlyTheirOwnRun) {
  TRunCounter runs;
  EXPECT_FALSE(runs.IsCurrent(TRunToken()));
  const TRunToken first = runs.Token();
  EXPECT_TRUE(runs.IsCurrent(first));
  const TRunToken second = runs.Begin();
  EXPECT_FALSE(runs.IsCurrent(first));
  EXPECT_TRUE(runs.IsCurrent(second));
  EXPECT_TRUE(runs.IsCurrent(runs.Token()));
}

}  // namespace
}  // namespace quillon
