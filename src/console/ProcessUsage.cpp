#include "console/ProcessUsage.h"

#include <algorithm>

#include "common/Platform.h"

namespace gw {

TCpuUsage TProcessUsage::Sample() {
  const uint64_t wall = QueryPerformanceCounter64();
  if (FLastWallNs != 0 && wall - FLastWallNs < kMinSampleNs) return FLast;

  TCpuTimes times = ReadCpuTimes();
  TCpuUsage usage;
  if (FLastWallNs != 0) {
    const double wallNs = static_cast<double>(wall - FLastWallNs);
    auto percent = [&](uint64_t ns) { return static_cast<double>(ns) / wallNs * 100; };
    if (times.ProcessNs >= FLastProcessNs)
      usage.Process = percent(times.ProcessNs - FLastProcessNs);
    uint64_t busiest = 0;
    for (const auto& [thread, ns] : times.ThreadNs) {
      // A thread started since the last sample used all its time within the interval.
      const auto last = FLastThreadNs.find(thread);
      const uint64_t before = last == FLastThreadNs.end() ? 0 : last->second;
      if (ns >= before) busiest = std::max(busiest, ns - before);
    }
    usage.BusiestThread = percent(busiest);
  }
  FLastProcessNs = times.ProcessNs;
  FLastThreadNs = std::move(times.ThreadNs);
  FLastWallNs = wall;
  FLast = usage;
  return usage;
}

}  // namespace gw
