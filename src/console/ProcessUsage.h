// The process's CPU use between two samples (user + system time over wall time, 100% = one
// core busy), both for the whole process and for its busiest thread, from the system's CPU
// times (ProcessUsageLinux/Windows.cpp). Used by one thread at a time.
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
  // The systems count CPU time coarsely (10 ms clock ticks on Linux, 15.6 ms scheduler
  // quanta on Windows), so shorter intervals would show jumps of 5% and more.
  static constexpr uint64_t kMinSampleNs = 1'000'000'000;

  // The use since the previous sample; zero at the first call. A call sooner than
  // kMinSampleNs after the previous sample returns that sample's figures again.
  TCpuUsage Sample();

 private:
  // User + system time so far, in nanoseconds: the process's, and each live thread's.
  struct TCpuTimes {
    uint64_t ProcessNs = 0;
    std::map<uint32_t, uint64_t> ThreadNs;  // thread id -> its time
  };
  static TCpuTimes ReadCpuTimes();  // ProcessUsageLinux/Windows.cpp

  uint64_t FLastProcessNs = 0;
  std::map<uint32_t, uint64_t> FLastThreadNs;  // thread id -> its time at the last sample
  uint64_t FLastWallNs = 0;
  TCpuUsage FLast;
};

}  // namespace gw
