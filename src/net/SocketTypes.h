// Shared transport types: connection kind and status, and the process-wide
// identifiers of listeners and connections (kind in the top two bits).
//
// Thread safety: NewSocketUID is safe from any thread.
#pragma once

#include <cstdint>

namespace gw {

enum TConnectType : uint8_t {
  ctUnknown = 0,
  ctAccept = 1,   // accepted by a listener
  ctConnect = 2,  // outgoing (not used by the gateway)
};

enum TConnectStatus : uint8_t {
  csUnknown = 0,
  csConnecting = 1,
  csHandshaking = 2,  // not used by this system
  csConnected = 3,
  csDisconnected = 4,
  csClosed = 5,
};

enum TSocketKind : uint8_t {
  skOther = 0,
  skListen = 1,
  skConnection = 2,
};

// A new identifier: the next value of a process-wide 62-bit counter with `kind` in
// the top two bits. Never reused while the process runs.
uint64_t NewSocketUID(TSocketKind kind);

inline TSocketKind SocketUIDKind(uint64_t uid) { return static_cast<TSocketKind>(uid >> 62); }

}  // namespace gw
