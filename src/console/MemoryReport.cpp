#include "console/MemoryReport.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/Utf8Path.h"

namespace gw {

std::string MemoryReportFileName(const TLogTime& t) {
  char name[64];
  std::snprintf(name, sizeof name, "PelvaneMemState_%04d_%02d_%02d_%02d_%02d_%02d.txt", t.Year,
                t.Month, t.Day, t.Hour, t.Minute, t.Second);
  return name;
}

std::string WriteMemoryReport(const std::string& folder, const TLogTime& time) {
  const std::string path = folder + "/" + MemoryReportFileName(time);
  std::ostringstream text;
  text << MemoryReportSections();
  text << "[Additional information]\nPelvaneMemStateDump\n";
  std::ofstream file(PathFromUtf8(path), std::ios::binary | std::ios::trunc);
  if (!file) throw std::runtime_error("cannot create " + path);
  file << text.str();
  file.close();
  if (!file) throw std::runtime_error("cannot write " + path);
  return path;
}

}  // namespace gw
