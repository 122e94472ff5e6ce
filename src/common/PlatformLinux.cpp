#include "common/Platform.h"

#include <openssl/rand.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace gw {

namespace {
uint64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

std::filesystem::path ExePath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path{} : p;
}
}  // namespace

uint32_t GetTickCount32() { return static_cast<uint32_t>(MonotonicNs() / 1000000ull); }

uint64_t QueryPerformanceCounter64() { return MonotonicNs(); }

void FillRandomBytes(unsigned char* data, size_t size) {
  if (RAND_bytes(data, static_cast<int>(size)) != 1) throw std::runtime_error("RAND_bytes failed");
}

std::string ProgramPath() { return ExePath().string(); }

std::string ProgramFolder() {
  auto p = ExePath();
  return p.empty() ? std::string(".") : p.parent_path().string();
}

std::string ProgramName() {
  auto p = ExePath();
  return p.empty() ? std::string("gateway") : p.filename().string();
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

double ProcessCpuSeconds() {
  std::ifstream in("/proc/self/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The program's name (field 2) may hold blanks: the fields after it are counted from
  // its closing parenthesis; utime and stime are fields 14 and 15.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  const long ticks = sysconf(_SC_CLK_TCK);
  return ticks > 0 ? static_cast<double>(utime + stime) / static_cast<double>(ticks) : 0;
}

uint64_t ProcessResidentBytes() {
  std::ifstream in("/proc/self/statm");
  unsigned long long size = 0, resident = 0;
  if (!(in >> size >> resident)) return 0;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

double ProcessStartTimeSeconds() {
  // Field 22 of /proc/self/stat is the start in clock ticks after boot. The boot's own time
  // is the real-time clock less the time since boot: /proc/stat's "btime" would say it too,
  // but a hardened unit (ProcSubset=pid) hides that file.
  std::ifstream in("/proc/self/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 > text.size()) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long startTicks = 0;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) startTicks = std::strtoull(field.c_str(), nullptr, 10);
  }
  timespec now{}, sinceBoot{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0 || clock_gettime(CLOCK_BOOTTIME, &sinceBoot) != 0) {
    return 0;
  }
  const long ticks = sysconf(_SC_CLK_TCK);
  if (ticks <= 0) return 0;
  const double bootTime = static_cast<double>(now.tv_sec - sinceBoot.tv_sec) +
                          static_cast<double>(now.tv_nsec - sinceBoot.tv_nsec) / 1e9;
  return bootTime + static_cast<double>(startTicks) / static_cast<double>(ticks);
}

int64_t ProcessOpenDescriptors() {
  std::error_code ec;
  int64_t count = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++count;
  }
  // The walk's own descriptor on the folder is not the process's.
  return ec ? -1 : std::max<int64_t>(0, count - 1);
}

int64_t ProcessMaxDescriptors() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<int64_t>(limit.rlim_cur);
}

void SleepMs(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

void UseThroughputScheduling() {
  // SCHED_BATCH: the normal time-sharing policy without wake-up preemption. Threads inherit
  // it. A failure only leaves the default policy, which is correct, just busier.
  sched_param param{};
  [[maybe_unused]] int rc = sched_setscheduler(0, SCHED_BATCH, &param);
}

void NameCurrentThread(const std::string& name) {
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace gw
