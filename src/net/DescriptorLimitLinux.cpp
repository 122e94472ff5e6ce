#include "net/DescriptorLimit.h"

#include <sys/resource.h>

namespace gw {

TDescriptorLimit RaiseDescriptorLimit() {
  TDescriptorLimit out;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return out;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  out.Soft = limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : limit.rlim_cur;
  out.Hard = limit.rlim_max == RLIM_INFINITY ? UINT64_MAX : limit.rlim_max;
  out.Known = true;
  return out;
}

bool DescriptorsNearLimit(int newestFd, uint64_t reserve) {
  rlimit limit{};
  if (newestFd < 0 || getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return false;
  }
  return static_cast<uint64_t>(newestFd) + reserve >= static_cast<uint64_t>(limit.rlim_cur);
}

}  // namespace gw
