// Opening, accepting and connecting the simulators' non-blocking TCP sockets, one set per
// platform (reads, writes and closes go through net/SocketApi.h). Sockets are ints on both
// platforms, as in the transport. Safe from any thread.
#pragma once

#include "net/SocketApi.h"

#include <string>

namespace gw {

// A non-blocking TCP socket over IPv4, not inherited by child processes; -1 on failure.
int OpenStreamSocket();
// A waiting connection of the listening socket, non-blocking; -1 when none waits or on failure
// (SocketWouldBlock tells which).
int AcceptStream(int ListenFd, sockaddr_in& Peer);
// Starts connecting; false when the attempt failed at once.
bool StartConnect(int Fd, const sockaddr_in& To);
// The outcome of a connect once the socket turned writable or failed: 0 when connected.
int ConnectError(int Fd);
// The error of the last failed socket call of this file on this thread (for StartConnect).
int LastSocketError();
// Whether a connect error (ConnectError, LastSocketError) says that nothing accepts on the
// port: the peer answered with a reset.
bool IsConnectionRefused(int Error);
// Whether the last failed call of this file on this thread found the
// socket unable to go on without blocking (a retry later may succeed).
bool SocketWouldBlock();
// "What: the reason" of the last failed socket call on this thread.
std::string SocketErrorText(const char* What);
// Binds and listens (SO_REUSEADDR on Linux; exclusive use on Windows, where SO_REUSEADDR
// would let another program take the port).
bool BindAndListen(int Fd, const sockaddr_in& Addr, int Backlog);

}  // namespace gw
