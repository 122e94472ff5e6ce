// TLogRateLimiter: at most one log line per cause per interval (a second for the client
// guard), so a flood of refusals or attacks cannot flood the log. The lines held back are
// counted: the next line written for the cause names them, and causes that went quiet
// are reported by TakeSuppressed, so no count is lost when the flood stops.
//
// Thread safety: every operation is safe from any thread (one internal lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace gw {

class TLogRateLimiter {
 public:
  explicit TLogRateLimiter(size_t Causes, uint64_t IntervalMs = 1000);

  // Whether a line for Cause may be written at NowMs (monotonic milliseconds). When it may,
  // Suppressed is set to the lines held back for it since its last line.
  bool Allow(size_t Cause, uint64_t NowMs, uint64_t& Suppressed);
  // The causes with lines held back whose interval has passed, with their counts; each is
  // reported once and its interval starts again (the report is its line).
  std::vector<std::pair<size_t, uint64_t>> TakeSuppressed(uint64_t NowMs);

 private:
  struct TCause {
    bool Written = false;  // a line has been written (LastMs is valid)
    uint64_t LastMs = 0;
    uint64_t Suppressed = 0;
  };
  const uint64_t FIntervalMs;
  std::mutex FLock;  // guards FCauses
  std::vector<TCause> FCauses;
};

}  // namespace gw
