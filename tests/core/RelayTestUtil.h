// Helpers for the relay tests (beside the link helpers and the fake client connection): a
// reader for the logic server packets a loopback peer received.
#pragma once

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/FakeWebSocketConnection.h"
#include "links/LinkTestUtil.h"
#include "links/LogicSrvClient.h"
#include "logging/LogLevel.h"

namespace gw::test {

// One packet as the logic server receives it.
struct TLogicPacket {
  TServerMessageHeader Header{};
  std::string Payload;
};

// Cuts the next whole packet off the peer's received bytes; false when none is complete.
inline bool TakeLogicPacket(TTestPeer& peer, TLogicPacket& out) {
  std::string head = peer.Received();
  if (head.size() < sizeof(TServerMessageHeader)) return false;
  TServerMessageHeader h;
  std::memcpy(&h, head.data(), sizeof(h));
  size_t total = sizeof(h) + static_cast<size_t>(h.nLen);
  std::string bytes = peer.Take(total);
  if (bytes.empty()) return false;
  out.Header = h;
  out.Payload = bytes.substr(sizeof(h));
  return true;
}

// Waits for the next packet that is not a keep-alive (ident 4) or echo (ident 7).
inline bool NextLogicPacket(TTestPeer& peer, TLogicPacket& out,
                            std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  return WaitUntil(
      [&] {
        while (TakeLogicPacket(peer, out)) {
          if (out.Header.nIdent != GM_GATE_KEEPALIVE && out.Header.nIdent != GM_GATE_ECHO) {
            return true;
          }
        }
        return false;
      },
      timeout);
}

}  // namespace gw::test
