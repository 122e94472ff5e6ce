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

// How long one blocking wait (connect, a send into a full socket) lasts before
// the abort check is consulted again.
constexpr int kWaitSliceMs = 100;

std::string SystemMessage(int err) { return std::strerror(err); }

// Connects fd to addr, waiting in slices so that an abort request is noticed.
// Returns 0 or the errno of the failure.
int ConnectWithAbort(int fd, const sockaddr* addr, socklen_t len,
                     const std::function<bool()>& aborted) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
  int err = 0;
  if (::connect(fd, addr, len) != 0) {
    err = errno;
    if (err == EINPROGRESS) {
      err = 0;
      for (;;) {
        pollfd p{fd, POLLOUT, 0};
        int r = ::poll(&p, 1, kWaitSliceMs);
        if (r < 0 && errno != EINTR) {
          err = errno;
          break;
        }
        if (r > 0) {
          socklen_t l = sizeof(err);
          if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &l) != 0) err = errno;
          break;
        }
        if (aborted && aborted()) {
          err = ECANCELED;
          break;
        }
      }
    }
  }
  // The link works the socket in blocking mode.
  if (err == 0 && fcntl(fd, F_SETFL, flags) != 0) err = errno;
  return err;
}

}  // namespace

TSocketClient::TSocketClient() : FSendStream(kStreamCapacity), FRecvStream(kStreamCapacity) {}

TSocketClient::~TSocketClient() { CloseSocket(); }

void TSocketClient::CloseSocket() {
  int fd = FSocket.exchange(-1, std::memory_order_acq_rel);
  if (fd >= 0) ::close(fd);
}

bool TSocketClient::Connect(const std::string& Host, int32_t Port, std::string& ErrorText) {
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
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      err = errno;
      continue;
    }
    // Asked before connecting so the receive window is scaled for it; read back below.
    int snd = static_cast<int>(kSocketBufferRequest);
    int rcv = static_cast<int>(kSocketBufferRequest);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &snd, sizeof(snd));
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof(rcv));
    err = ConnectWithAbort(fd, a->ai_addr, a->ai_addrlen, FAbortCheck);
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
  // A send into a full socket wakes up now and then, so Stop is noticed (see SendData).
  timeval tv{0, kWaitSliceMs * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
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

void TSocketClient::RecvData() {
  int fd = SocketHandle();
  if (fd < 0) return;
  int count = 0;
  if (ioctl(fd, FIONREAD, &count) != 0) {
    int err = errno;
    Disconnect(err, "RecvData Close");
    return;
  }
  FRecvStream.CheckCompactionMemory();
  if (count <= 0) return;
  uint8_t* p = FRecvStream.GetWritePointer(count);
  ssize_t n = ::recv(fd, p, static_cast<size_t>(count), 0);
  if (n < 0) {
    int err = errno;
    FRecvStream.ShrinkTail(count);
    if (err == EINTR || err == EAGAIN) return;  // nothing read; the bytes wait for the next poll
    Disconnect(err, "RecvData Close 2");
    return;
  }
  // The socket announced `count` bytes; keep only what really arrived.
  if (n < count) FRecvStream.ShrinkTail(count - n);
  Count(FBytesIn, n);
}

void TSocketClient::SendData() {
  int fd = SocketHandle();
  if (fd < 0 || FSendStream.Size() == 0) return;
  int64_t slice = FSendStream.Size() < static_cast<int64_t>(FSendSize)
                      ? FSendStream.Size()
                      : static_cast<int64_t>(FSendSize);
  while (slice > 0) {
    ssize_t n = ::send(fd, FSendStream.Memory(), static_cast<size_t>(slice), MSG_NOSIGNAL);
    if (n == 0) {
      Disconnect(0, "Disconnect When SendData");
      return;
    }
    if (n < 0) {
      int err = errno;
      if (err == EWOULDBLOCK || err == EAGAIN || err == EINTR) {
        // The socket is full (its send time-out ended the wait): offer the rest again,
        // unless the link is stopping; then the rest stays for a later step.
        if (AbortRequested()) return;
        continue;
      }
      Disconnect(err, "Disconnect When SendData 2");
      return;
    }
    FSendStream.ForwardHeadCursor(n);
    Count(FBytesOut, n);
    slice -= n;
  }
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
