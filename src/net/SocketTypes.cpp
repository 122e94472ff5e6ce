#include "net/SocketTypes.h"

#include <atomic>

namespace gw {

uint64_t NewSocketUID(TSocketKind kind) {
  static std::atomic<uint64_t> counter{0};
  constexpr uint64_t kValueMask = (uint64_t{1} << 62) - 1;
  uint64_t value = counter.fetch_add(1, std::memory_order_relaxed) + 1;
  return (static_cast<uint64_t>(kind) << 62) | (value & kValueMask);
}

}  // namespace gw
