// TIoEventThread: one transport I/O thread with its own epoll instance. Connections
// are pinned to one thread for life (registered edge-triggered for reading and
// writing, so no system call re-arms anything per read); every listener is
// registered in every thread's instance with EPOLLEXCLUSIVE so accepts keep flowing
// on all threads. The thread owns one 32,768-byte drain buffer used for every read.
// Work another thread hands over (a closed connection's socket to release, a stop)
// goes through a small task queue and an eventfd; work due later (a close that waits
// for the client's answer, a listener resting while descriptors are short) through a
// list of timed tasks whose earliest deadline bounds the thread's wait.
//
// Thread safety: Post, PostAfter, Retire, RequestStop and IsCurrent are safe from any thread;
// Open/Start/Join belong to the server's owner thread; DrainBuffer and
// AddPendingRead only to the thread itself.
#pragma once

#include <sys/epoll.h>

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

// Something registered in an epoll instance; the event's data pointer points at it.
class TEpollTarget {
 public:
  virtual void OnEpollEvents(uint32_t events, TIoEventThread& thread) = 0;

 protected:
  ~TEpollTarget() = default;
};

class TAbstractConnection;

class TIoEventThread final : private TEpollTarget {
 public:
  static constexpr size_t kDrainBufferSize = 32768;

  explicit TIoEventThread(int index);
  ~TIoEventThread();  // joins; runs leftover tasks; closes the epoll and eventfd
  TIoEventThread(const TIoEventThread&) = delete;
  TIoEventThread& operator=(const TIoEventThread&) = delete;

  // Under load the thread starts at most one turn per Micros microseconds: the events that
  // arrive meanwhile are taken in one wait instead of one wake-up (and one thread switch)
  // each. A thread whose turns come further apart than twice Micros never rests. 0 (the
  // default): no gathering.
  // Before Start.
  void SetMinTurnMicros(uint32_t Micros) { FMinTurnMicros = Micros; }
  // Creates the epoll instance and the wake-up eventfd; false (logged) on failure.
  bool Open();
  void Start();
  void RequestStop();
  void Join();

  int EpollFd() const { return FEpollFd; }
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
  // A connection that stopped reading after its fair share; read again next turn.
  void AddPendingRead(std::shared_ptr<TAbstractConnection> connection);
  // What runs on this thread when a deadline comes due, with the identifier it was added
  // with. Set before Start.
  void SetDeadlineHandler(std::function<void(uint64_t uid)> handler) {
    FDeadlineHandler = std::move(handler);
  }
  // Any thread: at `dueMs` (MonotonicMs) this thread runs the deadline handler with `uid`.
  // Only the identifier is kept, so a connection that closes early leaves 16 bytes here
  // until its time, not its memory.
  void AddDeadline(uint64_t dueMs, uint64_t uid);
  static uint64_t MonotonicMs();

 private:
  void OnEpollEvents(uint32_t events, TIoEventThread& thread) override;  // the eventfd
  void Run();
  void RunTasks();
  // epoll_wait's time-out: 0 with reads pending, else until the next deadline (-1: none).
  int WaitTimeout();
  void ExpireDeadlines();
  void Wake();
  void RunDueTimers();
  int WaitTimeoutMs();  // until the earliest timed task, -1 when there is none

  using TClock = std::chrono::steady_clock;
  struct TTimedTask {
    TClock::time_point Due;
    std::function<void()> Task;
  };

  const int FIndex;
  uint32_t FMinTurnMicros = 0;
  int FEpollFd = -1;
  int FWakeFd = -1;
  std::thread FThread;
  std::atomic<std::thread::id> FThreadId{};
  std::atomic<bool> FStopping{false};
  std::atomic<bool> FEnded{false};
  std::unique_ptr<uint8_t[]> FDrainBuffer;
  std::vector<std::shared_ptr<TAbstractConnection>> FPendingReads;  // this thread only

  std::mutex FTasksLock;  // guards FTasks, FTimers and FWakePending
  std::vector<std::function<void()>> FTasks;
  std::vector<TTimedTask> FTimers;
  bool FWakePending = false;

  std::mutex FDeadlinesLock;  // guards FDeadlines and FWaitUntil
  TDeadlineHeap<uint64_t> FDeadlines;
  std::function<void(uint64_t uid)> FDeadlineHandler;
  // When the thread's last computed wait ends by itself (kNever: it does not); an earlier
  // deadline added by another thread wakes it.
  uint64_t FWaitUntil = TDeadlineHeap<int>::kNever;
};

}  // namespace gw
