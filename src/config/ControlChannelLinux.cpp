#include "config/ControlChannel.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "common/Platform.h"

namespace gw {

namespace {

constexpr int kSendTimeoutMs = 1000;

socklen_t AbstractAddress(uint32_t handle, sockaddr_un& addr) {
  const std::string name = ControlSocketName(handle);
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, name.data(), name.size());  // sun_path[0] = 0: abstract
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

// Closes the descriptor when the scope ends.
struct TSocketGuard {
  int Fd;
  ~TSocketGuard() {
    if (Fd >= 0) ::close(Fd);
  }
};

}  // namespace

struct TControlChannel::TEndpoint {
  int Socket = -1;
  int WakeUp = -1;  // eventfd that ends the listening thread's wait
  THandler Handler;
  std::thread Thread;

  ~TEndpoint() {
    if (Socket >= 0) ::close(Socket);
  }
};

bool TControlChannel::Send(uint32_t AHandle, uint32_t AWParam, std::string_view AText) {
  if (AHandle == 0 || AText.size() > kMaxControlText) return false;
  TSocketGuard s{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  if (s.Fd < 0) return false;
  sockaddr_un addr;
  const socklen_t len = AbstractAddress(AHandle, addr);
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
  sockaddr_un addr;
  const socklen_t len = AbstractAddress(AHandle, addr);
  if (::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
    throw std::system_error(errno, std::generic_category(),
                            "control socket @" + ControlSocketName(AHandle));
  }
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
