#include "net/SockAddrText.h"

namespace gw {

void SockAddrText(const sockaddr_storage& addr, std::string& text, uint16_t& port) {
  char buf[INET6_ADDRSTRLEN] = {};
  port = 0;
  if (addr.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
    inet_ntop(AF_INET, &a->sin_addr, buf, sizeof(buf));
    port = ntohs(a->sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
    inet_ntop(AF_INET6, &a->sin6_addr, buf, sizeof(buf));
    port = ntohs(a->sin6_port);
  }
  text = buf;
}

}  // namespace gw
