// The process's CPU use between two samples (user + system time over wall time, 100% = one
// core busy) and its thread count, read from /proc/self. Used by one thread at a time.
#pragma once

#include <cstdint>

namespace gw {

class TProcessUsage {
 public:
  // CPU percent since the previous call (0 at the first call).
  double SampleCpuPercent();
  static int ThreadCount();

 private:
  uint64_t FLastCpuTicks = 0;
  uint64_t FLastWallNs = 0;
};

}  // namespace gw
