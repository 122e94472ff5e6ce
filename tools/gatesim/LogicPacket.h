// The logic server link's packets as the logic server simulator sees them: a 21-byte header
// (magic 0xAABBAADD, session handle, user index, ident, user list index, payload length,
// message type; little-endian, no padding) followed by the payload. Building and cutting are
// pure functions over bytes, safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace gw {

inline constexpr size_t kSimLogicHeaderSize = 21;
inline constexpr uint32_t kSimLogicMagic = 0xAABBAADD;
// The largest payload the simulator accepts from the gateway; a length beyond it (or a negative
// one) means the stream is out of step and the link is dropped.
inline constexpr int32_t kSimLogicMaxPayload = 1 << 20;

// Logic packet idents.
enum TSimLogicIdent : uint16_t {
  liOpenSession = 1,
  liCloseSession = 2,
  liCheckServer = 3,
  liKeepAlive = 4,
  liData = 5,
  liUserIndex = 6,
  liEcho = 7,
  liSpeedTime = 8,
  liKick = 21,
  liDBConfig = 22,
  liSyncData = 27,
};

struct TSimLogicHeader {
  uint32_t Magic = kSimLogicMagic;
  int32_t nSocket = 0;
  uint16_t wSocketIndex = 0;
  uint16_t nIdent = 0;
  int32_t nUserListIndex = 0;
  int32_t nLen = 0;
  uint8_t nMsgType = 0;
};

// Header (with nLen set to the payload's size) followed by the payload.
std::string BuildLogicPacket(TSimLogicHeader Header, std::string_view Payload);

TSimLogicHeader ReadLogicHeader(const uint8_t* Bytes);  // 21 bytes

enum class TLogicCutStatus { lcOk, lcBadLength };

// Cuts whole packets from the front of Data, calls OnPacket for each in order, and returns the
// number of bytes consumed; an incomplete packet stays. A negative or oversized length stops the
// cut with lcBadLength in Status.
size_t CutLogicPackets(
    const uint8_t* Data, size_t Len,
    const std::function<void(const TSimLogicHeader&, std::string_view)>& OnPacket,
    TLogicCutStatus& Status);

}  // namespace gw
