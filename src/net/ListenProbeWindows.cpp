#include "net/ListenProbe.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/NetDiagLog.h"
#include "net/SocketApi.h"

namespace gw {

std::string ListenProbeText(const std::string& Host, uint16_t Port) {
  const bool any = Host.empty() || Host == "*";
  const std::string place = (any ? std::string("*") : Host) + ":" + std::to_string(Port);
  if (!SocketStartup()) return place;
  addrinfo hints{};
  hints.ai_family = any ? AF_INET : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* list = nullptr;
  const std::string portText = std::to_string(Port);
  if (getaddrinfo(any ? nullptr : Host.c_str(), portText.c_str(), &hints, &list) != 0) {
    return place + ": " + TNetDiagLog::SystemErrorText(WSAGetLastError());
  }
  int error = 0;
  const SOCKET s = ::socket(list->ai_family, list->ai_socktype, list->ai_protocol);
  if (s == INVALID_SOCKET) {
    error = WSAGetLastError();
  } else {
    // As the listeners themselves set it: no other program may share the port.
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof(on));
    if (::bind(s, list->ai_addr, static_cast<int>(list->ai_addrlen)) != 0)
      error = WSAGetLastError();
    closesocket(s);
  }
  freeaddrinfo(list);
  return error == 0 ? place : place + ": " + TNetDiagLog::SystemErrorText(error);
}

}  // namespace gw
