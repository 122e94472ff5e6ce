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

}  // namespace gw
