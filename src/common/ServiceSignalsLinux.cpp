#include "common/ServiceSignalsLinux.h"

#include <pthread.h>

namespace gw {

sigset_t ServiceSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGUSR1);
  return set;
}

bool ServiceSignalsBlocked() {
  sigset_t blocked;
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  return sigismember(&blocked, SIGTERM) == 1 && sigismember(&blocked, SIGINT) == 1 &&
         sigismember(&blocked, SIGHUP) == 1 && sigismember(&blocked, SIGUSR1) == 1;
}

}  // namespace gw
