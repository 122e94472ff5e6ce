#include "common/Platform.h"

#include <openssl/rand.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
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

}  // namespace gw
