// Builds the 400-byte launch parameter block that a controlling program passes, enciphered, as
// the gateway's first command-line argument. Pure functions, safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace gw {

inline constexpr size_t kLaunchBlockSize = 400;
using TLaunchBlock = std::array<uint8_t, kLaunchBlockSize>;

struct TLaunchEndpoint {
  std::string Addr;  // UTF-8; stored in the ANSI code page, at most 67 bytes there
  int32_t Port = 0;
};

struct TLaunchBlockRequest {
  TLaunchEndpoint Gate;
  TLaunchEndpoint Logic;
  TLaunchEndpoint Login;
  TLaunchEndpoint DB;
  uint8_t GateNumber = 0;
  uint32_t ControllerHandle = 0;
  bool PressureTest = false;
  bool Profiling = false;
};

// Field offsets of the block (little-endian; addresses are a length byte and up to 67 bytes).
inline constexpr size_t kLaunchProfilingOffset = 0;
inline constexpr size_t kLaunchGateNumberOffset = 1;
inline constexpr size_t kLaunchControllerOffset = 4;
inline constexpr size_t kLaunchGateAddrOffset = 8;
inline constexpr size_t kLaunchGatePortOffset = 76;
inline constexpr size_t kLaunchLogicAddrOffset = 80;
inline constexpr size_t kLaunchLogicPortOffset = 148;
inline constexpr size_t kLaunchLoginAddrOffset = 152;
inline constexpr size_t kLaunchLoginPortOffset = 220;
inline constexpr size_t kLaunchDBAddrOffset = 224;
inline constexpr size_t kLaunchDBPortOffset = 292;
inline constexpr size_t kLaunchPressureTestOffset = 397;
inline constexpr size_t kLaunchAddrFieldSize = 68;

// Parses "ADDR:PORT" (the port after the last colon, 0 to 65535). Throws std::invalid_argument.
TLaunchEndpoint ParseLaunchEndpoint(const std::string& Text);

// Lays the request out. Throws std::invalid_argument for an empty address or one longer than 67
// bytes in the ANSI code page.
TLaunchBlock BuildLaunchBlock(const TLaunchBlockRequest& Request);

}  // namespace gw
