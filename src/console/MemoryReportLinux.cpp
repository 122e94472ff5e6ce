#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "console/MemoryReport.h"

namespace gw {

namespace {

std::string AllocatorXml() {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* stream = open_memstream(&buffer, &size);
  if (!stream) return {};
  malloc_info(0, stream);
  std::fclose(stream);
  std::unique_ptr<char, decltype(&std::free)> owner(buffer, &std::free);
  return std::string(buffer, size);
}

std::string ProcessMemoryLines() {
  std::ifstream status("/proc/self/status");
  std::string line;
  std::string lines;
  while (std::getline(status, line))
    if (line.rfind("Vm", 0) == 0 || line.rfind("Rss", 0) == 0 || line.rfind("Threads", 0) == 0)
      lines += line + "\n";
  return lines;
}

}  // namespace

std::string MemoryReportSections() {
  const struct mallinfo2 info = mallinfo2();
  std::ostringstream text;
  text << "[Process]\n" << ProcessMemoryLines() << "\n";
  text << "[Allocator]\n"
       << "arena (bytes from the system, main arena): " << info.arena << "\n"
       << "hblkhd (bytes in mapped blocks): " << info.hblkhd << "\n"
       << "uordblks (bytes in use): " << info.uordblks << "\n"
       << "fordblks (bytes free): " << info.fordblks << "\n"
       << "keepcost (releasable top): " << info.keepcost << "\n"
       << "ordblks (free chunks): " << info.ordblks << "\n"
       << "hblks (mapped blocks): " << info.hblks << "\n\n";
  text << "[Allocator report]\n" << AllocatorXml() << "\n";
  return text.str();
}

}  // namespace gw
