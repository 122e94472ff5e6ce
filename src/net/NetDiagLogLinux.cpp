#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "net/NetDiagLog.h"

namespace gw {

std::string TNetDiagLog::SystemErrorText(int code) {
  char buf[256];
  const char* message = strerror_r(code, buf, sizeof(buf));  // GNU form
  char head[64];
  // Hexadecimal in capitals, as the system's own error texts show codes.
  std::snprintf(head, sizeof(head), "System Error.  Code: %d(%.4X), ", code,
                static_cast<unsigned>(code));
  return std::string(head) + message;
}

void TNetDiagLog::LocalClock(tm& local, int& millis) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &local);
  millis = static_cast<int>(tv.tv_usec / 1000);
}

uint64_t TNetDiagLog::CurrentThreadNumber() { return static_cast<uint64_t>(gettid()); }

}  // namespace gw
