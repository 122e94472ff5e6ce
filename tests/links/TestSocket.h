// TTestSocket: a blocking TCP socket of the tests' stand-in servers (TTestPeer), closed on
// destruction; one file per platform (TestSocketLinux.h, TestSocketWindows.h), inline so that
// every test program using the stand-in servers has them without linking anything more.
// Waits go through the links' own PollSockets on Handle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "links/LinkSocket.h"

namespace gw::test {

class TTestSocket {
 public:
  explicit TTestSocket(links::TSocketHandle Handle) : FHandle(Handle) {}
  ~TTestSocket();
  TTestSocket(const TTestSocket&) = delete;
  TTestSocket& operator=(const TTestSocket&) = delete;

  // A listening socket on 127.0.0.1 with an ephemeral port; throws when there is none.
  static std::unique_ptr<TTestSocket> ListenOnLoopback();
  // A port on 127.0.0.1 where nothing listens.
  static int UnusedLoopbackPort();

  links::TSocketHandle Handle() const { return FHandle; }
  int LocalPort() const;
  // The next connection of a listening socket reported readable; null when it failed.
  std::unique_ptr<TTestSocket> Accept();
  // Sends all of Data, waiting for room; false when the connection fails first.
  bool SendAll(const void* Data, size_t Size);
  // One receive on a socket reported readable: the byte count, 0 when the peer closed, -1
  // with LastSocketError on failure (a would-block error: nothing there after all).
  int64_t Receive(void* Data, size_t Size);
  // Ends both directions (the peer sees a FIN); the socket stays open.
  void Shutdown();

 private:
  links::TSocketHandle FHandle;
};

// The platform's error for a connection refused by the peer.
int ConnectionRefusedError();
// Whether Error is what a send or receive on a connection the peer has closed fails with.
bool IsConnectionLostError(int Error);

}  // namespace gw::test

#if defined(_WIN32)
#include "links/TestSocketWindows.h"
#else
#include "links/TestSocketLinux.h"
#endif
