// The login link's frame cutter: a pure function that finds the next whole frame ("%" ...
// "$") at the head of the bytes received from the login server (no socket, no state), so
// the cutting can be tested and fuzzed apart from the link.
#pragma once

#include <cstdint>

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

}  // namespace gw
