#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <thread>

#include "app/HeadlessSignals.h"
#include "common/Platform.h"
#include "common/ServiceSignalsLinux.h"
#include "logging/Logger.h"
#include "logging/LoggerThread.h"

namespace gw {

struct THeadlessSignals::TState {
  int SignalFd = -1;
  int EndFd = -1;  // written by the destructor: the thread ends
  std::thread Thread;
};

namespace {

// The service's signals and the upgrade's, which only the headless gateway takes (the
// console leaves it pending, unread).
sigset_t WatchedSignals() {
  sigset_t set = ServiceSignalSet();
  sigaddset(&set, SIGUSR2);
  return set;
}

}  // namespace

void THeadlessSignals::Block() {
  sigset_t set = WatchedSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // A reader of standard output that goes away must not end the gateway.
  std::signal(SIGPIPE, SIG_IGN);
}

THeadlessSignals::THeadlessSignals(std::function<void()> Stop, std::function<void()> Reload,
                                   std::function<void()> Upgrade)
    : FState(std::make_unique<TState>()) {
  sigset_t set = WatchedSignals();
  FState->SignalFd = signalfd(-1, &set, SFD_CLOEXEC);
  FState->EndFd = eventfd(0, EFD_CLOEXEC);
  if (FState->SignalFd < 0 || FState->EndFd < 0) {
    TLogger::LogError("OnException:signalfd failed");
    return;
  }
  FWatching = true;
  FState->Thread = std::thread([state = FState.get(), Stop = std::move(Stop),
                                Reload = std::move(Reload), Upgrade = std::move(Upgrade)] {
    NameCurrentThread("gw-signals");
    for (;;) {
      pollfd fds[2] = {{state->SignalFd, POLLIN, 0}, {state->EndFd, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) continue;  // EINTR
      if (fds[1].revents & POLLIN) return;
      signalfd_siginfo info;
      if ((fds[0].revents & POLLIN) && read(state->SignalFd, &info, sizeof(info)) == sizeof(info)) {
        if (info.ssi_signo == SIGHUP) {
          Reload();
        } else if (info.ssi_signo == SIGUSR1) {
          TLoggerThread::ReopenGlobalFiles();
        } else if (info.ssi_signo == SIGUSR2) {
          if (Upgrade) Upgrade();
        } else {
          Stop();
        }
      }
    }
  });
}

THeadlessSignals::~THeadlessSignals() {
  if (FState->Thread.joinable()) {
    uint64_t one = 1;
    ssize_t r = write(FState->EndFd, &one, sizeof(one));
    (void)r;
    FState->Thread.join();
  }
  if (FState->SignalFd >= 0) close(FState->SignalFd);
  if (FState->EndFd >= 0) close(FState->EndFd);
}

}  // namespace gw
