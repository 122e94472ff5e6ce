// THeadlessSignals: what tells the headless gateway to stop or to reload, per platform.
// Linux: SIGTERM and SIGINT stop, SIGHUP reloads, SIGUSR1 reopens the log file, SIGUSR2 asks
// for a binary upgrade (taken by a thread of this object through a signalfd; Block must have
// run in main before any other thread existed).
// Windows: the console's Ctrl+C, close, logoff and shutdown stop and Ctrl+Break reloads;
// when standard input is a pipe (a supervisor, the tests), its end stops too. There is no
// SIGUSR1 there: a log file is not renamed while the gateway holds it open; nor SIGUSR2 (the
// upgrade by listener hand-over is not supported there).
//
// Thread safety: the actions run on a thread of this object (or the system's console
// thread) and must only ask the front end to act. Construction and destruction belong to
// the owner's thread; after the destructor no action runs any more.
#pragma once

#include <functional>
#include <memory>

namespace gw {

class THeadlessSignals {
 public:
  THeadlessSignals(std::function<void()> Stop, std::function<void()> Reload,
                   std::function<void()> Upgrade = {});
  ~THeadlessSignals();
  THeadlessSignals(const THeadlessSignals&) = delete;
  THeadlessSignals& operator=(const THeadlessSignals&) = delete;

  // Linux: blocks SIGHUP, SIGTERM, SIGINT, SIGUSR1 and SIGUSR2 for the calling thread and the
  // threads it creates later, so that only this object takes them, and ignores SIGPIPE (a reader of
  // standard output that goes away must not end the gateway). Nothing elsewhere.
  static void Block();
  // Whether the object watches anything (false: the platform's source could not be opened;
  // logged).
  bool Watching() const { return FWatching; }

 private:
  struct TState;
  std::unique_ptr<TState> FState;
  bool FWatching = false;
};

}  // namespace gw
