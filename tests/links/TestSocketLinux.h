// TTestSocket on Linux, included by TestSocket.h.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace gw::test {

inline TTestSocket::~TTestSocket() { ::close(static_cast<int>(FHandle)); }

inline std::unique_ptr<TTestSocket> TTestSocket::ListenOnLoopback() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket");
  auto listener = std::make_unique<TTestSocket>(fd);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(fd, 8) != 0) {
    throw std::runtime_error("bind/listen on the loopback");
  }
  return listener;
}

inline int TTestSocket::UnusedLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  TTestSocket owner(fd);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  return owner.LocalPort();
}

inline int TTestSocket::LocalPort() const {
  sockaddr_in a{};
  socklen_t len = sizeof(a);
  getsockname(static_cast<int>(FHandle), reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

inline std::unique_ptr<TTestSocket> TTestSocket::Accept() {
  int fd = ::accept4(static_cast<int>(FHandle), nullptr, nullptr, SOCK_CLOEXEC);
  return fd >= 0 ? std::make_unique<TTestSocket>(fd) : nullptr;
}

inline bool TTestSocket::SendAll(const void* Data, size_t Size) {
  size_t off = 0;
  while (off < Size) {
    ssize_t n = ::send(static_cast<int>(FHandle), static_cast<const char*>(Data) + off, Size - off,
                       MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

inline int64_t TTestSocket::Receive(void* Data, size_t Size) {
  return ::recv(static_cast<int>(FHandle), Data, Size, MSG_DONTWAIT);
}

inline void TTestSocket::Shutdown() { ::shutdown(static_cast<int>(FHandle), SHUT_RDWR); }

inline int ConnectionRefusedError() { return ECONNREFUSED; }

inline bool IsConnectionLostError(int Error) { return Error == EPIPE || Error == ECONNRESET; }

}  // namespace gw::test
