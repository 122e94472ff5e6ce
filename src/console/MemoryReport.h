// The "DumpMem" memory report: a text file "PelvaneMemState_YYYY_MM_DD_HH_NN_SS.txt" in the
// program's folder holding the allocator's report (glibc malloc_info and mallinfo2), the
// process's memory figures from /proc/self/status, and a closing additional-information
// section "PelvaneMemStateDump". Safe from any thread.
#pragma once

#include <string>

#include "logging/LogFormat.h"

namespace gw {

// "PelvaneMemState_" + the time as "YYYY_MM_DD_HH_NN_SS" + ".txt".
std::string MemoryReportFileName(const TLogTime& time);

// Writes the report into `folder`; returns the file's full path. Throws std::runtime_error
// when the file cannot be written.
std::string WriteMemoryReport(const std::string& folder, const TLogTime& time);

}  // namespace gw
