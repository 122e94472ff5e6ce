// The few socket calls the transport tests' own clients make, on either platform: the
// tests are written once and run on Linux and, cross-built, under wine.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace gw::test_support {

#if defined(_WIN32)
inline bool SocketsReady() {
  static const bool ready = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}
inline SOCKET Native(int s) { return static_cast<SOCKET>(static_cast<unsigned>(s)); }
inline int OpenTcpSocket(int family) {
  SocketsReady();
  SOCKET s = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
  return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}
inline void CloseTcpSocket(int s) { ::closesocket(Native(s)); }
inline bool ConnectTo(int s, const sockaddr* a, int len) {
  return ::connect(Native(s), a, len) == 0;
}
inline ssize_t SendSome(int s, const void* p, size_t n) {
  return ::send(Native(s), static_cast<const char*>(p), static_cast<int>(n), 0);
}
inline ssize_t ReceiveSome(int s, void* p, size_t n) {
  return ::recv(Native(s), static_cast<char*>(p), static_cast<int>(n), 0);
}
// Waits until `s` is readable (or at its end); false on time-out.
inline bool WaitReadable(int s, int timeoutMs) {
  WSAPOLLFD pfd{Native(s), POLLIN, 0};
  return WSAPoll(&pfd, 1, timeoutMs) > 0;
}
inline void ShutdownWrite(int s) { ::shutdown(Native(s), SD_SEND); }
inline void SetIntOption(int s, int level, int name, int value) {
  setsockopt(Native(s), level, name, reinterpret_cast<const char*>(&value), sizeof(value));
}
inline int GetIntOption(int s, int level, int name) {
  int value = 0;  // a BOOL option may fill one byte only
  int len = sizeof(value);
  getsockopt(Native(s), level, name, reinterpret_cast<char*>(&value), &len);
  return value;
}
inline void SetLingerReset(int s) {
  linger l{1, 0};
  setsockopt(Native(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof(l));
}
// Bytes waiting to be read on `s`.
inline long ReadableBytes(int s) {
  u_long n = 0;
  return ioctlsocket(Native(s), FIONREAD, &n) == 0 ? static_cast<long>(n) : -1;
}
#else
inline bool SocketsReady() { return true; }
inline int Native(int s) { return s; }
inline int OpenTcpSocket(int family) { return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0); }
inline void CloseTcpSocket(int s) { ::close(s); }
inline bool ConnectTo(int s, const sockaddr* a, socklen_t len) { return ::connect(s, a, len) == 0; }
inline ssize_t SendSome(int s, const void* p, size_t n) { return ::send(s, p, n, MSG_NOSIGNAL); }
inline ssize_t ReceiveSome(int s, void* p, size_t n) { return ::recv(s, p, n, 0); }
inline bool WaitReadable(int s, int timeoutMs) {
  pollfd pfd{s, POLLIN, 0};
  return ::poll(&pfd, 1, timeoutMs) > 0;
}
inline void ShutdownWrite(int s) { ::shutdown(s, SHUT_WR); }
inline void SetIntOption(int s, int level, int name, int value) {
  setsockopt(s, level, name, &value, sizeof(value));
}
inline int GetIntOption(int s, int level, int name) {
  int value = -1;
  socklen_t len = sizeof(value);
  getsockopt(s, level, name, &value, &len);
  return value;
}
inline void SetLingerReset(int s) {
  linger l{1, 0};
  setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}
inline long ReadableBytes(int s) {
  int n = 0;
  return ioctl(s, FIONREAD, &n) == 0 ? n : -1;
}
#endif

// 127.0.0.1:port.
inline sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  return addr;
}
// A listening socket on 127.0.0.1: `port`, or any free one when 0 (written back). -1 on failure.
inline int ListenLoopback(uint16_t& port) {
  const int fd = OpenTcpSocket(AF_INET);
  if (fd < 0) return -1;
  sockaddr_in addr = LoopbackAddress(port);
  socklen_t len = sizeof addr;
  if (::bind(Native(fd), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(Native(fd), 16) != 0 ||
      ::getsockname(Native(fd), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    CloseTcpSocket(fd);
    return -1;
  }
  port = ntohs(addr.sin_port);
  return fd;
}
// The next connection waiting on `listenFd` (call once it is readable); -1 when none.
inline int AcceptPeer(int listenFd) {
  auto peer = ::accept(Native(listenFd), nullptr, nullptr);
  return peer == static_cast<decltype(peer)>(-1) ? -1 : static_cast<int>(peer);
}
// A connected socket to 127.0.0.1:port; -1 on failure.
inline int ConnectLoopback(uint16_t port) {
  const int fd = OpenTcpSocket(AF_INET);
  if (fd < 0) return -1;
  sockaddr_in addr = LoopbackAddress(port);
  if (!ConnectTo(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr)) {
    CloseTcpSocket(fd);
    return -1;
  }
  return fd;
}

}  // namespace gw::test_support
