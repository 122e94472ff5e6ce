#include "links/SocketClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/Platform.h"

namespace gw {

namespace {

std::string SystemMessage(int err) { return std::strerror(err); }

// Empties an eventfd (non-blocking) so the next wait sleeps again.
void DrainWake(int fd) {
  uint64_t count;
  while (::read(fd, &count, sizeof(count)) == static_cast<ssize_t>(sizeof(count))) {
  }
}

// Connects the non-blocking fd to addr. While the connect is in progress, a readable
// WakeFd makes it ask `aborted` whether to give up. Returns 0 or the errno of the failure.
int ConnectWithAbort(int fd, const sockaddr* addr, socklen_t len, int WakeFd,
                     const std::function<bool()>& aborted) {
  if (::connect(fd, addr, len) == 0) return 0;
  int err = errno;
  if (err != EINPROGRESS) return err;
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
      DrainWake(WakeFd);
      if (aborted && aborted()) return ECANCELED;
    }
  }
}

}  // namespace

TSocketClient::TSocketClient() : FSendStream(kStreamCapacity), FRecvStream(kStreamCapacity) {}

TSocketClient::~TSocketClient() { CloseSocket(); }

void TSocketClient::CloseSocket() {
  int fd = FSocket.exchange(-1, std::memory_order_acq_rel);
  if (fd >= 0) ::close(fd);
}

bool TSocketClient::Connect(const std::string& Host, int32_t Port, std::string& ErrorText,
                            int WakeFd) {
  CloseSocket();
  if (Port < 0 || Port > 65535) {
    ErrorText = "Invalid port " + std::to_string(Port);
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int gai = ::getaddrinfo(Host.c_str(), std::to_string(Port).c_str(), &hints, &found);
  if (gai != 0) {
    ErrorText = gai == EAI_SYSTEM ? SystemMessage(errno) : std::string(gai_strerror(gai));
    return false;
  }
  int err = EHOSTUNREACH;
  int fd = -1;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) {
      err = errno;
      continue;
    }
    // Asked before connecting so the receive window is scaled for it; read back below.
    int snd = static_cast<int>(kSocketBufferRequest);
    int rcv = static_cast<int>(kSocketBufferRequest);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &snd, sizeof(snd));
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof(rcv));
    err = ConnectWithAbort(fd, a->ai_addr, a->ai_addrlen, WakeFd, FAbortCheck);
    if (err == 0) break;
    ::close(fd);
    fd = -1;
    if (err == ECANCELED) break;
  }
  ::freeaddrinfo(found);
  if (fd < 0) {
    ErrorText = SystemMessage(err);
    return false;
  }
  // Linux reports twice the usable size (it counts its bookkeeping); the usable half is
  // what the other platforms report, and it is the slice size SendData relies on.
  int granted = 0;
  socklen_t len = sizeof(granted);
  if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &granted, &len) == 0 && granted > 1) {
    FSendSize = static_cast<uint32_t>(granted / 2);
  }
  len = sizeof(granted);
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &len) == 0 && granted > 1) {
    FRecvSize = static_cast<uint32_t>(granted / 2);
  }
  FSocket.store(fd, std::memory_order_release);
  return true;
}

void TSocketClient::ProcessSocketLogic() {
  if (!IsConnected()) return;
  RecvData();
  if (IsConnected()) SendData();
}

std::string TSocketClient::GetLocalAddress() const {
  int fd = SocketHandle();
  if (fd < 0) return {};
  sockaddr_in addr{};
  socklen_t len = sizeof(addr);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      addr.sin_family != AF_INET) {
    return {};
  }
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &addr.sin_addr, text, sizeof(text)) == nullptr) return {};
  return text;
}

int64_t TSocketClient::RecvData() {
  int fd = SocketHandle();
  if (fd < 0) return 0;
  int count = 0;
  if (ioctl(fd, FIONREAD, &count) != 0) {
    int err = errno;
    Disconnect(err, "RecvData Close");
    return 0;
  }
  FRecvStream.CheckCompactionMemory();
  if (count <= 0) return 0;
  uint8_t* p = FRecvStream.GetWritePointer(count);
  ssize_t n = ::recv(fd, p, static_cast<size_t>(count), MSG_DONTWAIT);
  if (n < 0) {
    int err = errno;
    FRecvStream.ShrinkTail(count);
    if (err == EINTR || err == EAGAIN) return 0;  // nothing read; the bytes wait for the next step
    Disconnect(err, "RecvData Close 2");
    return 0;
  }
  // The socket announced `count` bytes; keep only what really arrived.
  if (n < count) FRecvStream.ShrinkTail(count - n);
  Count(FBytesIn, n);
  return n;
}

bool TSocketClient::CheckPeerClosed() {
  int fd = SocketHandle();
  if (fd < 0) return true;
  char probe;
  ssize_t n = ::recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n > 0) return false;
  if (n == 0) {
    Disconnect(0, "RecvData Close");
    return true;
  }
  int err = errno;
  if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) return false;
  Disconnect(err, "RecvData Close 2");
  return true;
}

int64_t TSocketClient::SendData() {
  int fd = SocketHandle();
  if (fd < 0 || FSendStream.Size() == 0) return 0;
  int64_t slice = FSendStream.Size() < static_cast<int64_t>(FSendSize)
                      ? FSendStream.Size()
                      : static_cast<int64_t>(FSendSize);
  int64_t sent = 0;
  while (slice > 0) {
    ssize_t n = ::send(fd, FSendStream.Memory(), static_cast<size_t>(slice),
                       MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n == 0) {
      Disconnect(0, "Disconnect When SendData");
      return sent;
    }
    if (n < 0) {
      int err = errno;
      if (err == EINTR) continue;
      // The socket is full: the rest waits until the link's wait reports it writable.
      if (err == EWOULDBLOCK || err == EAGAIN) return sent;
      Disconnect(err, "Disconnect When SendData 2");
      return sent;
    }
    FSendStream.ForwardHeadCursor(n);
    Count(FBytesOut, n);
    slice -= n;
    sent += n;
  }
  return sent;
}

bool TSocketClient::FlushSendStream(uint32_t TimeLimitMs) {
  int fd = SocketHandle();
  if (fd < 0) return FSendStream.Size() == 0;
  const uint32_t start = GetTickCount32();
  auto remaining = [&]() -> int {
    uint32_t spent = TicksSince(GetTickCount32(), start);
    return spent >= TimeLimitMs ? 0 : static_cast<int>(TimeLimitMs - spent);
  };
  while (FSendStream.Size() > 0) {
    ssize_t n = ::send(fd, FSendStream.Memory(), static_cast<size_t>(FSendStream.Size()),
                       MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      FSendStream.ForwardHeadCursor(n);
      Count(FBytesOut, n);
      continue;
    }
    if (n < 0 && errno != EWOULDBLOCK && errno != EAGAIN && errno != EINTR) return false;
    int left = remaining();
    if (left == 0) return false;
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, left);
  }
  // Bytes handed to the socket are not yet at the peer: a close with unread received
  // bytes resets the connection and throws away what the peer has not acknowledged.
  for (;;) {
    int unacknowledged = 0;
    if (ioctl(fd, SIOCOUTQ, &unacknowledged) != 0) return false;
    if (unacknowledged == 0) return true;
    if (remaining() == 0) return false;
    SleepMs(1);
  }
}

void TSocketClient::Disconnect(int32_t /*ErrorCode*/, const std::string& /*Desc*/) {
  FSendStream.Clear();
  FRecvStream.Clear();
  CloseSocket();
}

}  // namespace gw
