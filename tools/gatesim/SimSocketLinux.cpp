#include <errno.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cstring>

#include "SimSocket.h"

namespace gw {

int OpenStreamSocket() { return socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

int AcceptStream(int ListenFd, sockaddr_in& Peer) {
  socklen_t len = sizeof(Peer);
  return accept4(ListenFd, reinterpret_cast<sockaddr*>(&Peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

bool StartConnect(int Fd, const sockaddr_in& To) {
  return connect(Fd, reinterpret_cast<const sockaddr*>(&To), sizeof(To)) == 0 ||
         errno == EINPROGRESS;
}

int ConnectError(int Fd) {
  int err = 0;
  socklen_t len = sizeof(err);
  getsockopt(Fd, SOL_SOCKET, SO_ERROR, &err, &len);
  return err;
}

int LastSocketError() { return errno; }

bool IsConnectionRefused(int Error) { return Error == ECONNREFUSED; }

bool SocketWouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

std::string SocketErrorText(const char* What) {
  return std::string(What) + ": " + std::strerror(errno);
}

bool BindAndListen(int Fd, const sockaddr_in& Addr, int Backlog) {
  int one = 1;
  setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  return bind(Fd, reinterpret_cast<const sockaddr*>(&Addr), sizeof(Addr)) == 0 &&
         listen(Fd, Backlog) == 0;
}

}  // namespace gw
