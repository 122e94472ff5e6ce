#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include "console/ProcessUsage.h"

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

TProcessUsage::TCpuTimes TProcessUsage::ReadCpuTimes() {
  const uint64_t tickNs = 1'000'000'000ULL / static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
  TCpuTimes times;
  times.ProcessNs = StatCpuTicks("/proc/self/stat") * tickNs;
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc/self/task", error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    times.ThreadNs[static_cast<uint32_t>(std::strtoul(name.c_str(), nullptr, 10))] =
        StatCpuTicks(it->path().string() + "/stat") * tickNs;
  }
  return times;
}

}  // namespace gw
