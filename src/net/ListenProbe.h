// Why a listening address cannot be had: binds a TCP socket of its own to Host:Port (empty
// Host or "*": every IPv4 address) and reports the system's error, so that a failed start
// names the cause ("Address already in use") and not only the port. The socket is closed
// at once. Safe from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace gw {

// "HOST:PORT: <the system's error text>", or "HOST:PORT" alone when the probe binds (the
// address was freed in between) or cannot tell.
std::string ListenProbeText(const std::string& Host, uint16_t Port);

}  // namespace gw
