#include "net/AbstractListen.h"

#include <sys/socket.h>
#include <unistd.h>

#include "net/SockAddrText.h"
#include "net/SocketServer.h"
#include "net/SocketTypes.h"

namespace gw {

TAbstractListen::TAbstractListen(TSocketServer& owner, int socket, int family, int sockType,
                                 int protocol)
    : FOwner(owner),
      FUID(NewSocketUID(skListen)),
      FSocket(socket),
      FFamily(family),
      FSockType(sockType),
      FProtocol(protocol) {}

TAbstractListen::~TAbstractListen() {
  if (FSocket >= 0) ::close(FSocket);
}

void TAbstractListen::UpdateAddr() {
  sockaddr_storage addr{};
  socklen_t len = sizeof(addr);
  if (getsockname(FSocket, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return;
  SockAddrText(addr, FLocalAddr, FLocalPort);
}

bool TAbstractListen::Close() {
  if (FClosed.exchange(true)) return false;
  // Shut down rather than closed: an I/O thread woken for it may still call accept,
  // which now fails instead of touching a reused descriptor.
  ::shutdown(FSocket, SHUT_RDWR);
  FOwner.ListenRemoved(*this);
  return true;
}

void TAbstractListen::OnEpollEvents(uint32_t events, TIoEventThread& thread) {
  (void)events;
  if (FClosed.load()) return;
  FOwner.AcceptOn(*this, thread);
}

}  // namespace gw
