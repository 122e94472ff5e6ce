// What a logic server packet means, read by pure functions: bytes in, a value or a named
// reason out (no session, no socket, no log). The logic link reads a packet's header and
// route to dispatch it; the worker reads the payload fields it acts on.
//
// Thread safety: pure functions over the caller's bytes; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "codec/DefaultMessage.h"
#include "common/PeerLimits.h"
#include "protocol/LogicPacketFramer.h"
#include "protocol/ReadResult.h"

namespace gw {

// Packet idents of the logic link (those the workers act on are in GateWayDefine.h).
inline constexpr int32_t GM_GATE_OPENSESSION = 1;
inline constexpr int32_t GM_GATE_CLOSESESSION = 2;
inline constexpr int32_t GM_LOGIC_GATE_CHECKSERVER = 3;
inline constexpr int32_t GM_GATE_KEEPALIVE = 4;
inline constexpr int32_t GM_GATE_ECHO = 7;
inline constexpr int32_t GM_LOGIC_GATE_DBCONFIG = 22;
// Sent by the server, carrying nothing the gateway uses: taken and ignored, without a line.
inline constexpr int32_t GM_LOGIC_GATE_IGNORED_23 = 23;
inline constexpr int32_t GM_LOGIC_GATE_IGNORED_24 = 24;

// Payload sizes the worker reads: a kick reason is one length byte and up to
// kKickReasonMaxLen characters; sync data is the account (one length byte and its
// characters), then the player name (the same), each field at its full size.
inline constexpr uint32_t kKickReasonPayloadSize = 1 + limits::kKickReasonMaxLen;
inline constexpr uint32_t kSyncPlayerNameOffset = 1 + limits::kSyncAccountMaxLen;
inline constexpr uint32_t kSyncDataPayloadSize =
    kSyncPlayerNameOffset + 1 + limits::kSyncPlayerNameMaxLen;
static_assert(kKickReasonPayloadSize == 129 && kSyncDataPayloadSize == 78,
              "the logic server's kick and sync payload sizes");

// Why a logic packet (or the part of it a reader looks at) is refused. One counter and one
// line per reason.
enum class TLogicReason : uint8_t {
  lrTooShort,         // fewer bytes than a packet header
  lrBadSignature,     // the header's magic is not kServerMessageMagic
  lrBadLength,        // the header's length is negative or runs past the bytes given
  lrUnknownIdent,     // an ident the gateway does not know
  lrPayloadTooShort,  // a speed-time payload too short for its default message
  lrWrongLength,      // a sync-data payload of another length than kSyncDataPayloadSize
  Count
};

// The reason's name, as counters and lines show it ("bad_signature", "unknown_ident", ...).
std::string_view LogicReasonName(TLogicReason Reason);

template <typename TValue>
using TLogicRead = TReadResult<TValue, TLogicReason>;

// One whole packet: its header and its payload (a view into the bytes read).
struct TLogicPacket {
  TServerMessageHeader Header{};
  std::span<const uint8_t> Payload;
};

// The packet at Bytes (as CutLogicPacket found it, or as a worker received it): header and
// payload. lrTooShort, lrBadSignature, lrBadLength.
TLogicRead<TLogicPacket> ReadLogicPacket(std::span<const uint8_t> Bytes);

// Where a packet of this ident goes.
enum class TLogicRoute : uint8_t {
  lrtToSession,    // 5, 6, 8, 21, 27: whole, to the worker owning the session
  lrtCheckServer,  // 3: the server is alive
  lrtEcho,         // 7: answered with an echo at once
  lrtDBConfig,     // 22: a configuration table for the cache
  lrtIgnored,      // 23, 24: taken without a word
};

// The route of an ident, or lrUnknownIdent.
TLogicRead<TLogicRoute> LogicPacketRoute(uint16_t Ident);

// GM_LOGIC_GATE_DATA: what the client receives is the header's type byte and the payload,
// with these changes made on the way.
struct TLogicClientData {
  uint8_t Type = 0;
  // mtDefault with a whole default message: its dwCRC takes this value (its Ident).
  std::optional<uint32_t> Crc;
  // mtStamp with room for it: the gateway's performance counter goes at body offset
  // kStampCounterOffset.
  bool Stamp = false;
};
TLogicClientData ReadLogicClientData(const TLogicPacket& Packet);

// GM_LOGIC_GATE_SPEEDTIME: the action intervals, a default message. lrPayloadTooShort.
TLogicRead<TDefaultMessage> ReadSpeedTime(std::span<const uint8_t> Payload);

// A length-prefixed text inside a payload (in the ANSI code page, a view into the payload).
struct TLogicShortText {
  std::string_view Text;
  bool Clamped = false;  // the length byte ran past its field: cut at the field's end
};

// GM_LOGIC_GATE_KICK: a reason when the payload is exactly kKickReasonPayloadSize bytes;
// any other payload kicks without one.
std::optional<TLogicShortText> ReadKickReason(std::span<const uint8_t> Payload);

// GM_LOGIC_GATE_SYNCDATA: the account and the player name. lrWrongLength.
struct TLogicSyncData {
  TLogicShortText Account;
  TLogicShortText PlayerName;
};
TLogicRead<TLogicSyncData> ReadSyncData(std::span<const uint8_t> Payload);

}  // namespace gw
