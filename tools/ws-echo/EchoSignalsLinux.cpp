#include <pthread.h>
#include <signal.h>

#include "EchoSignals.h"

namespace echo {

namespace {
sigset_t gSignals;
}

void PrepareSignals() {
  sigemptyset(&gSignals);
  sigaddset(&gSignals, SIGINT);
  sigaddset(&gSignals, SIGTERM);
  sigaddset(&gSignals, SIGHUP);
  // Blocked before any thread starts, so only sigwait below sees them.
  pthread_sigmask(SIG_BLOCK, &gSignals, nullptr);
}

TSignal WaitForSignal() {
  int signal = 0;
  sigwait(&gSignals, &signal);
  return signal == SIGHUP ? sgReload : sgStop;
}

}  // namespace echo
