#include "core/FloodWindow.h"

namespace gw {

bool TFloodWindow::Hit(const std::string& Addr, uint64_t NowMs, uint64_t WindowMs, uint32_t Limit) {
  if (WindowMs == 0 || Limit == 0) return false;
  auto it = FWindows.find(Addr);
  if (it == FWindows.end()) {
    if (FWindows.size() >= FMaxAddresses) Prune(NowMs, WindowMs);
    if (FWindows.size() >= FMaxAddresses) {
      if (FStats) FStats->Count(TLimitBreach::lbFloodTableFull);
      FWindows.erase(FOrder.front());
      FOrder.pop_front();
    }
    FOrder.push_back(Addr);
    FWindows.emplace(Addr, TWindow{NowMs, 1, std::prev(FOrder.end())});
    return false;  // the first of its window
  }
  TWindow& window = it->second;
  if (NowMs - window.StartMs >= WindowMs || NowMs < window.StartMs) {
    window.StartMs = NowMs;
    window.Count = 1;
    FOrder.splice(FOrder.end(), FOrder, window.Order);  // now the youngest window
  } else if (window.Count < UINT32_MAX) {
    ++window.Count;
  }
  return window.Count > Limit;
}

void TFloodWindow::Prune(uint64_t NowMs, uint64_t WindowMs) {
  while (!FOrder.empty()) {
    auto it = FWindows.find(FOrder.front());
    if (WindowMs != 0 && it != FWindows.end() && NowMs - it->second.StartMs < WindowMs &&
        NowMs >= it->second.StartMs) {
      break;  // the oldest window still runs: so do all after it
    }
    if (it != FWindows.end()) FWindows.erase(it);
    FOrder.pop_front();
  }
}

}  // namespace gw
