// windows.h first: the headers below need its types.
#include <windows.h>

#include <malloc.h>
#include <psapi.h>

#include <cstdint>
#include <sstream>

#include "console/MemoryReport.h"

namespace gw {

std::string MemoryReportSections() {
  std::ostringstream text;
  text << "[Process]\n";
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (K32GetProcessMemoryInfo(GetCurrentProcess(),
                              reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof counters)) {
    text << "WorkingSetSize: " << counters.WorkingSetSize << "\n"
         << "PeakWorkingSetSize: " << counters.PeakWorkingSetSize << "\n"
         << "PrivateUsage: " << counters.PrivateUsage << "\n"
         << "PagefileUsage: " << counters.PagefileUsage << "\n"
         << "PeakPagefileUsage: " << counters.PeakPagefileUsage << "\n"
         << "PageFaultCount: " << counters.PageFaultCount << "\n";
  } else {
    text << "GetProcessMemoryInfo failed: " << GetLastError() << "\n";
  }
  // The C runtime's heap, block by block: what malloc holds in use and free.
  uint64_t usedBytes = 0, usedBlocks = 0, freeBytes = 0, freeBlocks = 0;
  _HEAPINFO entry{};
  int status;
  while ((status = _heapwalk(&entry)) == _HEAPOK) {
    if (entry._useflag == _USEDENTRY) {
      usedBytes += entry._size;
      ++usedBlocks;
    } else {
      freeBytes += entry._size;
      ++freeBlocks;
    }
  }
  text << "\n[Allocator]\n"
       << "bytes in use: " << usedBytes << "\n"
       << "blocks in use: " << usedBlocks << "\n"
       << "bytes free: " << freeBytes << "\n"
       << "free blocks: " << freeBlocks << "\n"
       << "heap walk: "
       << (status == _HEAPEND     ? "complete"
           : status == _HEAPEMPTY ? "empty heap"
                                  : "damaged heap")
       << "\n\n";
  return text.str();
}

}  // namespace gw
