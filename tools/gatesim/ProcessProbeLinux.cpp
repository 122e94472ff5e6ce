#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "ProcessProbe.h"

namespace gw {

TProcSample SampleProcess(int Pid) {
  TProcSample s;
  if (Pid <= 0) return s;
  std::ifstream stat("/proc/" + std::to_string(Pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t paren = text.rfind(')');
  if (paren == std::string::npos) return s;
  std::istringstream fields(text.substr(paren + 2));
  std::string f;
  uint64_t ticks = 0;
  // Fields after the command: state is field 3; utime and stime are fields 14 and 15.
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) ticks = std::stoull(f);
    if (i == 15) ticks += std::stoull(f);
  }
  s.CpuSec = static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
  std::ifstream status("/proc/" + std::to_string(Pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) s.RssKiB = std::stoull(line.substr(6));
  }
  s.Ok = true;
  return s;
}

int OwnProcessId() { return getpid(); }

bool ReserveBotSockets(uint64_t Bots, std::string& Error) {
  // Thousands of bots need thousands of descriptors: take what the hard limit allows.
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  getrlimit(RLIMIT_NOFILE, &lim);
  if (lim.rlim_cur < Bots + 64) {
    Error = "open file limit " + std::to_string(lim.rlim_cur) + " is too low for " +
            std::to_string(Bots) + " bots (raise it with ulimit -n)";
    return false;
  }
  return true;
}

bool IsTerminal(FILE* Stream) { return isatty(fileno(Stream)) != 0; }

}  // namespace gw
