#include "links/LinkWake.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace gw {

TLinkWake::TLinkWake() {
  links::StartSockets();
  // A UDP socket on the loopback, connected to itself: a datagram it sends makes it
  // readable, and it takes datagrams from nobody else.
  SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    FError = "wake-up socket: " + links::SocketErrorText(::WSAGetLastError());
    return;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof(addr);
  u_long nonBlocking = 1;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    FError = "wake-up socket: " + links::SocketErrorText(::WSAGetLastError());
    ::closesocket(s);
    return;
  }
  FHandle = static_cast<links::TSocketHandle>(s);
}

TLinkWake::~TLinkWake() {
  if (FHandle != links::kNoSocket) ::closesocket(static_cast<SOCKET>(FHandle));
}

void TLinkWake::Signal() {
  const char one = 1;
  // Only fails when the socket's buffer is full of wake-ups, i.e. one is pending anyway.
  ::send(static_cast<SOCKET>(FHandle), &one, 1, 0);
}

void TLinkWake::Drain() {
  char buffer[64];
  while (::recv(static_cast<SOCKET>(FHandle), buffer, sizeof(buffer), 0) > 0) {
  }
}

}  // namespace gw
