// The annotated mutex: it excludes like a mutex, its guard releases at the end of the
// scope, and a condition variable waits on it.
#include "common/ThreadSafety.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>
#include <vector>

namespace gw {
namespace {

struct TCounter {
  TMutex Lock;
  std::condition_variable_any Changed;
  int Value GUARDED_BY(Lock) = 0;

  void Add() EXCLUDES(Lock) {
    {
      TMutexLock guard(Lock);
      ++Value;
    }
    Changed.notify_all();
  }
  int Read() EXCLUDES(Lock) {
    TMutexLock guard(Lock);
    return Value;
  }
};

TEST(ThreadSafety, TheMutexExcludesAndAConditionWaitsOnIt) {
  TCounter counter;
  constexpr int kThreads = 4, kAdds = 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kAdds; ++i) counter.Add();
    });
  }
  {
    TMutexLock guard(counter.Lock);
    counter.Changed.wait(counter.Lock, [&]() NO_THREAD_SAFETY_ANALYSIS {
      return counter.Value == kThreads * kAdds;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(counter.Read(), kThreads * kAdds);
  EXPECT_TRUE(counter.Lock.TryLock()) << "every guard released its hold";
  counter.Lock.Unlock();
}

}  // namespace
}  // namespace gw
