#include "net/SocketApi.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>

namespace gw {

namespace {
thread_local int tLastError = 0;

ssize_t Failed() {
  tLastError = errno;
  return -1;
}
}  // namespace

bool SocketStartup() { return true; }

int SocketLastSystemError() { return tLastError; }

ssize_t SocketRecv(int socket, void* buffer, size_t size) {
  ssize_t n = ::recv(socket, buffer, size, 0);
  return n < 0 ? Failed() : n;
}

ssize_t SocketSend(int socket, const void* data, size_t size) {
  ssize_t n = ::send(socket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  return n < 0 ? Failed() : n;
}

void SocketShutdown(int socket) { ::shutdown(socket, SHUT_RDWR); }

void SocketClose(int socket) { ::close(socket); }

int SocketDuplicate(int socket) { return ::fcntl(socket, F_DUPFD_CLOEXEC, 0); }

void SocketRefuse(int socket) {
  linger hard{1, 0};
  setsockopt(socket, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
  ::close(socket);
}

bool SocketSetNonBlocking(int socket) {
  int flags = fcntl(socket, F_GETFL, 0);
  return flags >= 0 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

void SocketSetOption(int socket, int level, int name, int value) {
  setsockopt(socket, level, name, &value, sizeof(value));
}

void SocketSetKeepAlive(int socket, int idleSec, int intervalSec, int count) {
  SocketSetOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
  SocketSetOption(socket, IPPROTO_TCP, TCP_KEEPIDLE, idleSec);
  SocketSetOption(socket, IPPROTO_TCP, TCP_KEEPINTVL, intervalSec);
  SocketSetOption(socket, IPPROTO_TCP, TCP_KEEPCNT, count);
}

bool SocketPeerAddress(int socket, sockaddr_storage& addr) {
  socklen_t len = sizeof(addr);
  return getpeername(socket, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
}

bool SocketLocalAddress(int socket, sockaddr_storage& addr) {
  socklen_t len = sizeof(addr);
  return socket >= 0 && getsockname(socket, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
}

}  // namespace gw
