#include "common/PeerLimits.h"

namespace gw {

namespace {

std::array<std::atomic<uint64_t>, kLimitBreachCount> gBreaches{};

struct TBreachText {
  std::string_view Name, Bound, Effect;
};

constexpr std::array<TBreachText, kLimitBreachCount> kBreachTexts = {{
#define GW_BREACH_TEXT(Id, Name, Bound, Effect) {Name, Bound, Effect},
    GW_LIMIT_BREACHES(GW_BREACH_TEXT)
#undef GW_BREACH_TEXT
}};

}  // namespace

std::string_view LimitBreachName(TLimitBreach breach) {
  auto i = static_cast<size_t>(breach);
  return i < kLimitBreachCount ? kBreachTexts[i].Name : std::string_view{};
}

std::string_view LimitBreachBound(TLimitBreach breach) {
  auto i = static_cast<size_t>(breach);
  return i < kLimitBreachCount ? kBreachTexts[i].Bound : std::string_view{};
}

std::string_view LimitBreachEffect(TLimitBreach breach) {
  auto i = static_cast<size_t>(breach);
  return i < kLimitBreachCount ? kBreachTexts[i].Effect : std::string_view{};
}

void CountLimitBreach(TLimitBreach breach) {
  auto i = static_cast<size_t>(breach);
  if (i < kLimitBreachCount) gBreaches[i].fetch_add(1, std::memory_order_relaxed);
}

uint64_t LimitBreaches(TLimitBreach breach) {
  auto i = static_cast<size_t>(breach);
  return i < kLimitBreachCount ? gBreaches[i].load(std::memory_order_relaxed) : 0;
}

}  // namespace gw
