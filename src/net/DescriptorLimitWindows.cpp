#include "net/DescriptorLimit.h"

namespace gw {

// Sockets are kernel handles on Windows, bounded by memory rather than by a per-process
// limit the process could raise: nothing to do, and no figure to report.
TDescriptorLimit RaiseDescriptorLimit() { return {}; }

// Handles are not numbered lowest-free first, and there is no per-process limit to
// approach: only the connection cap applies there.
bool DescriptorsNearLimit(int newestFd, uint64_t reserve) {
  (void)newestFd;
  (void)reserve;
  return false;
}

}  // namespace gw
