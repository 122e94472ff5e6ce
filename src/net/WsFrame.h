// WebSocket framing helpers shared by the server and its tests: the frame header the
// server writes (never masked) and the opening handshake's accept value.
//
// Thread safety: pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace gw {

enum TWsOpCode : uint8_t {
  wsoContinuation = 0,
  wsoText = 1,
  wsoBinary = 2,
  wsoClose = 8,
  wsoPing = 9,
  wsoPong = 10,
};

// Longest header the server writes: 2 bytes + 8-byte length.
constexpr size_t kWsMaxServerHeader = 10;

// Writes the header of an unmasked frame into `out` (at least 10 bytes) and returns
// its length: 2 for payloads up to 125 bytes, 4 up to 65,535, otherwise 10.
size_t MakeFrameHeader(uint8_t* out, uint8_t opCode, bool fin, uint64_t payloadSize);

// Base64(SHA-1(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11")), 28 characters.
std::string WsAcceptKey(const std::string& key);

}  // namespace gw
