#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>

#include "net/AbstractConnection.h"
#include "net/NetDiagLog.h"

namespace gw {

bool TAbstractConnection::RegisterWithThread() {
  std::lock_guard<std::mutex> guard(FSendLock);
  if (FClosedForSend) return true;  // closed meanwhile: nothing to watch
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  ev.data.ptr = static_cast<TIoTarget*>(this);
  if (epoll_ctl(static_cast<int>(FThread->PollHandle()), EPOLL_CTL_ADD, FSocket, &ev) != 0) {
    TNetDiagLog::SystemError("TIocpSocketEngine._HandleAccept.epoll_ctl", errno);
    return false;
  }
  return true;
}

ssize_t TAbstractConnection::WriteVector(TIoVec* iov, int count) {
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = static_cast<size_t>(count);
  return ::sendmsg(FSocket, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
}

bool TAbstractConnection::RearmRead() { return true; }  // edge-triggered: nothing to re-arm

}  // namespace gw
