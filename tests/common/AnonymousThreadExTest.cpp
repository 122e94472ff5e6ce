#include <gtest/gtest.h>

#include <atomic>

#include "common/AnonymousThreadEx.h"

namespace gw {
namespace {

TEST(AnonymousThreadEx, RunsProcOnceWithItselfAndDataAfterStart) {
  std::atomic<int> calls{0};
  std::atomic<TAnonymousThreadEx*> seen{nullptr};
  int data = 42;
  std::atomic<void*> seenData{nullptr};
  auto t = TAnonymousThreadEx::CreateAnonymousThreadEx(
      [&](TAnonymousThreadEx& self, void* d) {
        seen = &self;
        seenData = d;
        ++calls;
      },
      &data);
  EXPECT_EQ(calls.load(), 0) << "created suspended";
  t->Start();
  t->Start();  // a second start is ignored
  t->WaitFor();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(seen.load(), t.get());
  EXPECT_EQ(seenData.load(), &data);
}

TEST(AnonymousThreadEx, TerminateWakesALongSleepPromptly) {
  std::atomic<bool> slept{false};
  std::atomic<bool> sleepResult{true};
  TAnonymousThreadEx t(
      [&](TAnonymousThreadEx& self, void*) {
        slept = true;
        sleepResult = self.Sleep(600000);  // ten minutes unless woken
      },
      nullptr);
  t.Start();
  while (!slept) std::this_thread::yield();
  // Without the wake-up this would sleep far past the test's time-out.
  t.Terminate();
  t.WaitFor();
  EXPECT_TRUE(t.Terminated());
  EXPECT_FALSE(sleepResult.load());
}

TEST(AnonymousThreadEx, NeverStartedThreadIsFreedWithoutWaiting) {
  bool ran = false;
  {
    TAnonymousThreadEx t([&](TAnonymousThreadEx&, void*) { ran = true; }, nullptr);
    t.WaitFor();
  }
  EXPECT_FALSE(ran);
}

TEST(AnonymousThreadEx, EscapingErrorDoesNotEndTheProcess) {
  TAnonymousThreadEx t([](TAnonymousThreadEx&, void*) { throw std::runtime_error("boom"); },
                       nullptr);
  t.Start();
  t.WaitFor();
  SUCCEED();
}

}  // namespace
}  // namespace gw
