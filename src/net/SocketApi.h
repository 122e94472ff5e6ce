// The few socket calls the transport makes outside its event loop, one set per platform,
// so the connection, listener and server logic is written once. Failures come back as
// -1 with errno set to the POSIX value the callers test (EAGAIN for "would block", EINTR,
// anything else: the connection is gone); SocketLastSystemError keeps the platform's own
// code of the last failure on this thread for the diagnostic log.
//
// Sockets are ints on both platforms: a Windows SOCKET is a small kernel handle value,
// and INVALID_SOCKET narrows to -1, the invalid value the transport already uses.
//
// Thread safety: every function is safe from any thread.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#endif

#include <cstddef>
#include <cstdint>

namespace gw {

#if defined(_WIN32)
// Laid out as the scatter/gather entries the sends are built from.
struct TIoVec {
  void* iov_base;
  size_t iov_len;
};
#else
using TIoVec = ::iovec;
#endif

// Makes the socket library usable (Windows: WSAStartup once per process); false when it
// cannot be. Any number of calls.
bool SocketStartup();
// The platform's code for the last failed call of this file on this thread.
int SocketLastSystemError();

ssize_t SocketRecv(int socket, void* buffer, size_t size);      // non-blocking
ssize_t SocketSend(int socket, const void* data, size_t size);  // non-blocking, no SIGPIPE
void SocketShutdown(int socket);                                // both directions
void SocketClose(int socket);
// A second descriptor of the same socket (close-on-exec), or -1. Windows: always -1 (a socket
// is not duplicated there; see the listener hand-over).
int SocketDuplicate(int socket);
// Closes with a reset: no reply, and no TIME_WAIT left behind by a flood.
void SocketRefuse(int socket);
bool SocketSetNonBlocking(int socket);
void SocketSetOption(int socket, int level, int name, int value);
// TCP keep-alive: first probe after `idleSec` of silence, then every `intervalSec`,
// `count` probes (where the platform takes a count).
void SocketSetKeepAlive(int socket, int idleSec, int intervalSec, int count);
bool SocketPeerAddress(int socket, sockaddr_storage& addr);
bool SocketLocalAddress(int socket, sockaddr_storage& addr);

}  // namespace gw
