#include "core/FloodWindow.h"

namespace gw {

bool TFloodWindow::Hit(const std::string& Addr, uint64_t NowMs, uint64_t WindowMs, uint32_t Limit) {
  if (WindowMs == 0 || Limit == 0) return false;
  auto it = FWindows.find(Addr);
  if (it == FWindows.end()) {
    if (FWindows.size() >= FMaxAddresses) {
      // Pruning walks the whole table: at most once a second while it stays full.
      if (NowMs - FLastPruneMs >= 1000 || NowMs < FLastPruneMs) Prune(NowMs, WindowMs);
      if (FWindows.size() >= FMaxAddresses) {
        CountLimitBreach(TLimitBreach::lbFloodTableFull);
        return false;
      }
    }
    FWindows.emplace(Addr, TWindow{NowMs, 1});
    return false;  // the first of its window
  }
  TWindow& window = it->second;
  if (NowMs - window.StartMs >= WindowMs) {
    window = TWindow{NowMs, 1};
  } else if (window.Count < UINT32_MAX) {
    ++window.Count;
  }
  return window.Count > Limit;
}

void TFloodWindow::Prune(uint64_t NowMs, uint64_t WindowMs) {
  FLastPruneMs = NowMs;
  std::erase_if(FWindows, [&](const auto& entry) {
    return WindowMs == 0 || NowMs - entry.second.StartMs >= WindowMs;
  });
}

}  // namespace gw
