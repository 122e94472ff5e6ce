// Builds the 400-byte launch parameter block that a controlling program passes, enciphered, as
// the gateway's first command-line argument. Pure functions, safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "config/LaunchParams.h"

namespace gw {

// The layout is the one the gateway reads (TLaunchParams).
using TLaunchBlock = TLaunchParams::TBlock;

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

// Parses "ADDR:PORT" (the port after the last colon, 0 to 65535). Throws std::invalid_argument.
TLaunchEndpoint ParseLaunchEndpoint(const std::string& Text);

// Lays the request out. Throws std::invalid_argument for an empty address or one longer than 67
// bytes in the ANSI code page.
TLaunchBlock BuildLaunchBlock(const TLaunchBlockRequest& Request);

}  // namespace gw
