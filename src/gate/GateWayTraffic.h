// Byte counters of the relay for the operator's statistics panel. Updated with
// relaxed atomic adds on the relay's paths (no ordering is needed: the figures
// are only displayed) and readable from any thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace gw {

struct TGateWayTraffic {
  std::atomic<uint64_t> ClientBytesIn{0};     // received from game clients
  std::atomic<uint64_t> ClientBytesOut{0};    // sent to game clients (whole messages sent)
  std::atomic<uint64_t> LogicBytesIn{0};      // received from the logic server
  std::atomic<uint64_t> LogicBytesOut{0};     // sent to the logic server
  std::atomic<uint64_t> ClientMessagesIn{0};  // WebSocket messages received from clients
  std::atomic<uint64_t> ClientMessagesOut{
      0};  // WebSocket messages sent to clients (a batch is one)

  static void Add(std::atomic<uint64_t>& Counter, uint64_t Bytes) {
    Counter.fetch_add(Bytes, std::memory_order_relaxed);
  }
};

}  // namespace gw
