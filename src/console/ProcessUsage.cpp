#include "console/ProcessUsage.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "common/Platform.h"

namespace gw {

namespace {

// utime + stime of /proc/self/stat, in clock ticks.
uint64_t ProcessCpuTicks() {
  std::ifstream stat("/proc/self/stat");
  std::string text;
  std::getline(stat, text);
  // The command name may hold blanks; the fields after it start behind the last ')'.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  uint64_t utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) {
      stime = std::stoull(field);
      break;
    }
  }
  return utime + stime;
}

}  // namespace

double TProcessUsage::SampleCpuPercent() {
  const uint64_t cpu = ProcessCpuTicks();
  const uint64_t wall = QueryPerformanceCounter64();
  double percent = 0;
  if (FLastWallNs != 0 && wall > FLastWallNs) {
    const double cpuSeconds = static_cast<double>(cpu - FLastCpuTicks) / sysconf(_SC_CLK_TCK);
    percent = cpuSeconds * 1e9 / static_cast<double>(wall - FLastWallNs) * 100;
  }
  FLastCpuTicks = cpu;
  FLastWallNs = wall;
  return percent;
}

int TProcessUsage::ThreadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
  return 0;
}

}  // namespace gw
