// Text from outside (a client's token answer or account name, a line of an operator's file)
// made safe to copy into a log line: the log goes to terminals, journals and files that
// operators read and grep, so such text must neither move the cursor, clear the screen nor
// start a line of its own that looks like the gateway's.
//
// Thread safety: pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/PeerLimits.h"

namespace gw {

// Text as one log line may quote it. Control characters (C0, DEL and the C1 range, which
// terminals also obey), the Unicode line and paragraph separators, the bidirectional
// overrides and every byte that is not part of valid UTF-8 are written as "\xNN" (one per
// byte); valid UTF-8 (Chinese names included) stays as it is. Only the first MaxBytes bytes
// are quoted, cut at a character boundary, followed by "…(N bytes)" with the whole length;
// a cut is counted (lbLoggedTextCut).
std::string LogText(std::string_view Text, size_t MaxBytes = limits::kMaxLoggedClientText);

}  // namespace gw
