// TUpgradeListener: the running gateway's end of the listener hand-over (see TUpgradeChannel):
// listens on UpgradeSocketName(work folder) and runs a handler for each connection, one at a
// time, on a thread of its own ("gw-upgrade").
//
// Linux: the name is taken like the control channel's (a socket file left by an ended process
// is replaced; one with a listener is another gateway's, and the constructor throws).
// Windows: the hand-over is not supported; nothing listens and Start does nothing.
//
// Thread safety: Start and Stop belong to the owner's thread; the handler runs on the
// listener's thread, and a Receive it makes on the channel ends at Stop.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "config/UpgradeChannel.h"
#include "logging/LogLevel.h"

namespace gw {

class TUpgradeListener {
 public:
  using THandler = std::function<void(TUpgradeChannel& Channel)>;

  explicit TUpgradeListener(const std::string& AWorkFolder, TLogProc ALog = {});
  ~TUpgradeListener();  // stops
  TUpgradeListener(const TUpgradeListener&) = delete;
  TUpgradeListener& operator=(const TUpgradeListener&) = delete;

  void Start(THandler AHandler);
  void Stop();
  // From the handler: gives the name up at once (the socket is closed and its file removed),
  // so that the process the service went to can listen on it; the thread ends after the
  // handler. Before the handler answers its peer, which may bind the name next.
  void Retire();
  // The socket's path (empty on Windows).
  const std::string& Path() const;

 private:
  struct TState;
  void Execute();
  const TLogProc FLog;
  std::unique_ptr<TState> FState;
};

}  // namespace gw
