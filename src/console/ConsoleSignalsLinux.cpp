#include <sys/signalfd.h>
#include <unistd.h>
#include <QPointer>
#include <QSocketNotifier>
#include <csignal>

#include "common/ServiceSignalsLinux.h"
#include "console/ConsoleSignals.h"
#include "console/FrmMain.h"
#include "logging/LoggerThread.h"

namespace gw {

struct TConsoleSignals::TState {
  int SignalFd = -1;
  QPointer<QSocketNotifier> Notifier;
};

TConsoleSignals::TConsoleSignals(TFrmMain& Window) : FState(std::make_unique<TState>()) {
  if (!ServiceSignalsBlocked()) return;
  const sigset_t serviceSignals = ServiceSignalSet();
  const int signalFd = signalfd(-1, &serviceSignals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd < 0) return;
  FState->SignalFd = signalFd;
  auto* notifier = new QSocketNotifier(signalFd, QSocketNotifier::Read, &Window);
  FState->Notifier = notifier;
  QObject::connect(notifier, &QSocketNotifier::activated, &Window, [&Window, signalFd] {
    signalfd_siginfo info;
    bool close = false;
    bool reload = false;
    bool reopen = false;
    while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      if (info.ssi_signo == SIGUSR1) {
        reopen = true;
      } else {
        (info.ssi_signo == SIGHUP ? reload : close) = true;
      }
    }
    if (reopen) TLoggerThread::ReopenGlobalFiles();
    if (close) {
      Window.CloseWithoutAsking();
    } else if (reload) {
      Window.ReloadConfig();
    }
  });
}

// The notifier goes before its descriptor.
TConsoleSignals::~TConsoleSignals() {
  delete FState->Notifier.data();
  if (FState->SignalFd >= 0) close(FState->SignalFd);
}

}  // namespace gw
