#include "links/LinkSocket.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "links/LinkWake.h"

namespace gw::links {

// The wait's bits are poll's own here: entries pass through unchanged.
static_assert(kPollIn == POLLIN && kPollOut == POLLOUT && kPollErr == POLLERR &&
              kPollHup == POLLHUP);

namespace {

constexpr int kMaxPollEntries = 4;

// Connects the non-blocking fd to addr. While the connect is in progress, a signalled Wake
// makes it ask `aborted` whether to give up. Returns 0 or the errno of the failure.
int ConnectWithAbort(int fd, const sockaddr* addr, socklen_t len, TLinkWake* Wake,
                     const std::function<bool()>& aborted) {
  if (::connect(fd, addr, len) == 0) return 0;
  int err = errno;
  if (err != EINPROGRESS) return err;
  const int WakeFd = Wake != nullptr ? static_cast<int>(Wake->Handle()) : -1;
  for (;;) {
    pollfd p[2] = {{fd, POLLOUT, 0}, {WakeFd, POLLIN, 0}};
    int r = ::poll(p, WakeFd >= 0 ? 2 : 1, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (p[0].revents != 0) {
      socklen_t l = sizeof(err);
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &l) != 0) err = errno;
      return err;
    }
    if (WakeFd >= 0 && (p[1].revents & POLLIN) != 0) {
      Wake->Drain();
      if (aborted && aborted()) return ECANCELED;
    }
  }
}

int PollEntries(TPollEntry* Entries, int Count, const timespec* Timeout, int TimeoutMs) {
  if (Count > kMaxPollEntries) {
    errno = EINVAL;
    return -1;
  }
  pollfd p[kMaxPollEntries];
  for (int i = 0; i < Count; ++i) {
    p[i] = {static_cast<int>(Entries[i].Handle), Entries[i].Events, 0};
  }
  int r = Timeout != nullptr ? ::ppoll(p, static_cast<nfds_t>(Count), Timeout, nullptr)
                             : ::poll(p, static_cast<nfds_t>(Count), TimeoutMs);
  for (int i = 0; i < Count; ++i) Entries[i].REvents = r > 0 ? p[i].revents : 0;
  return r;
}

}  // namespace

void StartSockets() {}

TSocketHandle ConnectTcpSocket(const std::string& Host, int32_t Port, uint32_t BufferRequest,
                               TLinkWake* Wake, const std::function<bool()>& Aborted,
                               std::string& ErrorText) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int gai = ::getaddrinfo(Host.c_str(), std::to_string(Port).c_str(), &hints, &found);
  if (gai != 0) {
    ErrorText = gai == EAI_SYSTEM ? SocketErrorText(errno) : std::string(gai_strerror(gai));
    return kNoSocket;
  }
  int err = EHOSTUNREACH;
  int fd = -1;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) {
      err = errno;
      continue;
    }
    // Asked before connecting so the receive window is scaled for it; read back later.
    int snd = static_cast<int>(BufferRequest);
    int rcv = static_cast<int>(BufferRequest);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &snd, sizeof(snd));
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof(rcv));
    err = ConnectWithAbort(fd, a->ai_addr, a->ai_addrlen, Wake, Aborted);
    if (err == 0) break;
    ::close(fd);
    fd = -1;
    if (err == ECANCELED) break;
  }
  ::freeaddrinfo(found);
  if (fd < 0) {
    ErrorText = SocketErrorText(err);
    return kNoSocket;
  }
  return fd;
}

uint32_t UsableSocketBufferSize(TSocketHandle Socket, bool Send) {
  // Linux reports twice the usable size (it counts its bookkeeping); the usable half is
  // what the other platforms report, and it is the slice size SendData relies on.
  int granted = 0;
  socklen_t len = sizeof(granted);
  if (getsockopt(static_cast<int>(Socket), SOL_SOCKET, Send ? SO_SNDBUF : SO_RCVBUF, &granted,
                 &len) == 0 &&
      granted > 1) {
    return static_cast<uint32_t>(granted / 2);
  }
  return 0;
}

void CloseSocketHandle(TSocketHandle Socket) {
  if (Socket >= 0) ::close(static_cast<int>(Socket));
}

std::string SocketLocalAddress(TSocketHandle Socket) {
  sockaddr_in addr{};
  socklen_t len = sizeof(addr);
  if (getsockname(static_cast<int>(Socket), reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      addr.sin_family != AF_INET) {
    return {};
  }
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &addr.sin_addr, text, sizeof(text)) == nullptr) return {};
  return text;
}

bool SocketBytesWaiting(TSocketHandle Socket, int& Count) {
  Count = 0;
  return ioctl(static_cast<int>(Socket), FIONREAD, &Count) == 0;
}

int64_t SocketRecv(TSocketHandle Socket, void* Data, size_t Size) {
  return ::recv(static_cast<int>(Socket), Data, Size, MSG_DONTWAIT);
}

int64_t SocketPeek(TSocketHandle Socket, void* Data, size_t Size) {
  return ::recv(static_cast<int>(Socket), Data, Size, MSG_PEEK | MSG_DONTWAIT);
}

int64_t SocketSend(TSocketHandle Socket, const void* Data, size_t Size) {
  return ::send(static_cast<int>(Socket), Data, Size, MSG_NOSIGNAL | MSG_DONTWAIT);
}

TUnacknowledged SocketUnacknowledgedBytes(TSocketHandle Socket, int& Count) {
  Count = 0;
  return ioctl(static_cast<int>(Socket), SIOCOUTQ, &Count) == 0 ? TUnacknowledged::uaCounted
                                                                : TUnacknowledged::uaFailed;
}

int PollSockets(TPollEntry* Entries, int Count, int TimeoutMs) {
  return PollEntries(Entries, Count, nullptr, TimeoutMs);
}

int PollSocketsFor(TPollEntry* Entries, int Count, std::chrono::nanoseconds Timeout) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Timeout);
  const timespec wait{static_cast<time_t>(seconds.count()),
                      static_cast<long>((Timeout - seconds).count())};
  return PollEntries(Entries, Count, &wait, 0);
}

int LastSocketError() { return errno; }

std::string SocketErrorText(int Error) { return std::strerror(Error); }

bool IsInterruptedError(int Error) { return Error == EINTR; }

bool IsWouldBlockError(int Error) { return Error == EAGAIN || Error == EWOULDBLOCK; }

}  // namespace gw::links
