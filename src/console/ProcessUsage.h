// The process's CPU use between two samples (user + system time over wall time, 100% = one
// core busy), both for the whole process and for its busiest thread, read from /proc/self.
// Used by one thread at a time.
#pragma once

#include <cstdint>
#include <map>

namespace gw {

struct TCpuUsage {
  double Process = 0;        // every thread together
  double BusiestThread = 0;  // the single thread that used the most
};

class TProcessUsage {
 public:
  // Clock ticks are coarse (10 ms), so shorter intervals would show jumps of 5% and more.
  static constexpr uint64_t kMinSampleNs = 1'000'000'000;

  // The use since the previous sample; zero at the first call. A call sooner than
  // kMinSampleNs after the previous sample returns that sample's figures again.
  TCpuUsage Sample();

 private:
  uint64_t FLastProcessTicks = 0;
  std::map<int, uint64_t> FLastThreadTicks;  // thread id -> its ticks at the last sample
  uint64_t FLastWallNs = 0;
  TCpuUsage FLast;
};

}  // namespace gw
