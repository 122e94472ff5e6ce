#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <io.h>

#include "ProcessProbe.h"

namespace gw {

TProcSample SampleProcess(int Pid) {
  TProcSample s;
  if (Pid <= 0) return s;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE,
                               static_cast<DWORD>(Pid));
  if (process == nullptr) {
    process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(Pid));
  }
  if (process == nullptr) return s;
  FILETIME created, exited, kernel, user;
  if (GetProcessTimes(process, &created, &exited, &kernel, &user)) {
    auto ticks = [](const FILETIME& t) {  // in units of 100 ns
      return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    s.CpuSec = static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
    s.Ok = true;
  }
  PROCESS_MEMORY_COUNTERS memory{};
  if (K32GetProcessMemoryInfo(process, &memory, sizeof(memory))) {
    s.RssKiB = memory.WorkingSetSize / 1024;
  }
  CloseHandle(process);
  return s;
}

int OwnProcessId() { return static_cast<int>(GetCurrentProcessId()); }

bool ReserveBotSockets(uint64_t, std::string&) {
  // Windows sets no per-process limit on sockets.
  return true;
}

bool IsTerminal(FILE* Stream) { return _isatty(_fileno(Stream)) != 0; }

}  // namespace gw
