#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <chrono>

#include "common/PeerLimits.h"
#include "net/NetDiagLog.h"
#include "net/SocketApi.h"
#include "net/SocketServer.h"

namespace gw {

namespace {

constexpr int kMaxAcceptsPerWake = 64;
// How long a listener rests when no descriptor is left to refuse a client with.
constexpr auto kListenRest = std::chrono::milliseconds(100);

}  // namespace

void TSocketServer::PlatformStart() {
  if (FSpareFd < 0) FSpareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void TSocketServer::PlatformEnd() {
  if (FSpareFd >= 0) ::close(FSpareFd);
  FSpareFd = -1;
}

int TSocketServer::OpenListenSocket(const addrinfo& ai, bool anyHost, bool& skip) {
  skip = false;
  int fd = ::socket(ai.ai_family, ai.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai.ai_protocol);
  if (fd < 0) {
    // A host without IPv6 still serves IPv4 on "every local address".
    if (anyHost && errno == EAFNOSUPPORT) {
      skip = true;
      return -1;
    }
    TNetDiagLog::SystemError("TIocpSocketEngine.Listen.WSASocket", errno);
    return -1;
  }
  SocketSetOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
  if (ai.ai_family == AF_INET6) SocketSetOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1);
  if (::bind(fd, ai.ai_addr, ai.ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    int error = errno;
    ::close(fd);
    if (anyHost && ai.ai_family == AF_INET6 && error == EADDRNOTAVAIL) {
      skip = true;
      return -1;
    }
    TNetDiagLog::SystemError("TIocpSocketEngine.Listen.Bind", error);
    return -1;
  }
  return fd;
}

bool TSocketServer::WatchListen(const std::shared_ptr<TAbstractListen>& listen) {
  for (const auto& thread : FIoThreads) {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLEXCLUSIVE;
    ev.data.ptr = static_cast<TIoTarget*>(listen.get());
    if (epoll_ctl(static_cast<int>(thread->PollHandle()), EPOLL_CTL_ADD, listen->Socket(), &ev) !=
        0) {
      TNetDiagLog::SystemError("TIocpSocketEngine.Listen.epoll_ctl", errno);
      return false;
    }
  }
  return true;
}

void TSocketServer::UnwatchListen(TAbstractListen& listen) {
  for (const auto& thread : FIoThreads) {
    epoll_ctl(static_cast<int>(thread->PollHandle()), EPOLL_CTL_DEL, listen.Socket(), nullptr);
  }
}

void TSocketServer::AcceptOn(TAbstractListen& listen, TIoEventThread& thread) {
  assert(thread.IsCurrent());
  for (int i = 0; i < kMaxAcceptsPerWake; ++i) {
    int fd = -1;
    int error = 0;
    TShed shed = shNone;
    {
      // Every accept of this server takes this lock, so the slot the spare gives up
      // goes to the connection being refused, not to another I/O thread's accept.
      std::lock_guard<std::mutex> guard(FAcceptLock);
      // Released to another process meanwhile: its queue is no longer this server's.
      if (listen.IsClosed()) return;
      fd = ::accept4(listen.Socket(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      error = fd < 0 ? errno : 0;
      if (fd >= 0) {
        FOutOfDescriptors = false;
        // Descriptors are free again: take back a spare lost to another part of the process.
        if (FSpareFd < 0) FSpareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      } else if (error == EMFILE || error == ENFILE) {
        shed = ShedOne(listen, error);
      }
    }
    if (fd >= 0) {
      AcceptOne(fd);
      continue;
    }
    if (error == EINTR || error == ECONNABORTED || error == EPROTO) continue;
    if (shed == shRefused) {
      Stats().Count(TLimitBreach::lbAcceptNoDescriptor);
      continue;  // the next pending client is refused as promptly
    }
    if (shed == shNoSpare) RestListen(listen, thread);
    return;  // EAGAIN, a closed listener, or a failure already logged
  }
}

TSocketServer::TShed TSocketServer::ShedOne(TAbstractListen& listen, int error) {
  if (!FOutOfDescriptors) {
    // Once per shortage, not once per refused client.
    FOutOfDescriptors = true;
    TNetDiagLog::SystemError("TIocpSocketEngine._NewAccept.WSASocket", error);
  }
  if (FSpareFd < 0) FSpareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (FSpareFd < 0) return shNoSpare;
  ::close(FSpareFd);
  int refused = ::accept4(listen.Socket(), nullptr, nullptr, SOCK_CLOEXEC);
  int acceptError = errno;
  if (refused >= 0) ::close(refused);  // the client sees its connection end at once
  FSpareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (refused >= 0) return shRefused;
  // The slot went to a descriptor opened elsewhere in the process meanwhile.
  if (acceptError == EMFILE || acceptError == ENFILE) return shNoSpare;
  return shNone;
}

void TSocketServer::RestListen(TAbstractListen& listen, TIoEventThread& thread) {
  // Nothing left to refuse the pending client with. The listener is level-triggered:
  // left in place it would wake this thread again at once. It rests instead, and is
  // watched again after a short while, when descriptors may be free.
  {
    std::lock_guard<std::mutex> guard(FListensLock);
    if (listen.IsClosed()) return;
    epoll_ctl(static_cast<int>(thread.PollHandle()), EPOLL_CTL_DEL, listen.Socket(), nullptr);
  }
  uint64_t uid = listen.UID();
  thread.PostAfter(kListenRest, [this, uid, &thread] {
    std::lock_guard<std::mutex> guard(FListensLock);
    auto it = FListens.find(uid);
    if (it == FListens.end() || it->second->IsClosed()) return;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLEXCLUSIVE;
    ev.data.ptr = static_cast<TIoTarget*>(it->second.get());
    if (epoll_ctl(static_cast<int>(thread.PollHandle()), EPOLL_CTL_ADD, it->second->Socket(),
                  &ev) != 0) {
      TNetDiagLog::SystemError("TIocpSocketEngine.Listen.epoll_ctl", errno);
    }
  });
}

}  // namespace gw
