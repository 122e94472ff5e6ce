#include "net/AbstractListen.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
  char buf[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
    inet_ntop(AF_INET, &a->sin_addr, buf, sizeof(buf));
    FLocalPort = ntohs(a->sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
    inet_ntop(AF_INET6, &a->sin6_addr, buf, sizeof(buf));
    FLocalPort = ntohs(a->sin6_port);
  }
  FLocalAddr = buf;
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
