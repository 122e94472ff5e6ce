// TTestSocket on Windows, included by TestSocket.h.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <stdexcept>

namespace gw::test {

namespace detail {

inline SOCKET AsSocket(links::TSocketHandle Handle) { return static_cast<SOCKET>(Handle); }

inline int ClampedLength(size_t Size) { return Size > INT_MAX ? INT_MAX : static_cast<int>(Size); }

}  // namespace detail

inline TTestSocket::~TTestSocket() { ::closesocket(detail::AsSocket(FHandle)); }

inline std::unique_ptr<TTestSocket> TTestSocket::ListenOnLoopback() {
  links::StartSockets();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) throw std::runtime_error("socket");
  auto listener = std::make_unique<TTestSocket>(static_cast<links::TSocketHandle>(s));
  // An ephemeral port is never in use; Windows' SO_REUSEADDR would let others share it.
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(s, 8) != 0) {
    throw std::runtime_error("bind/listen on the loopback");
  }
  return listener;
}

inline int TTestSocket::UnusedLoopbackPort() {
  links::StartSockets();
  TTestSocket owner(static_cast<links::TSocketHandle>(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(detail::AsSocket(owner.Handle()), reinterpret_cast<sockaddr*>(&a), sizeof(a));
  return owner.LocalPort();
}

inline int TTestSocket::LocalPort() const {
  sockaddr_in a{};
  int len = sizeof(a);
  ::getsockname(detail::AsSocket(FHandle), reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

inline std::unique_ptr<TTestSocket> TTestSocket::Accept() {
  SOCKET s = ::accept(detail::AsSocket(FHandle), nullptr, nullptr);
  return s != INVALID_SOCKET ? std::make_unique<TTestSocket>(static_cast<links::TSocketHandle>(s))
                             : nullptr;
}

inline bool TTestSocket::SendAll(const void* Data, size_t Size) {
  size_t off = 0;
  while (off < Size) {
    int n = ::send(detail::AsSocket(FHandle), static_cast<const char*>(Data) + off,
                   detail::ClampedLength(Size - off), 0);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

inline int64_t TTestSocket::Receive(void* Data, size_t Size) {
  // Blocking, but called only when a wait reported the socket readable.
  return ::recv(detail::AsSocket(FHandle), static_cast<char*>(Data), detail::ClampedLength(Size),
                0);
}

inline void TTestSocket::Shutdown() { ::shutdown(detail::AsSocket(FHandle), SD_BOTH); }

inline int ConnectionRefusedError() { return WSAECONNREFUSED; }

inline bool IsConnectionLostError(int Error) {
  return Error == WSAECONNRESET || Error == WSAECONNABORTED || Error == WSAESHUTDOWN;
}

}  // namespace gw::test
