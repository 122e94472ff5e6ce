// The process's descriptor limit (RLIMIT_NOFILE). Every client connection holds one
// descriptor, so the gateway raises its soft limit to the hard limit at start: a default
// soft limit of 1024 would otherwise cap the clients far below what the machine allows.
#pragma once

#include <cstdint>

namespace gw {

struct TDescriptorLimit {
  uint64_t Soft = 0;  // the limit in force afterwards
  uint64_t Hard = 0;
  bool Known = false;  // the limit could be read
};

// Raises the soft limit to the hard one (as far as the system lets it) and returns the
// limits in force afterwards. Any thread; meant for the start of the process.
TDescriptorLimit RaiseDescriptorLimit();

// Whether fewer than `reserve` descriptors are left, judged by `newestFd`, a descriptor
// just opened: the system hands out the lowest free number, so every one below it is in
// use. Always false where sockets are not numbered that way (Windows). Any thread.
bool DescriptorsNearLimit(int newestFd, uint64_t reserve);

}  // namespace gw
