// The login link's frame cutter: a pure function that finds the next whole frame ("%" ...
// "$") at the head of the bytes received from the login server (no socket, no state), so
// the cutting can be tested and fuzzed apart from the link.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/PeerLimits.h"

namespace gw {

// Longest frame accepted from the login server; more bytes without a "$" mean the stream
// is out of step, and the link reconnects instead of buffering without end.
inline constexpr int64_t kMaxLoginFrameSize = limits::kMaxLoginFrameSize;

enum class TLoginCut : uint8_t {
  lcFrame,     // a whole frame of Size bytes, its "$" included, starts at the head
  lcNeedMore,  // no "$" yet
  lcTooLong,   // no "$" within kMaxLoginFrameSize bytes
};

struct TLoginFrameCut {
  TLoginCut Status = TLoginCut::lcNeedMore;
  int64_t Size = 0;  // for lcFrame
};

// Looks at the Size bytes at Data: whether they start with a whole frame. A frame ends at
// the first "$"; whatever comes before it (a "%" or not) belongs to it.
TLoginFrameCut CutLoginFrame(const char* Data, int64_t Size);

// What one whole frame says.
enum class TLoginFrameKind : uint8_t {
  lfTooShort,   // fewer than two bytes
  lfNotFrame,   // does not start with "%"
  lfEmpty,      // "%$": nothing to do
  lfControl,    // "%+C<handle>$": keep-alive (Command 0) or a command for a session
  lfData,       // "%<handle>/<one character><six-bit text><one character>$"
  lfBadHandle,  // data for handle 0 or an unreadable handle
};

struct TLoginFrame {
  TLoginFrameKind Kind = TLoginFrameKind::lfTooShort;
  char Command = 0;  // lfControl: '-', 'B', 'T', ... (0 for a bare keep-alive "%+$")
  uint32_t SessionHandle = 0;
  std::string_view Text;  // lfData: the six-bit text (a view into the frame)
};

// Reads a whole frame (its "$" included, as CutLoginFrame gives it). Pure; the result's
// Text points into Frame.
TLoginFrame ReadLoginFrame(std::string_view Frame);

// The decimal session handle of a login frame ("+" allowed in front); 0 when unreadable.
uint32_t ParseLoginSessionHandle(std::string_view Text);

}  // namespace gw
