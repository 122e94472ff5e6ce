// TFloodWindow: how many connections each client address opened in its current window,
// for the connection-flood rule ("more than ConnectionATKCount connections within
// ConnectionATKSec seconds"). An address's window starts with the first connection
// counted after its previous window ended; it holds one time and one count per address,
// whatever the limit. Windows are kept in the order they started, so windows that ended
// are pruned from the front without walking the table, and a full table forgets its
// oldest window for a new address (counted as lbFloodTableFull): a flood spread over many
// fresh addresses must not stop the rule from seeing the next one.
//
// Thread safety: none; the client guard holds its lock around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

#include "common/GateWayStats.h"
#include "common/PeerLimits.h"

namespace gw {

class TFloodWindow {
 public:
  explicit TFloodWindow(size_t MaxAddresses = limits::kMaxFloodTrackedAddresses)
      : FMaxAddresses(MaxAddresses == 0 ? 1 : MaxAddresses) {}

  // Counts one connection of Addr at NowMs (monotonic milliseconds). True when it is more
  // than Limit connections within WindowMs of the first one of the window. A window or a
  // limit of 0 counts nothing and is never exceeded.
  bool Hit(const std::string& Addr, uint64_t NowMs, uint64_t WindowMs, uint32_t Limit);
  // Where a forgotten window (the table full) is counted; null: nowhere. Before use.
  void SetStats(TGateWayStats* Stats) { FStats = Stats; }
  // Forgets the addresses whose window has ended by NowMs.
  void Prune(uint64_t NowMs, uint64_t WindowMs);
  size_t Size() const { return FWindows.size(); }
  bool Tracks(const std::string& Addr) const { return FWindows.count(Addr) != 0; }

 private:
  struct TWindow {
    uint64_t StartMs;
    uint32_t Count;
    std::list<std::string>::iterator Order;
  };
  const size_t FMaxAddresses;
  TGateWayStats* FStats = nullptr;
  std::unordered_map<std::string, TWindow> FWindows;
  std::list<std::string> FOrder;  // addresses, oldest window first
};

}  // namespace gw
