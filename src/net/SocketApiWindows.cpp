#include "net/SocketApi.h"

#include <mstcpip.h>
#include <windows.h>

#include <cerrno>
#include <mutex>

namespace gw {

namespace {
thread_local int tLastError = 0;

// Keeps the POSIX reading of a Winsock failure the shared transport code tests.
ssize_t Failed() {
  const int error = WSAGetLastError();
  tLastError = error;
  switch (error) {
    case WSAEWOULDBLOCK:
      errno = EAGAIN;
      break;
    case WSAEINTR:
      errno = EINTR;
      break;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENETRESET:
      errno = ECONNRESET;
      break;
    default:
      errno = EIO;
      break;
  }
  return -1;
}

SOCKET Handle(int socket) { return static_cast<SOCKET>(static_cast<unsigned>(socket)); }
}  // namespace

bool SocketStartup() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] {
    WSADATA data{};
    ready = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return ready;
}

int SocketLastSystemError() { return tLastError; }

ssize_t SocketRecv(int socket, void* buffer, size_t size) {
  const int n = ::recv(Handle(socket), static_cast<char*>(buffer), static_cast<int>(size), 0);
  return n == SOCKET_ERROR ? Failed() : n;
}

ssize_t SocketSend(int socket, const void* data, size_t size) {
  const int n = ::send(Handle(socket), static_cast<const char*>(data), static_cast<int>(size), 0);
  return n == SOCKET_ERROR ? Failed() : n;
}

void SocketShutdown(int socket) { ::shutdown(Handle(socket), SD_BOTH); }

int SocketDuplicate(int) { return -1; }

void SocketClose(int socket) {
  // Operations in flight end first: a send the peer never reads would otherwise keep the
  // socket open (wine keeps it until they end), and the peer would never see the reset.
  CancelIoEx(reinterpret_cast<HANDLE>(Handle(socket)), nullptr);
  ::closesocket(Handle(socket));
}

void SocketRefuse(int socket) {
  linger hard{1, 0};
  setsockopt(Handle(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard),
             sizeof(hard));
  ::closesocket(Handle(socket));
}

bool SocketSetNonBlocking(int socket) {
  u_long on = 1;
  return ioctlsocket(Handle(socket), FIONBIO, &on) == 0;
}

void SocketSetOption(int socket, int level, int name, int value) {
  setsockopt(Handle(socket), level, name, reinterpret_cast<const char*>(&value), sizeof(value));
}

void SocketSetKeepAlive(int socket, int idleSec, int intervalSec, int count) {
  // The probe count is the system's own (10 on current Windows): the call has no place for it.
  (void)count;
  SocketSetOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = static_cast<ULONG>(idleSec) * 1000;
  values.keepaliveinterval = static_cast<ULONG>(intervalSec) * 1000;
  DWORD returned = 0;
  WSAIoctl(Handle(socket), SIO_KEEPALIVE_VALS, &values, sizeof(values), nullptr, 0, &returned,
           nullptr, nullptr);
}

bool SocketPeerAddress(int socket, sockaddr_storage& addr) {
  int len = sizeof(addr);
  return getpeername(Handle(socket), reinterpret_cast<sockaddr*>(&addr), &len) == 0;
}

bool SocketLocalAddress(int socket, sockaddr_storage& addr) {
  int len = sizeof(addr);
  return socket >= 0 && getsockname(Handle(socket), reinterpret_cast<sockaddr*>(&addr), &len) == 0;
}

}  // namespace gw
