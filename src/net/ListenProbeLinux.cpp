#include "net/ListenProbe.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/NetDiagLog.h"

namespace gw {

std::string ListenProbeText(const std::string& Host, uint16_t Port) {
  const bool any = Host.empty() || Host == "*";
  const std::string place = (any ? std::string("*") : Host) + ":" + std::to_string(Port);
  addrinfo hints{};
  hints.ai_family = any ? AF_INET : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* list = nullptr;
  const std::string portText = std::to_string(Port);
  const int rc = getaddrinfo(any ? nullptr : Host.c_str(), portText.c_str(), &hints, &list);
  if (rc != 0) return place + ": " + gai_strerror(rc);
  int error = 0;
  const int fd = ::socket(list->ai_family, list->ai_socktype | SOCK_CLOEXEC, list->ai_protocol);
  if (fd < 0) {
    error = errno;
  } else {
    // As the listeners themselves set it: only a live listener makes the bind fail.
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (::bind(fd, list->ai_addr, list->ai_addrlen) != 0) error = errno;
    ::close(fd);
  }
  freeaddrinfo(list);
  return error == 0 ? place : place + ": " + TNetDiagLog::SystemErrorText(error);
}

}  // namespace gw
