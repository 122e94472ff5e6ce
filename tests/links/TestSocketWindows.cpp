#include "links/TestSocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <stdexcept>

namespace gw::test {

namespace {

SOCKET AsSocket(TSocketHandle Handle) { return static_cast<SOCKET>(Handle); }

int ClampedLength(size_t Size) { return Size > INT_MAX ? INT_MAX : static_cast<int>(Size); }

}  // namespace

TTestSocket::~TTestSocket() { ::closesocket(AsSocket(FHandle)); }

std::unique_ptr<TTestSocket> TTestSocket::ListenOnLoopback() {
  StartSockets();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) throw std::runtime_error("socket");
  auto listener = std::make_unique<TTestSocket>(static_cast<TSocketHandle>(s));
  // An ephemeral port is never in use; Windows' SO_REUSEADDR would let others share it.
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(s, 8) != 0) {
    throw std::runtime_error("bind/listen on the loopback");
  }
  return listener;
}

int TTestSocket::UnusedLoopbackPort() {
  StartSockets();
  TTestSocket owner(static_cast<TSocketHandle>(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(AsSocket(owner.Handle()), reinterpret_cast<sockaddr*>(&a), sizeof(a));
  return owner.LocalPort();
}

int TTestSocket::LocalPort() const {
  sockaddr_in a{};
  int len = sizeof(a);
  ::getsockname(AsSocket(FHandle), reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

std::unique_ptr<TTestSocket> TTestSocket::Accept() {
  SOCKET s = ::accept(AsSocket(FHandle), nullptr, nullptr);
  return s != INVALID_SOCKET ? std::make_unique<TTestSocket>(static_cast<TSocketHandle>(s))
                             : nullptr;
}

bool TTestSocket::SendAll(const void* Data, size_t Size) {
  size_t off = 0;
  while (off < Size) {
    int n = ::send(AsSocket(FHandle), static_cast<const char*>(Data) + off,
                   ClampedLength(Size - off), 0);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

int64_t TTestSocket::Receive(void* Data, size_t Size) {
  // Blocking, but called only when a wait reported the socket readable.
  return ::recv(AsSocket(FHandle), static_cast<char*>(Data), ClampedLength(Size), 0);
}

void TTestSocket::Shutdown() { ::shutdown(AsSocket(FHandle), SD_BOTH); }

int ConnectionRefusedError() { return WSAECONNREFUSED; }

bool IsConnectionLostError(int Error) {
  return Error == WSAECONNRESET || Error == WSAECONNABORTED || Error == WSAESHUTDOWN;
}

}  // namespace gw::test
