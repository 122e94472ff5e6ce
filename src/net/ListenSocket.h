// Listening sockets handed from one gateway process to the next (a take-over): the core
// holds them as plain descriptors until the transport serves them. What it must know of
// one (its port) and letting one go that it will not serve are answered here, so the core
// needs nothing of the socket layer below.
//
// Thread safety: both functions are safe from any thread.
#pragma once

#include <cstdint>

namespace gw {

// The local port the socket is bound to; 0 when it cannot be read.
uint16_t ListenSocketPort(int Socket);
// Closes a listening socket this process will not serve (another process's copy stays
// open: the descriptor is released, the socket is not shut down).
void CloseListenSocket(int Socket);

}  // namespace gw
