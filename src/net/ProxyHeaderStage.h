// TProxyHeaderStage: the first stage of a connection's bytes behind a load balancer.
// It gathers the PROXY protocol header (v1 or v2) that the balancer writes before any
// byte of the client, across as many reads as it takes, and says where the client's
// own bytes begin. It sits before anything that interprets the stream (HTTP, or a
// TLS handshake: the header is always plain text in front of it).
//
// Thread safety: none; one stage belongs to one connection's I/O thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "net/ProxyHeader.h"

namespace gw {

class TProxyHeaderStage {
 public:
  enum TResult : uint8_t {
    prsWaiting,  // a prefix of a header so far: more bytes are needed
    prsRelayed,  // the header carried the client's address (Source)
    prsLocal,    // v2 LOCAL: the balancer's own check, served with the connection's addresses
    prsUnknown,  // v1 UNKNOWN: a client the balancer cannot name (not served)
    prsInvalid,  // not a PROXY header, or a malformed one
  };

  // Takes the next bytes read from the connection. On prsRelayed, prsLocal and prsUnknown, `rest`
  // is the part of `bytes` after the header (the client's first bytes, possibly none);
  // the stage is then done and must not be fed again.
  TResult Feed(std::span<const uint8_t> bytes, std::span<const uint8_t>& rest);
  // The client's address and port (after prsRelayed).
  const sockaddr_storage& Source() const { return FHeader.Source; }
  // Bytes held while the header is incomplete (bounded by the parser's longest header).
  size_t Buffered() const { return FBuffer.size(); }

 private:
  std::vector<uint8_t> FBuffer;  // the header's bytes from earlier reads
  TProxyHeader FHeader;
};

}  // namespace gw
