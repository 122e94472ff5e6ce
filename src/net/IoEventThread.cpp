#include "net/IoEventThread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <string>

#include "net/AbstractConnection.h"
#include "net/NetDiagLog.h"

namespace gw {

TIoEventThread::TIoEventThread(int index)
    : FIndex(index), FDrainBuffer(new uint8_t[kDrainBufferSize]) {}

TIoEventThread::~TIoEventThread() {
  RequestStop();
  Join();
  CloseEventSource();
}

void TIoEventThread::Start() {
  FThread = std::thread([this] { Run(); });
}

void TIoEventThread::RequestStop() {
  FStopping.store(true);
  Wake();
}

void TIoEventThread::Join() {
  if (FThread.joinable()) FThread.join();
  DrainOperations();
  // Tasks posted while the thread was ending run here.
  RunTasks();
}

void TIoEventThread::Post(std::function<void()> task) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(FTasksLock);
    if (!FEnded.load()) {
      FTasks.push_back(std::move(task));
      wake = !FWakePending && !IsCurrent();
      if (wake) FWakePending = true;
      task = nullptr;
    }
  }
  if (task) {
    task();
    return;
  }
  if (wake) Wake();
}

void TIoEventThread::PostAfter(std::chrono::milliseconds delay, std::function<void()> task) {
  // Rounded up, so the task never runs before `delay` has passed.
  const auto due = std::chrono::ceil<std::chrono::milliseconds>(TClock::now() + delay);
  AddDue(static_cast<uint64_t>(due.time_since_epoch().count()), 0, std::move(task));
}

void TIoEventThread::Retire(std::shared_ptr<TAbstractConnection> connection) {
  Post([connection = std::move(connection)] { connection->ReleaseSocket(); });
}

void TIoEventThread::AddPendingRead(std::shared_ptr<TAbstractConnection> connection) {
  assert(IsCurrent());
  FPendingReads.push_back(std::move(connection));
}

uint64_t TIoEventThread::MonotonicMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void TIoEventThread::AddDeadline(uint64_t dueMs, uint64_t uid) { AddDue(dueMs, uid, nullptr); }

void TIoEventThread::AddDue(uint64_t dueMs, uint64_t uid, std::function<void()> task) {
  bool wake;
  {
    std::lock_guard<std::mutex> guard(FDeadlinesLock);
    // The thread's end empties the heap under this lock after setting FEnded: an entry
    // added later would never run.
    if (FEnded.load()) return;
    FDeadlines.Add(dueMs, TDue{uid, std::move(task)});
    // The thread computes its wait after every wake; only an earlier deadline needs one.
    wake = dueMs < FWaitUntil && !IsCurrent();
  }
  if (wake) Wake();
}

int TIoEventThread::NextWaitMs() {
  if (!FPendingReads.empty()) return 0;
  uint64_t due;
  {
    std::lock_guard<std::mutex> guard(FDeadlinesLock);
    due = FDeadlines.NextDue();
    FWaitUntil = due;
  }
  if (due == TDeadlineHeap<TDue>::kNever) return -1;
  uint64_t now = MonotonicMs();
  if (due <= now) return 0;
  return static_cast<int>(std::min<uint64_t>(due - now, 60000));
}

void TIoEventThread::ExpireDeadlines() {
  std::vector<TDue> due;
  {
    std::lock_guard<std::mutex> guard(FDeadlinesLock);
    const uint64_t now = MonotonicMs();
    if (FDeadlines.NextDue() > now) return;
    FDeadlines.TakeDue(now, due);
  }
  for (TDue& item : due) {
    if (item.Task) {
      TNetDiagLog::RunGuarded("TIocpSocketEngine", [&] { item.Task(); });
    } else if (FDeadlineHandler) {
      TNetDiagLog::RunGuarded("TIocpSocketEngine", [&] { FDeadlineHandler(item.Uid); });
    }
  }
}

void TIoEventThread::RunTasks() {
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> guard(FTasksLock);
    tasks.swap(FTasks);
    FWakePending = false;
  }
  for (auto& task : tasks) task();
}

bool TIoEventThread::RestBeforeTurn(const TTurnPacing& pacing) {
  if (FMinTurnMicros > 0 && pacing.LastTurnBusy) {
    // Gather: the sockets fill while the thread rests, and the next wait takes them all.
    const auto until = pacing.TurnStart + std::chrono::microseconds(FMinTurnMicros);
    if (TClock::now() < until) std::this_thread::sleep_until(until);
  }
  return !FStopping.load(std::memory_order_relaxed);
}

void TIoEventThread::TTurnPacing::TurnStarted(bool busy, uint32_t minTurnMicros) {
  // Resting pays only while events come closer together than the gathering time: a
  // thread woken now and then would spend a second wake-up on the rest after each one.
  const TClock::time_point previousStart = TurnStart;
  TurnStart = TClock::now();
  LastTurnBusy = busy && TurnStart - previousStart < 2 * std::chrono::microseconds(minTurnMicros);
}

void TIoEventThread::FinishTurn() {
  if (!FPendingReads.empty()) {
    std::vector<std::shared_ptr<TAbstractConnection>> pending;
    pending.swap(FPendingReads);
    for (auto& connection : pending) connection->ReadReady(*this);
  }
  RunTasks();
  ExpireDeadlines();
}

void TIoEventThread::EndRun() {
  TDeadlineHeap<TDue> dropped;  // released outside the lock: a task may hold a connection
  {
    std::lock_guard<std::mutex> guard(FTasksLock);
    FEnded.store(true);
  }
  FPendingReads.clear();
  {
    std::lock_guard<std::mutex> guard(FDeadlinesLock);
    std::swap(dropped, FDeadlines);
  }
  RunTasks();
  FThreadId.store(std::thread::id{});
}

}  // namespace gw
