// TAbstractListen: one listening socket of the socket engine. On Linux it is registered
// in every I/O thread's epoll instance (EPOLLEXCLUSIVE, so one thread wakes per burst)
// and hands readiness to the server, which accepts; on Windows the server keeps accepts
// posted on it instead.
//
// Thread safety: Close is safe from any thread; the accessors are read-only after Start.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "net/IoEventThread.h"

namespace gw {

class TSocketServer;

class TAbstractListen final : public TIoTarget {
 public:
  TAbstractListen(TSocketServer& owner, int socket, int family, int sockType, int protocol);
  ~TAbstractListen();  // closes the socket
  TAbstractListen(const TAbstractListen&) = delete;
  TAbstractListen& operator=(const TAbstractListen&) = delete;

  uint64_t UID() const { return FUID; }
  int Socket() const { return FSocket; }
  int Family() const { return FFamily; }
  const std::string& LocalAddr() const { return FLocalAddr; }
  uint16_t LocalPort() const { return FLocalPort; }
  bool IsClosed() const { return FClosed.load(); }

  void UpdateAddr();
  // Stops accepting (the socket is shut down; it is closed when the object goes,
  // after the I/O threads that may still hold its pointer have ended). True once.
  bool Close();
  // Stops accepting and closes this process's descriptor without shutting the socket down:
  // another process that holds the same socket (a listener hand-over) goes on accepting on
  // it; when none does, the socket closes and later connection attempts are refused. True
  // once (Close or Release).
  bool Release();

  void OnIoEvents(uint32_t events, TIoEventThread& thread) override;

 private:
  TSocketServer& FOwner;
  const uint64_t FUID;
  const int FSocket;
  const int FFamily, FSockType, FProtocol;
  std::string FLocalAddr;
  uint16_t FLocalPort = 0;
  std::atomic<bool> FClosed{false};
  bool FReleased = false;  // the descriptor was closed by Release
};

}  // namespace gw
