// Log levels and the log procedure that the gateway server, its workers and its
// links are given: they log only through it and never format time or level.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace gw {

enum TLogLevel : uint8_t {
  llMessage = 0,  // information, "[I] "
  llFatal = 1,    // "[F] "
  llError = 2,    // "[E]" (no trailing blank)
  llWarning = 3,  // "[W] "
  llDebug = 4,    // "[D] "
};

// A log procedure: message text (UTF-8) and its level. Must be safe to call from any thread.
using TLogProc = std::function<void(const std::string& text, TLogLevel level)>;

}  // namespace gw
