#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

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

bool TNetDiagLog::AppendLines(const std::filesystem::path& file,
                              const std::vector<std::string>& lines) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool written = true;
  for (const std::string& line : lines) {
    size_t done = 0;
    while (written && done < line.size()) {
      const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0)
        written = false;
      else
        done += static_cast<size_t>(n);
    }
  }
  ::close(fd);
  return written;
}

}  // namespace gw
