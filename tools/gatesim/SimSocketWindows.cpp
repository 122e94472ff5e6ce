#include <windows.h>

#include "SimSocket.h"

namespace gw {

namespace {

SOCKET Native(int Fd) { return static_cast<SOCKET>(static_cast<unsigned>(Fd)); }

}  // namespace

int OpenStreamSocket() {
  if (!SocketStartup()) return -1;
  // Not inheritable: a child process must not keep a simulated connection open.
  SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return -1;
  u_long on = 1;
  if (ioctlsocket(s, FIONBIO, &on) != 0) {
    const int error = WSAGetLastError();
    closesocket(s);
    WSASetLastError(error);
    return -1;
  }
  return static_cast<int>(s);
}

int AcceptStream(int ListenFd, sockaddr_in& Peer) {
  int len = sizeof(Peer);
  SOCKET s = accept(Native(ListenFd), reinterpret_cast<sockaddr*>(&Peer), &len);
  if (s == INVALID_SOCKET) return -1;
  // An accepted socket inherits non-blocking mode from the listener; said again for clarity.
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  return static_cast<int>(s);
}

bool StartConnect(int Fd, const sockaddr_in& To) {
  if (connect(Native(Fd), reinterpret_cast<const sockaddr*>(&To), sizeof(To)) == 0) return true;
  const int error = WSAGetLastError();
  return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}

int ConnectError(int Fd) {
  int err = 0;
  int len = sizeof(err);
  getsockopt(Native(Fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
  return err;
}

int LastSocketError() { return WSAGetLastError(); }

bool IsConnectionRefused(int Error) { return Error == WSAECONNREFUSED; }

bool SocketWouldBlock() {
  const int error = WSAGetLastError();
  return error == WSAEWOULDBLOCK || error == WSAEINTR;
}

std::string SocketErrorText(const char* What) {
  const int code = WSAGetLastError();
  char text[256] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(code), 0, text, sizeof(text), nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) text[--n] = 0;
  return std::string(What) + ": " + (n > 0 ? std::string(text) : "error") + " (" +
         std::to_string(code) + ")";
}

bool BindAndListen(int Fd, const sockaddr_in& Addr, int Backlog) {
  SocketSetOption(Fd, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
  return bind(Native(Fd), reinterpret_cast<const sockaddr*>(&Addr), sizeof(Addr)) == 0 &&
         listen(Native(Fd), Backlog) == 0;
}

}  // namespace gw
