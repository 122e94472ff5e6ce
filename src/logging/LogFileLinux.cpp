#include "logging/LogFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace gw {

bool WriteLogFile(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void CreateWithByteOrderMark(const std::string& file) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return;
  WriteLogFile(fd, "\xFF\xFE", 2);
  ::close(fd);
}

int OpenForAppendExclusive(const std::string& file) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return -1;
  // An advisory lock: the other instance's writer asks for it too.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int OpenOrCreateForAppend(const std::string& file) {
  return ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

void CloseLogFile(int fd) { ::close(fd); }

bool ProbeLogFolder(const std::string& folder, std::string& error) {
  std::string probe = folder;
  if (probe.empty() || probe.back() != '/') probe.push_back('/');
  probe += ".write-test-" + std::to_string(::getpid());
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = std::generic_category().message(errno);
    return false;
  }
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

}  // namespace gw
