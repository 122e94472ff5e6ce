#include "net/ListenSocket.h"

#include <string>

#include "net/SockAddrText.h"
#include "net/SocketApi.h"

namespace gw {

uint16_t ListenSocketPort(int Socket) {
  sockaddr_storage local{};
  std::string host;
  uint16_t port = 0;
  if (SocketLocalAddress(Socket, local)) SockAddrText(local, host, port);
  return port;
}

void CloseListenSocket(int Socket) { SocketClose(Socket); }

}  // namespace gw
