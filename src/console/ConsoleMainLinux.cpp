// The console's display check on Linux: an X11 or Wayland display the process can reach.
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>

#include "console/ConsoleMain.h"

namespace gw {

namespace {

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

}  // namespace gw
