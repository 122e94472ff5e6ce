#include "common/LogRateLimiter.h"

namespace gw {

TLogRateLimiter::TLogRateLimiter(size_t Causes, uint64_t IntervalMs)
    : FIntervalMs(IntervalMs), FCauses(Causes) {}

bool TLogRateLimiter::Allow(size_t Cause, uint64_t NowMs, uint64_t& Suppressed) {
  std::lock_guard<std::mutex> guard(FLock);
  if (Cause >= FCauses.size()) return false;
  TCause& cause = FCauses[Cause];
  if (cause.Written && NowMs - cause.LastMs < FIntervalMs) {
    ++cause.Suppressed;
    return false;
  }
  cause.Written = true;
  cause.LastMs = NowMs;
  Suppressed = cause.Suppressed;
  cause.Suppressed = 0;
  return true;
}

std::vector<std::pair<size_t, uint64_t>> TLogRateLimiter::TakeSuppressed(uint64_t NowMs) {
  std::vector<std::pair<size_t, uint64_t>> out;
  std::lock_guard<std::mutex> guard(FLock);
  for (size_t i = 0; i < FCauses.size(); ++i) {
    TCause& cause = FCauses[i];
    if (cause.Suppressed == 0 || NowMs - cause.LastMs < FIntervalMs) continue;
    out.emplace_back(i, cause.Suppressed);
    cause.Suppressed = 0;
    cause.LastMs = NowMs;
  }
  return out;
}

}  // namespace gw
