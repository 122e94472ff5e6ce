#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "common/Platform.h"
#include "config/ControlChannel.h"
#include "config/UpgradeListener.h"

namespace gw {

struct TUpgradeListener::TState {
  int Socket = -1;
  int WakeUp = -1;
  std::string Path;
  THandler Handler;
  std::thread Thread;

  ~TState() {
    if (Socket >= 0) ::close(Socket);
    if (WakeUp >= 0) ::close(WakeUp);
    if (!Path.empty()) ::unlink(Path.c_str());
  }
};

namespace {

socklen_t PathAddress(const std::string& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    throw std::runtime_error("upgrade socket path " + path + " is too long for a socket");
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  return static_cast<socklen_t>(sizeof addr);
}

// Whether a socket at the address has a listener (a connect succeeds only then).
bool Listened(const sockaddr_un& addr, socklen_t len) {
  const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  const bool listened = ::connect(probe, reinterpret_cast<const sockaddr*>(&addr), len) == 0;
  ::close(probe);
  return listened;
}

}  // namespace

TUpgradeListener::TUpgradeListener(const std::string& AWorkFolder, TLogProc ALog)
    : FLog(std::move(ALog)), FState(std::make_unique<TState>()) {
  const std::string path =
      ControlFolderSocketPath(UpgradeSocketName(AWorkFolder), /*ACreateFolder=*/true);
  sockaddr_un addr;
  const socklen_t len = PathAddress(path, addr);
  FState->Socket = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (FState->Socket < 0) throw std::system_error(errno, std::generic_category(), "upgrade socket");
  int rc = ::bind(FState->Socket, reinterpret_cast<const sockaddr*>(&addr), len);
  if (rc != 0 && errno == EADDRINUSE && !Listened(addr, len)) {
    // Left by a gateway of this folder that ended without removing it (the folder is this
    // user's alone).
    ::unlink(path.c_str());
    rc = ::bind(FState->Socket, reinterpret_cast<const sockaddr*>(&addr), len);
  }
  if (rc != 0) {
    const int error = errno;
    throw std::system_error(
        error, std::generic_category(),
        "upgrade socket " + path +
            (error == EADDRINUSE ? " is taken: another gateway serves this work folder" : ""));
  }
  FState->Path = path;
  ::chmod(path.c_str(), 0600);
  if (::listen(FState->Socket, 4) != 0) {
    throw std::system_error(errno, std::generic_category(), "upgrade socket " + path);
  }
  FState->WakeUp = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FState->WakeUp < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

TUpgradeListener::~TUpgradeListener() { Stop(); }

const std::string& TUpgradeListener::Path() const { return FState->Path; }

void TUpgradeListener::Start(THandler AHandler) {
  if (FState->Thread.joinable()) return;
  FState->Handler = std::move(AHandler);
  FState->Thread = std::thread([this] { Execute(); });
}

void TUpgradeListener::Stop() {
  if (!FState->Thread.joinable()) return;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(FState->WakeUp, &one, sizeof one);
  FState->Thread.join();
}

void TUpgradeListener::Retire() {
  if (FState->Socket >= 0) ::close(FState->Socket);
  FState->Socket = -1;
  if (!FState->Path.empty()) ::unlink(FState->Path.c_str());
  FState->Path.clear();
}

void TUpgradeListener::Execute() {
  NameCurrentThread("gw-upgrade");
  for (;;) {
    pollfd fds[2] = {{FState->Socket, POLLIN, 0}, {FState->WakeUp, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      if (FLog) FLog(std::string("Upgrade channel: poll failed: ") + std::strerror(errno), llError);
      return;
    }
    if (fds[1].revents != 0) return;
    const int fd = ::accept4(FState->Socket, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    TUpgradeChannel channel(fd, FState->WakeUp);
    if (!channel.PeerIsTrusted()) {
      if (FLog) FLog("Upgrade channel: refused a connection of another user", llWarning);
      continue;
    }
    try {
      FState->Handler(channel);
    } catch (const std::exception& e) {
      if (FLog) FLog(std::string("Upgrade channel: handler failed: ") + e.what(), llError);
    }
    if (FState->Socket < 0) return;  // retired
  }
}

}  // namespace gw
