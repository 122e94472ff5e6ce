// TIoEventThread: one transport I/O thread with its own event source: an epoll instance
// on Linux, a completion port on Windows. Connections are pinned to one thread for life.
// On Linux they are registered edge-triggered for reading and writing, so no system call
// re-arms anything per read, and every listener is registered in every thread's instance
// with EPOLLEXCLUSIVE so accepts keep flowing on all threads. On Windows a connection keeps
// one zero-length receive outstanding on its thread's port (an idle connection holds no
// buffer), and the listeners' accepts complete on the first thread's port. Either way the
// thread hands its targets the same readiness events (TIoEvent) and owns one 32,768-byte
// drain buffer used for every read.
// Work another thread hands over (a closed connection's socket to release, a stop)
// goes through a small task queue and an eventfd. Everything due later (a connection's
// admission deadline, a close that waits for the client's answer, a listener resting
// while descriptors are short) is kept in one min-heap of deadlines whose earliest entry
// bounds the thread's wait: a turn costs O(log n) per deadline that comes due and nothing
// per deadline still waiting, however many closes are pending.
//
// Thread safety: Post, PostAfter, Retire, RequestStop and IsCurrent are safe from any thread;
// Open/Start/Join belong to the server's owner thread; DrainBuffer and
// AddPendingRead only to the thread itself.
#pragma once

#include <atomic>
#include <cassert>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "net/DeadlineHeap.h"

namespace gw {

class TIoEventThread;

// Readiness as the thread reports it to its targets (the values of the epoll bits).
enum TIoEvent : uint32_t {
  ieReadable = 0x001,
  ieWritable = 0x004,
  ieError = 0x008,
  ieHangup = 0x010,
  iePeerClosed = 0x2000,
};

// Something the thread delivers events to (on Linux the epoll data pointer points at it).
class TIoTarget {
 public:
  virtual void OnIoEvents(uint32_t events, TIoEventThread& thread) = 0;

 protected:
  ~TIoTarget() = default;
};

class TAbstractConnection;

class TIoEventThread final : private TIoTarget {
 public:
  static constexpr size_t kDrainBufferSize = 32768;

  explicit TIoEventThread(int index);
  ~TIoEventThread();  // joins; runs leftover tasks; closes the event source and wake-up
  TIoEventThread(const TIoEventThread&) = delete;
  TIoEventThread& operator=(const TIoEventThread&) = delete;

  // Under load the thread starts at most one turn per Micros microseconds: the events that
  // arrive meanwhile are taken in one wait instead of one wake-up (and one thread switch)
  // each. A thread whose turns come further apart than twice Micros never rests. 0 (the
  // default): no gathering.
  // Before Start.
  void SetMinTurnMicros(uint32_t Micros) { FMinTurnMicros = Micros; }
  // Creates the event source (epoll instance and wake-up eventfd, or completion port);
  // false (logged) on failure.
  bool Open();
  void Start();
  void RequestStop();
  void Join();

  // The epoll descriptor (Linux) or the completion port's handle (Windows).
  intptr_t PollHandle() const { return FPoll; }
  int Index() const { return FIndex; }
  bool IsCurrent() const { return std::this_thread::get_id() == FThreadId.load(); }

  // Runs `task` on this thread after its current batch of events; when the thread has
  // ended, runs it at once on the caller's thread.
  void Post(std::function<void()> task);
  // Runs `task` on this thread once `delay` has passed; dropped when the thread ends
  // first. The thread's wait ends at the earliest such deadline, so nothing polls.
  void PostAfter(std::chrono::milliseconds delay, std::function<void()> task);
  // Drops the engine's reference to a closed connection and closes its socket on this
  // thread, after the current batch (which may still hold its pointer).
  void Retire(std::shared_ptr<TAbstractConnection> connection);

  uint8_t* DrainBuffer() {
    assert(IsCurrent());
    return FDrainBuffer.get();
  }
  // A byte buffer for the thread's own passing use (it keeps its capacity).
  std::vector<uint8_t>& ScratchBytes() {
    assert(IsCurrent());
    return FScratchBytes;
  }
  // A connection that stopped reading after its fair share; read again next turn.
  void AddPendingRead(std::shared_ptr<TAbstractConnection> connection);
  // What runs on this thread when a deadline comes due, with the identifier it was added
  // with. Set before Start.
  void SetDeadlineHandler(std::function<void(uint64_t uid)> handler) {
    FDeadlineHandler = std::move(handler);
  }
  // Any thread: at `dueMs` (MonotonicMs) this thread runs the deadline handler with `uid`.
  // Only the identifier is kept, so a connection that closes early leaves one small heap
  // entry here until its time, not its memory.
  void AddDeadline(uint64_t dueMs, uint64_t uid);
  static uint64_t MonotonicMs();
  // Windows: overlapped operations in flight on this thread's port, each holding what it
  // works on; the thread's end waits for their completions so nothing is leaked.
  void OperationStarted() { FOperations.fetch_add(1, std::memory_order_relaxed); }
  void OperationEnded() { FOperations.fetch_sub(1, std::memory_order_relaxed); }

 private:
  void OnIoEvents(uint32_t events, TIoEventThread& thread) override;  // the wake-up
  void CloseEventSource();
  void DrainOperations();  // after the thread ended: completions still owed (Windows)
  using TClock = std::chrono::steady_clock;
  // When the last turn began and whether it came soon after the one before (see
  // SetMinTurnMicros).
  struct TTurnPacing {
    TClock::time_point TurnStart;
    bool LastTurnBusy = false;
    void TurnStarted(bool busy, uint32_t minTurnMicros);
  };

  void Run();  // the platform's wait loop, built from the steps below
  // Rests before the next wait when gathering asks for it; false: the thread is stopping.
  bool RestBeforeTurn(const TTurnPacing& pacing);
  // The wait's time-out in ms: 0 with reads pending, else until the next deadline (-1:
  // none).
  int NextWaitMs();
  void FinishTurn();  // after a batch of events: pending reads, tasks, due deadlines
  void EndRun();      // the thread's last steps
  void RunTasks();
  void ExpireDeadlines();
  // Adds a deadline and wakes the thread when it comes due before the thread's wait ends.
  void AddDue(uint64_t dueMs, uint64_t uid, std::function<void()> task);
  void Wake();

  // One entry of the deadline heap: a task to run (PostAfter), or, when Task is empty, the
  // identifier handed to the deadline handler (AddDeadline).
  struct TDue {
    uint64_t Uid = 0;
    std::function<void()> Task;
  };

  const int FIndex;
  uint32_t FMinTurnMicros = 0;
  intptr_t FPoll = -1;  // epoll descriptor or completion port handle
  int FWakeFd = -1;     // Linux: the eventfd
  std::atomic<int64_t> FOperations{0};
  std::thread FThread;
  std::atomic<std::thread::id> FThreadId{};
  std::atomic<bool> FStopping{false};
  std::atomic<bool> FEnded{false};
  std::unique_ptr<uint8_t[]> FDrainBuffer;
  std::vector<uint8_t> FScratchBytes;                               // this thread only
  std::vector<std::shared_ptr<TAbstractConnection>> FPendingReads;  // this thread only

  std::mutex FTasksLock;  // guards FTasks and FWakePending
  std::vector<std::function<void()>> FTasks;
  bool FWakePending = false;

  std::mutex FDeadlinesLock;  // guards FDeadlines and FWaitUntil
  TDeadlineHeap<TDue> FDeadlines;
  std::function<void(uint64_t uid)> FDeadlineHandler;
  // When the thread's last computed wait ends by itself (kNever: it does not); an earlier
  // deadline added by another thread wakes it.
  uint64_t FWaitUntil = TDeadlineHeap<TDue>::kNever;
};

}  // namespace gw
