// TAnonymousThreadEx: a thread that runs a procedure given at creation, passing it
// the thread and a data pointer. The server links run their loops on one each.
// Stop protocol: the owner clears its own run flag, calls Terminate (which also
// wakes a Sleep in progress) and WaitFor, then frees the object.
//
// Thread safety: Terminate, Terminated and Sleep's wake-up are safe from any thread;
// Start and WaitFor belong to the owner. The procedure runs on the new thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace gw {

class TAnonymousThreadEx {
 public:
  using TThreadProc = std::function<void(TAnonymousThreadEx& Thread, void* Data)>;

  // Created suspended: nothing runs until Start.
  TAnonymousThreadEx(TThreadProc AProc, void* Data);
  // Terminates and waits for a running thread.
  ~TAnonymousThreadEx();
  TAnonymousThreadEx(const TAnonymousThreadEx&) = delete;
  TAnonymousThreadEx& operator=(const TAnonymousThreadEx&) = delete;

  // Creates a suspended thread. The caller owns it (there is no free-on-terminate:
  // the links always keep and free their thread themselves).
  static std::unique_ptr<TAnonymousThreadEx> CreateAnonymousThreadEx(TThreadProc AProc, void* Data);

  // Starts the thread once; later calls do nothing.
  void Start();
  // Asks the procedure to end and wakes a Sleep in progress. Safe from any thread.
  void Terminate();
  bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
  // Waits until the procedure has returned; returns at once when never started.
  void WaitFor();

  // Sleeps up to Ms milliseconds, ending early on Terminate. Returns false when the
  // thread has been asked to terminate. Meant for the procedure's own pauses.
  bool Sleep(uint32_t Ms);

 private:
  void Execute();

  TThreadProc FProc;
  void* FData;
  std::thread FThread;
  std::atomic<bool> FTerminated{false};
  std::mutex FWakeLock;  // guards the wake-up of Sleep (with FWake)
  std::condition_variable FWake;
};

}  // namespace gw
