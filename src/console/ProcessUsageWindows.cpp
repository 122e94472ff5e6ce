// windows.h first: the headers below need its types.
#include <windows.h>

#include <tlhelp32.h>

#include "console/ProcessUsage.h"

namespace gw {

namespace {

// Kernel + user time, given in 100 ns units.
uint64_t TimesNs(const FILETIME& kernel, const FILETIME& user) {
  auto units = [](const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return (units(kernel) + units(user)) * 100;
}

}  // namespace

TProcessUsage::TCpuTimes TProcessUsage::ReadCpuTimes() {
  TCpuTimes times;
  FILETIME created, ended, kernel, user;
  if (GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user))
    times.ProcessNs = TimesNs(kernel, user);
  // The snapshot lists every thread of the system; this process's are picked by owner. A
  // thread that ended in between cannot be opened and is left out.
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return times;
  const DWORD self = GetCurrentProcessId();
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != self) continue;
    const HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
    if (thread == nullptr) continue;
    if (GetThreadTimes(thread, &created, &ended, &kernel, &user))
      times.ThreadNs[entry.th32ThreadID] = TimesNs(kernel, user);
    CloseHandle(thread);
  }
  CloseHandle(snapshot);
  return times;
}

}  // namespace gw
