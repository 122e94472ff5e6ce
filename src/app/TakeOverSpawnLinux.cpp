#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/TakeOverSpawn.h"

namespace gw {

namespace {

// Reads exactly `size` bytes; false at the end or on an error.
bool ReadAll(int fd, void* data, size_t size) {
  auto* out = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::read(fd, out, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// One report of a child through the pipe (one write each, so never interleaved).
struct TReport {
  int32_t Kind;  // kPid or kExecError
  int32_t Value;
};
constexpr int32_t kPid = 1;
constexpr int32_t kExecError = 2;

}  // namespace

uint32_t SpawnDetached(const TSelfCommand& ACommand, std::string& AError) {
  // Everything the children use is made before the fork: after it only calls that are safe
  // in a child of a threaded process remain.
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(ACommand.Program.c_str()));
  for (const std::string& arg : ACommand.Arguments) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    AError = std::string("pipe: ") + std::strerror(errno);
    return 0;
  }
  const pid_t child = ::fork();
  if (child < 0) {
    AError = std::string("fork: ") + std::strerror(errno);
    ::close(report[0]);
    ::close(report[1]);
    return 0;
  }
  if (child == 0) {
    ::close(report[0]);
    const pid_t grandchild = ::fork();
    if (grandchild == 0) {
      int error = 0;
      if (ACommand.Folder.empty() || ::chdir(ACommand.Folder.c_str()) == 0) {
        ::execv(argv[0], argv.data());
      }
      error = errno;
      const TReport failed{kExecError, error};
      [[maybe_unused]] ssize_t n = ::write(report[1], &failed, sizeof failed);
      ::_exit(127);
    }
    const TReport started{kPid, grandchild};
    [[maybe_unused]] ssize_t n = ::write(report[1], &started, sizeof started);
    ::_exit(grandchild > 0 ? 0 : 1);
  }
  ::close(report[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // The write ends close at the exec and at the children's ends: at most two reports.
  int32_t pid = 0;
  int execError = 0;
  TReport got{};
  while (ReadAll(report[0], &got, sizeof got)) {
    if (got.Kind == kPid) pid = got.Value;
    if (got.Kind == kExecError) execError = got.Value;
  }
  ::close(report[0]);
  const bool execFailed = execError != 0;
  if (pid <= 0) {
    AError = "fork of the new process failed";
    return 0;
  }
  if (execFailed) {
    AError = ACommand.Program + ": " + std::strerror(execError);
    return 0;
  }
  return static_cast<uint32_t>(pid);
}

}  // namespace gw
