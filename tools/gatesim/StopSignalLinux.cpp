#include <pthread.h>
#include <signal.h>

#include "StopSignal.h"

namespace gw {

namespace {
sigset_t gStopSignals;
}

void IgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }

void PrepareStopSignals() {
  sigemptyset(&gStopSignals);
  sigaddset(&gStopSignals, SIGINT);
  sigaddset(&gStopSignals, SIGTERM);
  // Blocked before any thread starts, so only sigwait below sees them.
  pthread_sigmask(SIG_BLOCK, &gStopSignals, nullptr);
}

void WaitForStop() {
  int sig = 0;
  sigwait(&gStopSignals, &sig);
}

}  // namespace gw
