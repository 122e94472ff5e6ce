// A logic link packet as the logic server sends it, for the tests of the framer, the payload
// reader, the link and the worker.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "protocol/LogicPacketFramer.h"

namespace gw::test {

// `nLen` announces a length other than the payload's (a packet out of step).
inline std::string LogicPacket(uint16_t ident, int32_t socket, const std::string& payload = "",
                               uint8_t msgType = 0, int32_t userIndex = 0,
                               std::optional<int32_t> nLen = std::nullopt) {
  TServerMessageHeader h{kServerMessageMagic,
                         socket,
                         static_cast<uint16_t>(userIndex),
                         ident,
                         userIndex,
                         nLen.value_or(static_cast<int32_t>(payload.size())),
                         msgType};
  return std::string(reinterpret_cast<const char*>(&h), sizeof(h)) + payload;
}

}  // namespace gw::test
