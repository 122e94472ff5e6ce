// The numeric text and port of a socket address (dotted IPv4, or IPv6 text), as the
// transport shows local and peer ends of its sockets.
//
// Thread safety: pure function, safe from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "net/SocketApi.h"

namespace gw {

// Fills `text` and `port` from `addr`; other families give an empty text and port 0.
void SockAddrText(const sockaddr_storage& addr, std::string& text, uint16_t& port);

}  // namespace gw
