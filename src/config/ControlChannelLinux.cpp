#include "config/ControlChannel.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "common/Platform.h"

namespace gw {

namespace {

constexpr int kSendTimeoutMs = 1000;

// Closes the descriptor when the scope ends.
struct TSocketGuard {
  int Fd;
  ~TSocketGuard() {
    if (Fd >= 0) ::close(Fd);
  }
};

std::string Octal(unsigned mode) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", mode & 07777);
  return buf;
}

// The folder the sockets live in, checked: a real folder (not a link), owned by this user,
// open to nobody else. Created (0700) when missing and Create is set.
std::string CheckedFolder(bool Create) {
  const std::string folder = ControlFolder();
  if (Create && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    throw std::system_error(errno, std::generic_category(), "control folder " + folder);
  }
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) {
    throw std::system_error(errno, std::generic_category(), "control folder " + folder);
  }
  if (!S_ISDIR(st.st_mode)) {
    throw std::runtime_error("control folder " + folder + " is not a folder; refusing it");
  }
  if (st.st_uid != ::geteuid()) {
    throw std::runtime_error("control folder " + folder + " belongs to uid " +
                             std::to_string(st.st_uid) + ", not to this user (uid " +
                             std::to_string(::geteuid()) + "); refusing it");
  }
  if ((st.st_mode & 077) != 0) {
    throw std::runtime_error("control folder " + folder + " has mode " + Octal(st.st_mode) +
                             ": others may enter it; refusing it (it must be 0700)");
  }
  return folder;
}

socklen_t PathAddress(const std::string& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    throw std::runtime_error("control socket path " + path + " is too long for a socket (" +
                             std::to_string(sizeof addr.sun_path - 1) + " bytes at most)");
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
}

// Whether a socket at `path` has a listener (a datagram connect succeeds only then).
bool Listened(const sockaddr_un& addr, socklen_t len) {
  TSocketGuard probe{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  return probe.Fd >= 0 && ::connect(probe.Fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0;
}

}  // namespace

std::string ControlFolder() {
  // The session's runtime folder when it is this user's own (a shell switched to another
  // user may still name the first user's), else a folder of this user's own under /tmp.
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st {};
  if (runtime != nullptr && runtime[0] == '/' && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) &&
      st.st_uid == ::geteuid()) {
    return std::string(runtime) + "/pelvane-gateway";
  }
  return "/tmp/pelvane-gateway-" + std::to_string(::geteuid());
}

std::string ControlSocketPath(uint32_t AHandle, bool ACreateFolder) {
  return ControlFolderSocketPath(ControlSocketName(AHandle), ACreateFolder);
}

std::string ControlFolderSocketPath(const std::string& AName, bool ACreateFolder) {
  return CheckedFolder(ACreateFolder) + "/" + AName;
}

struct TControlChannel::TEndpoint {
  int Socket = -1;
  int WakeUp = -1;  // eventfd that ends the listening thread's wait
  THandler Handler;
  std::thread Thread;
  std::string Path;  // the bound socket's file, removed with it

  ~TEndpoint() {
    if (Socket >= 0) ::close(Socket);
    if (!Path.empty()) ::unlink(Path.c_str());
  }
};

bool TControlChannel::Send(uint32_t AHandle, uint32_t AWParam, std::string_view AText) {
  if (AHandle == 0 || AText.size() > kMaxControlText) return false;
  sockaddr_un addr;
  socklen_t len;
  try {
    // Only into a folder that is this user's alone: a socket someone else placed is never
    // sent to.
    len = PathAddress(ControlSocketPath(AHandle, /*ACreateFolder=*/false), addr);
  } catch (const std::exception&) {
    return false;
  }
  TSocketGuard s{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  if (s.Fd < 0) return false;
  // No listener: the connect fails at once with ECONNREFUSED.
  if (::connect(s.Fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0) return false;
  timeval timeout{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
  ::setsockopt(s.Fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  const std::string datagram = EncodeControlMessage(AWParam, AText);
  ssize_t n;
  do {
    n = ::send(s.Fd, datagram.data(), datagram.size(), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(datagram.size());
}

TControlChannel::TControlChannel(uint32_t AHandle, TLogProc ALog)
    : FHandle(AHandle), FLog(std::move(ALog)), FEndpoint(std::make_unique<TEndpoint>()) {
  int& fd = FEndpoint->Socket;
  fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "control socket");
  const int on = 1;
  const std::string path = ControlSocketPath(AHandle, /*ACreateFolder=*/true);
  sockaddr_un addr;
  const socklen_t len = PathAddress(path, addr);
  if (::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
    throw std::system_error(errno, std::generic_category(), "control socket " + path);
  }
  int rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len);
  if (rc != 0 && errno == EADDRINUSE && !Listened(addr, len)) {
    // Left by an earlier process that had this handle and ended without removing it; the
    // folder is this user's alone, so nobody else can have put it there.
    ::unlink(path.c_str());
    rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len);
  }
  const int bindError = errno;
  if (rc != 0) {
    throw std::system_error(bindError, std::generic_category(),
                            "control socket " + path +
                                (bindError == EADDRINUSE ? " is taken by another listener" : ""));
  }
  FEndpoint->Path = path;
  // The folder already keeps others out; the socket says the same on its own.
  ::chmod(path.c_str(), 0600);
}

TControlChannel::~TControlChannel() { Stop(); }

int TControlChannel::Fd() const { return FEndpoint->Socket; }

std::optional<TControlMessage> TControlChannel::Receive() {
  std::vector<char> buffer(4 + kMaxControlText + 1);
  for (;;) {
    iovec iov{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(FEndpoint->Socket, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;  // EAGAIN: nothing waits
    }
    const ucred* sender = nullptr;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
        sender = reinterpret_cast<const ucred*>(CMSG_DATA(c));
      }
    }
    const char* refused = nullptr;
    if (sender == nullptr || (sender->uid != ::geteuid() && sender->uid != 0)) {
      refused = "sent by another user";
    } else if (msg.msg_flags & MSG_TRUNC) {
      CountLimitBreach(TLimitBreach::lbControlTextTooLong);
      refused = "too long";
    }
    std::optional<TControlMessage> message;
    if (refused == nullptr) {
      message = DecodeControlMessage(std::string_view(buffer.data(), static_cast<size_t>(n)));
      if (!message) refused = "shorter than its header";
    }
    if (refused != nullptr) {
      if (FLog) FLog(std::string("Control channel: dropped a datagram ") + refused, llWarning);
      continue;
    }
    return message;
  }
}

void TControlChannel::Start(THandler AHandler) {
  TEndpoint& e = *FEndpoint;
  if (e.Thread.joinable()) return;
  e.WakeUp = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (e.WakeUp < 0) throw std::system_error(errno, std::generic_category(), "control eventfd");
  e.Handler = std::move(AHandler);
  e.Thread = std::thread([this] { Execute(); });
}

void TControlChannel::Stop() {
  TEndpoint& e = *FEndpoint;
  if (!e.Thread.joinable()) return;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(e.WakeUp, &one, sizeof one);
  e.Thread.join();
  ::close(e.WakeUp);
  e.WakeUp = -1;
}

void TControlChannel::Execute() {
  NameCurrentThread("gw-control");
  TEndpoint& e = *FEndpoint;
  for (;;) {
    pollfd fds[2] = {{e.Socket, POLLIN, 0}, {e.WakeUp, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      if (FLog) FLog(std::string("Control channel: poll failed: ") + std::strerror(errno), llError);
      return;
    }
    if (fds[1].revents != 0) return;
    while (std::optional<TControlMessage> message = Receive()) {
      try {
        e.Handler(*message);
      } catch (const std::exception& ex) {
        if (FLog) FLog(std::string("Control channel: handler failed: ") + ex.what(), llError);
      } catch (...) {
        if (FLog) FLog("Control channel: handler failed", llError);
      }
    }
  }
}

}  // namespace gw
