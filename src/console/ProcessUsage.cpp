#include "console/ProcessUsage.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include "common/Platform.h"

namespace gw {

namespace {

// utime + stime of a /proc stat file, in clock ticks; 0 when it cannot be read (a thread
// that ended between listing and reading).
uint64_t StatCpuTicks(const std::string& path) {
  std::ifstream stat(path);
  std::string text;
  std::getline(stat, text);
  // The command name may hold blanks; the fields after it start behind the last ')'.
  const size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 > text.size()) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  uint64_t ticks = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::strtoull(field.c_str(), nullptr, 10);
    if (i == 15) break;
  }
  return ticks;
}

}  // namespace

TCpuUsage TProcessUsage::Sample() {
  const uint64_t wall = QueryPerformanceCounter64();
  if (FLastWallNs != 0 && wall - FLastWallNs < kMinSampleNs) return FLast;

  const uint64_t processTicks = StatCpuTicks("/proc/self/stat");
  std::map<int, uint64_t> threadTicks;
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc/self/task", error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    threadTicks[std::atoi(name.c_str())] = StatCpuTicks(it->path().string() + "/stat");
  }

  TCpuUsage usage;
  if (FLastWallNs != 0) {
    const double tickSeconds = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    const double wallSeconds = static_cast<double>(wall - FLastWallNs) / 1e9;
    auto percent = [&](uint64_t ticks) { return ticks * tickSeconds / wallSeconds * 100; };
    if (processTicks >= FLastProcessTicks)
      usage.Process = percent(processTicks - FLastProcessTicks);
    uint64_t busiest = 0;
    for (const auto& [thread, ticks] : threadTicks) {
      // A thread started since the last sample used all its ticks within the interval.
      const auto last = FLastThreadTicks.find(thread);
      const uint64_t before = last == FLastThreadTicks.end() ? 0 : last->second;
      if (ticks >= before) busiest = std::max(busiest, ticks - before);
    }
    usage.BusiestThread = percent(busiest);
  }
  FLastProcessTicks = processTicks;
  FLastThreadTicks = std::move(threadTicks);
  FLastWallNs = wall;
  FLast = usage;
  return usage;
}

}  // namespace gw
