// The login link's text frames as the login server simulator sees them. From the gateway:
// "%N" handle "/" remote "/" local "$", "%D" handle "/" client bytes "$", "%C" handle "$" and
// the keep-alive "%--$". To the gateway: control frames "%+" command handle "$" and data frames
// "%" handle "/" one character, six-bit message text, one character "$". Pure functions, safe
// from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace gw {

// The longest frame the simulator waits for; a longer run of bytes without "$" means the stream
// is out of step and the link is dropped.
inline constexpr size_t kSimLoginMaxFrame = 1 << 20;

enum class TLoginFrameKind { lfOpen, lfData, lfClose, lfKeepAlive, lfUnknown };

struct TLoginFrame {
  TLoginFrameKind Kind = TLoginFrameKind::lfUnknown;
  uint32_t Handle = 0;
  std::string RemoteAddr;  // lfOpen
  std::string LocalAddr;   // lfOpen
  std::string Data;        // lfData: the client's bytes as sent
};

// Reads one whole frame, "%" to "$" inclusive.
TLoginFrame ParseGatewayFrame(std::string_view Frame);

// Cuts frames (each ending at a "$") from the front of Data, calls OnFrame for each and returns
// the bytes consumed; an incomplete frame stays.
size_t CutLoginFrames(std::string_view Data, const std::function<void(std::string_view)>& OnFrame);

// A data frame carrying Message for the session's client.
std::string MakeLoginDataFrame(uint32_t Handle, std::string_view Message);
// A control frame: "%+" Command handle "$"; Handle 0 writes no number ("%++$").
std::string MakeLoginControlFrame(char Command, uint32_t Handle);

}  // namespace gw
