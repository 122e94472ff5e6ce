#include "net/AbstractListen.h"

#include "net/SockAddrText.h"
#include "net/SocketApi.h"
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
  if (FSocket >= 0 && !FReleased) SocketClose(FSocket);
}

void TAbstractListen::UpdateAddr() {
  sockaddr_storage addr{};
  if (SocketLocalAddress(FSocket, addr)) SockAddrText(addr, FLocalAddr, FLocalPort);
}

bool TAbstractListen::Close() {
  if (FClosed.exchange(true)) return false;
  // Shut down rather than closed: an I/O thread woken for it may still call accept,
  // which now fails instead of touching a reused descriptor. (Windows: the removal
  // cancels the accepts in flight.)
  SocketShutdown(FSocket);
  FOwner.ListenRemoved(*this);
  return true;
}

bool TAbstractListen::Release() {
  if (FClosed.exchange(true)) return false;
  // Once the owner has waited out an accept under way, nothing uses the descriptor again
  // (every accept looks at FClosed under the owner's accept lock first).
  FOwner.ListenReleased(*this);
  FReleased = true;
  SocketClose(FSocket);
  return true;
}

void TAbstractListen::OnIoEvents(uint32_t events, TIoEventThread& thread) {
  (void)events;
  if (FClosed.load()) return;
  FOwner.AcceptOn(*this, thread);
}

}  // namespace gw
