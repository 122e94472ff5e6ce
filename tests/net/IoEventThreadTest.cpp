// The I/O thread's one deadline structure: timed tasks and connection deadlines share it,
// come due in order whatever is still waiting, and wake a thread that waits longer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "net/IoEventThread.h"
#include "support/WaitUntil.h"

namespace gw {
namespace {

using namespace std::chrono_literals;
using test_support::WaitUntil;

// A started thread whose deadline handler records the identifiers it is given.
struct TRunningThread {
  TIoEventThread Thread{0};
  std::mutex Lock;
  std::vector<uint64_t> Fired;  // identifiers and task numbers, in the order they ran

  TRunningThread() {
    Thread.SetDeadlineHandler([this](uint64_t uid) { Record(uid); });
    EXPECT_TRUE(Thread.Open());
    Thread.Start();
  }
  ~TRunningThread() {
    Thread.RequestStop();
    Thread.Join();
  }
  void Record(uint64_t value) {
    std::lock_guard<std::mutex> guard(Lock);
    Fired.push_back(value);
  }
  std::vector<uint64_t> FiredSoFar() {
    std::lock_guard<std::mutex> guard(Lock);
    return Fired;
  }
};

TEST(IoEventThreadTimers, ManyPendingClosesLeaveTheDueOnesInOrder) {
  // Ten thousand closes waiting an hour for their clients, as during a drain; timed tasks
  // and deadlines due soon, added out of order, still come due in their order.
  auto held = std::make_shared<int>(0);  // what each pending close holds
  std::vector<uint64_t> expected;
  {
    TRunningThread t;
    for (int i = 0; i < 10000; ++i) {
      t.Thread.PostAfter(1h, [held, &t] { t.Record(999999); });
      t.Thread.AddDeadline(TIoEventThread::MonotonicMs() + 3600 * 1000, 888888);
    }
    // Added out of order in one task on the thread itself, so none can come due before
    // the others are in, however slow the machine.
    t.Thread.Post([&t] {
      const uint64_t base = TIoEventThread::MonotonicMs() + 50;
      struct TSoon {
        uint64_t OffsetMs;
        bool Task;  // a PostAfter task (else a connection deadline)
        uint64_t Value;
      };
      const TSoon soon[] = {{30, true, 4}, {0, false, 1}, {20, false, 3}, {10, true, 2}};
      for (const TSoon& s : soon) {
        if (!s.Task) {
          t.Thread.AddDeadline(base + s.OffsetMs, s.Value);
          continue;
        }
        const auto delay =
            std::chrono::milliseconds(static_cast<int64_t>(base + s.OffsetMs) -
                                      static_cast<int64_t>(TIoEventThread::MonotonicMs()));
        t.Thread.PostAfter(delay, [&t, value = s.Value] { t.Record(value); });
      }
    });
    expected = {1, 2, 3, 4};
    ASSERT_TRUE(WaitUntil([&] { return t.FiredSoFar().size() >= expected.size(); }));
    EXPECT_EQ(t.FiredSoFar(), expected);
    EXPECT_EQ(held.use_count(), 10001);  // every pending close is still waiting
  }
  // The thread's end drops what never came due, with what it held.
  EXPECT_EQ(held.use_count(), 1);
}

TEST(IoEventThreadTimers, AnEarlierDeadlineWakesAThreadWaitingLonger) {
  struct TCase {
    const char* Name;
    bool Task;
  };
  const TCase cases[] = {{"timed task", true}, {"connection deadline", false}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRunningThread t;
    t.Thread.PostAfter(1h, [] {});
    // Let the thread settle into its hour-long wait: a posted task has run by then.
    std::atomic<bool> settled{false};
    t.Thread.Post([&] { settled = true; });
    ASSERT_TRUE(WaitUntil([&] { return settled.load(); }));
    if (c.Task) {
      t.Thread.PostAfter(0ms, [&t] { t.Record(7); });
    } else {
      t.Thread.AddDeadline(TIoEventThread::MonotonicMs(), 7);
    }
    ASSERT_TRUE(WaitUntil([&] { return !t.FiredSoFar().empty(); }));
    EXPECT_EQ(t.FiredSoFar(), std::vector<uint64_t>{7});
  }
}

TEST(IoEventThreadTimers, NothingIsKeptOnceTheThreadHasEnded) {
  auto held = std::make_shared<int>(0);
  TIoEventThread thread(0);
  ASSERT_TRUE(thread.Open());
  thread.Start();
  thread.RequestStop();
  thread.Join();
  thread.PostAfter(0ms, [held] {});
  thread.AddDeadline(0, 1);
  EXPECT_EQ(held.use_count(), 1);
}

}  // namespace
}  // namespace gw
