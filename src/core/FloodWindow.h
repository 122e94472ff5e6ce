// TFloodWindow: how many connections each client address opened in its current window,
// for the connection-flood rule ("more than ConnectionATKCount connections within
// ConnectionATKSec seconds"). An address's window starts with the first connection
// counted after its previous window ended; it holds one time and one count per address,
// whatever the limit, and windows that ended are pruned.
//
// Thread safety: none; the client guard holds its lock around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "common/PeerLimits.h"

namespace gw {

class TFloodWindow {
 public:
  explicit TFloodWindow(size_t MaxAddresses = limits::kMaxFloodTrackedAddresses)
      : FMaxAddresses(MaxAddresses) {}

  // Counts one connection of Addr at NowMs (monotonic milliseconds). True when it is more
  // than Limit connections within WindowMs of the first one of the window. A window or a
  // limit of 0 counts nothing and is never exceeded.
  bool Hit(const std::string& Addr, uint64_t NowMs, uint64_t WindowMs, uint32_t Limit);
  // Forgets the addresses whose window has ended by NowMs.
  void Prune(uint64_t NowMs, uint64_t WindowMs);
  size_t Size() const { return FWindows.size(); }

 private:
  struct TWindow {
    uint64_t StartMs;
    uint32_t Count;
  };
  const size_t FMaxAddresses;
  std::unordered_map<std::string, TWindow> FWindows;
  uint64_t FLastPruneMs = 0;
};

}  // namespace gw
