// What the load clients learn about processes: their own open-socket limit, and the CPU time
// and resident memory of a process (the gateway under load, or themselves). One set per
// platform. Safe from any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace gw {

struct TProcSample {
  bool Ok = false;
  double CpuSec = 0;  // user and system time so far
  uint64_t RssKiB = 0;
};

// The process Pid (0 or less: none) as it is now; Ok false when it cannot be read.
TProcSample SampleProcess(int Pid);
int OwnProcessId();
// Makes room for one socket per bot besides the process's own few (raising the soft limit up
// to the hard one where there is such a limit); false with the reason in Error when there
// cannot be that many.
bool ReserveBotSockets(uint64_t Bots, std::string& Error);
bool IsTerminal(FILE* Stream);

}  // namespace gw
