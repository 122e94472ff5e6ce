// TLinkWake: how other threads wake a server link's thread out of its wait on the socket.
// Its Handle is polled beside the socket (PollSockets) and reads as readable from Signal
// until Drain. Linux: an eventfd; Windows: a loopback UDP socket sending to itself (wine
// has no AF_UNIX sockets, and WSAPoll waits on sockets only).
//
// Thread safety: Signal from any thread; Drain by the waiting thread.
#pragma once

#include <string>

#include "links/LinkSocket.h"

namespace gw {

class TLinkWake {
 public:
  // On failure Valid is false and Error says why.
  TLinkWake();
  ~TLinkWake();
  TLinkWake(const TLinkWake&) = delete;
  TLinkWake& operator=(const TLinkWake&) = delete;

  bool Valid() const { return FHandle != links::kNoSocket; }
  const std::string& Error() const { return FError; }
  links::TSocketHandle Handle() const { return FHandle; }

  void Signal();
  // Empties the wake-up so that the next wait sleeps again.
  void Drain();

 private:
  links::TSocketHandle FHandle = links::kNoSocket;
  std::string FError;
};

}  // namespace gw
