// The owning-thread check: any thread counts while none is bound, only the bound one
// afterwards, and a checked build stops at the first use from elsewhere.
#include "common/ThreadAffinity.h"

#include <gtest/gtest.h>

#include <thread>

namespace gw {
namespace {

bool IsCurrentOnAnotherThread(const TThreadAffinity& affinity) {
  bool current = false;
  std::thread other([&] { current = affinity.IsCurrent(); });
  other.join();
  return current;
}

TEST(ThreadAffinity, OnlyTheBoundThreadCountsWhileOneIsBound) {
  TThreadAffinity affinity;
  EXPECT_TRUE(affinity.IsCurrent());
  EXPECT_TRUE(IsCurrentOnAnotherThread(affinity)) << "nothing bound: the creator sets up";
  affinity.Bind();
  EXPECT_TRUE(affinity.IsCurrent());
  EXPECT_FALSE(IsCurrentOnAnotherThread(affinity));
  affinity.Unbind();
  EXPECT_TRUE(IsCurrentOnAnotherThread(affinity)) << "the owner ended: the creator tears down";
}

#ifdef GW_CHECK_THREAD_AFFINITY
TEST(ThreadAffinityDeathTest, UseOffTheOwningThreadStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TThreadAffinity affinity;
  affinity.Bind();
  EXPECT_DEATH(
      {
        std::thread other([&] { GW_ASSERT_AFFINITY(affinity, "the test's state"); });
        other.join();
      },
      "the test's state used off its owning thread");
  GW_ASSERT_AFFINITY(affinity, "the test's state");  // the owner passes
}
#endif

}  // namespace
}  // namespace gw
