#include "console/ConsoleMain.h"

#include <dlfcn.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
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

std::string EnvText(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Connects to the X display the way the toolkit will (libxcb, with the same authorisation),
// loaded at run time so the gateway does not depend on it when it has no console.
bool X11DisplayReachable(const std::string& display) {
  void* xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (xcb == nullptr) return false;
  using TConnect = void* (*)(const char*, int*);
  using THasError = int (*)(void*);
  using TDisconnect = void (*)(void*);
  auto connect = reinterpret_cast<TConnect>(dlsym(xcb, "xcb_connect"));
  auto hasError = reinterpret_cast<THasError>(dlsym(xcb, "xcb_connection_has_error"));
  auto disconnect = reinterpret_cast<TDisconnect>(dlsym(xcb, "xcb_disconnect"));
  bool reachable = false;
  if (connect && hasError && disconnect) {
    void* connection = connect(display.c_str(), nullptr);
    reachable = connection != nullptr && hasError(connection) == 0;
    if (connection != nullptr) disconnect(connection);  // also frees a failed connection
  }
  dlclose(xcb);
  return reachable;
}

// The compositor's socket: WAYLAND_DISPLAY as a path, or a name under XDG_RUNTIME_DIR.
bool WaylandDisplayReachable(const std::string& display) {
  const std::string path =
      display.front() == '/' ? display : EnvText("XDG_RUNTIME_DIR") + "/" + display;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  path.copy(address.sun_path, path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool reachable =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return reachable;
}

}  // namespace

bool ConsoleDisplayAvailable(std::string* Why) {
  const std::string wayland = EnvText("WAYLAND_DISPLAY");
  const std::string x11 = EnvText("DISPLAY");
  if (!wayland.empty() && WaylandDisplayReachable(wayland)) return true;
  if (!x11.empty() && X11DisplayReachable(x11)) return true;
  if (Why != nullptr) {
    if (wayland.empty() && x11.empty()) {
      *Why = "没有可用的显示 (DISPLAY/WAYLAND_DISPLAY)";
    } else {
      *Why = "无法连接显示";
      if (!x11.empty()) *Why += " DISPLAY=" + x11;
      if (!wayland.empty()) *Why += " WAYLAND_DISPLAY=" + wayland;
    }
  }
  return false;
}

int RunConsole(int argc, char** argv) {
  TConsoleApplication app(argc, argv);
  app.setStyle(new TConsoleStyle);
  InstallConsoleFonts();
  // SIGTERM and SIGINT close the window without the question, like the controlling program's
  // close command; SIGHUP reloads the configuration, as in the headless mode. They are taken
  // through a signalfd when main blocked them before any thread started; otherwise their
  // default action still ends the process.
  sigset_t serviceSignals;
  sigemptyset(&serviceSignals);
  sigaddset(&serviceSignals, SIGTERM);
  sigaddset(&serviceSignals, SIGINT);
  sigaddset(&serviceSignals, SIGHUP);
  sigset_t blocked;
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  const bool signalsBlocked = sigismember(&blocked, SIGTERM) == 1 &&
                              sigismember(&blocked, SIGINT) == 1 &&
                              sigismember(&blocked, SIGHUP) == 1;
  const int signalFd =
      signalsBlocked ? signalfd(-1, &serviceSignals, SFD_CLOEXEC | SFD_NONBLOCK) : -1;
  int code = 0;
  {
    TFrmMain window;
    if (signalFd >= 0) {
      auto* notifier = new QSocketNotifier(signalFd, QSocketNotifier::Read, &window);
      QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window, signalFd] {
        signalfd_siginfo info;
        bool close = false;
        bool reload = false;
        while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
          (info.ssi_signo == SIGHUP ? reload : close) = true;
        }
        if (close) {
          window.CloseWithoutAsking();
        } else if (reload) {
          window.ReloadConfig();
        }
      });
    }
    window.show();
    code = app.exec();
  }
  if (signalFd >= 0) close(signalFd);
  return code;
}

}  // namespace gw
