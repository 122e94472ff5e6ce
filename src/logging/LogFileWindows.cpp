#include "logging/LogFile.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <process.h>

#include <cerrno>
#include <climits>
#include <string>
#include <system_error>

#include "common/WideText.h"

namespace gw {

namespace {

// _O_BINARY: the lines are written as they are, no CR inserted; _O_NOINHERIT: a started
// program does not keep the log open.
int Open(const std::string& file, int flags, int share) {
  int fd = -1;
  if (::_wsopen_s(&fd, WideFromUtf8(file).c_str(), flags | _O_BINARY | _O_NOINHERIT, share,
                  _S_IREAD | _S_IWRITE) != 0) {
    return -1;
  }
  return fd;
}

}  // namespace

bool WriteLogFile(int fd, const char* data, size_t size) {
  while (size > 0) {
    const unsigned chunk = size > INT_MAX ? INT_MAX : static_cast<unsigned>(size);
    const int n = ::_write(fd, data, chunk);
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
  const int fd = Open(file, _O_WRONLY | _O_CREAT | _O_EXCL, _SH_DENYNO);
  if (fd < 0) return;
  WriteLogFile(fd, "\xFF\xFE", 2);
  ::_close(fd);
}

int OpenForAppendExclusive(const std::string& file) {
  // The system's share mode denies a second writer (another instance's) the file.
  return Open(file, _O_WRONLY | _O_APPEND, _SH_DENYWR);
}

int OpenOrCreateForAppend(const std::string& file) {
  return Open(file, _O_WRONLY | _O_CREAT | _O_APPEND, _SH_DENYNO);
}

void CloseLogFile(int fd) { ::_close(fd); }

bool ProbeLogFolder(const std::string& folder, std::string& error) {
  std::string probe = folder;
  if (probe.empty() || (probe.back() != '/' && probe.back() != '\\')) probe.push_back('/');
  probe += ".write-test-" + std::to_string(::_getpid());
  const int fd = Open(probe, _O_WRONLY | _O_CREAT | _O_TRUNC, _SH_DENYNO);
  if (fd < 0) {
    error = std::generic_category().message(errno);
    return false;
  }
  ::_close(fd);
  ::_wunlink(WideFromUtf8(probe).c_str());
  return true;
}

}  // namespace gw
