// The "DumpMem" memory report: a text file "PelvaneMemState_YYYY_MM_DD_HH_NN_SS.txt" in the
// program's folder holding the process's memory figures and the allocator's report (on Linux
// /proc/self/status, glibc's mallinfo2 and malloc_info; on Windows the process memory
// counters and a walk of the C runtime's heap), and a closing additional-information section
// "PelvaneMemStateDump". Safe from any thread.
#pragma once

#include <string>

#include "logging/LogFormat.h"

namespace gw {

// "PelvaneMemState_" + the time as "YYYY_MM_DD_HH_NN_SS" + ".txt".
std::string MemoryReportFileName(const TLogTime& time);

// The report's sections before the closing one: "[Process]" and "[Allocator]" with their
// lines (MemoryReportLinux/Windows.cpp).
std::string MemoryReportSections();

// Writes the report into `folder`; returns the file's full path. Throws std::runtime_error
// when the file cannot be written.
std::string WriteMemoryReport(const std::string& folder, const TLogTime& time);

}  // namespace gw
