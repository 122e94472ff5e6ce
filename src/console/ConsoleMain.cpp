#include "console/ConsoleMain.h"

#include <sys/signalfd.h>
#include <unistd.h>
#include <QProxyStyle>
#include <QSocketNotifier>
#include <csignal>
#include <cstdlib>

#include "console/ConsoleErrors.h"
#include "console/ConsoleFonts.h"
#include "console/FrmMain.h"

namespace gw {

namespace {

// Hints appear after 100 ms (each widget keeps them for 10 seconds).
class TConsoleStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override {
    if (hint == QStyle::SH_ToolTip_WakeUpDelay) return 100;
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};

bool EnvSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

}  // namespace

bool ConsoleDisplayAvailable() {
  return EnvSet("DISPLAY") || EnvSet("WAYLAND_DISPLAY");
}

int RunConsole(int argc, char** argv) {
  TConsoleApplication app(argc, argv);
  app.setStyle(new TConsoleStyle);
  InstallConsoleFonts();
  // SIGTERM and SIGINT close the window without the question, like the controlling program's
  // close command. They are taken through a signalfd when main blocked them before any thread
  // started; otherwise their default action still ends the process.
  sigset_t closeSignals;
  sigemptyset(&closeSignals);
  sigaddset(&closeSignals, SIGTERM);
  sigaddset(&closeSignals, SIGINT);
  sigset_t blocked;
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  const bool signalsBlocked =
      sigismember(&blocked, SIGTERM) == 1 && sigismember(&blocked, SIGINT) == 1;
  const int signalFd =
      signalsBlocked ? signalfd(-1, &closeSignals, SFD_CLOEXEC | SFD_NONBLOCK) : -1;
  int code = 0;
  {
    TFrmMain window;
    if (signalFd >= 0) {
      auto* notifier = new QSocketNotifier(signalFd, QSocketNotifier::Read, &window);
      QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window, signalFd] {
        signalfd_siginfo info;
        while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        }
        window.CloseWithoutAsking();
      });
    }
    window.show();
    code = app.exec();
  }
  if (signalFd >= 0) close(signalFd);
  return code;
}

}  // namespace gw
