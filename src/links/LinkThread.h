// TLinkThread: the thread a server link runs its loop on (TServerLinkClient), with the
// stop protocol the links share: Stop asks the loop to end, wakes a Sleep in progress and
// waits for the thread. (The link also wakes its own wait, through its TLinkWake.)
//
// Thread safety: Start, Stop and Running belong to the link's owner; IsCurrent is safe from
// any thread; Terminated and Sleep are called by the loop on the link's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "common/AnonymousThreadEx.h"

namespace gw {

class TLinkThread {
 public:
  using TBody = std::function<void(TAnonymousThreadEx& Thread)>;

  TLinkThread() = default;
  ~TLinkThread() { Stop(); }
  TLinkThread(const TLinkThread&) = delete;
  TLinkThread& operator=(const TLinkThread&) = delete;

  // Runs Body on a new thread; nothing when one runs already.
  void Start(TBody Body);
  // Ends the thread and waits for it; nothing when none runs. It may be started again.
  void Stop();
  // Whether a thread was started and not yet stopped.
  bool Running() const { return FThread != nullptr; }
  // Whether the caller is the running loop's thread. Any thread.
  bool IsCurrent() const { return FThreadId.load() == std::this_thread::get_id(); }
  // Whether the running loop was asked to end (false when no thread runs).
  bool Terminated() const;
  // Pauses the loop up to Ms milliseconds, ended early by Stop; a plain sleep when
  // called without a running thread. Returns false when the loop is to end.
  bool Sleep(uint32_t Ms);

 private:
  TBody FBody;
  // Written only by Start and Stop while no thread of it runs, so the loop may read it.
  std::unique_ptr<TAnonymousThreadEx> FThread;
  // The running loop's thread; a default id while none runs.
  std::atomic<std::thread::id> FThreadId{};
};

}  // namespace gw
