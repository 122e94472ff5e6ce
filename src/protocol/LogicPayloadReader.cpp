#include "protocol/LogicPayloadReader.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "gate/GateWayDefine.h"

namespace gw {

namespace {

constexpr std::array<std::string_view, static_cast<size_t>(TLogicReason::Count)> kReasonNames = {
    "too_short",     "bad_signature",     "bad_length",
    "unknown_ident", "payload_too_short", "wrong_length",
};

// One length byte, then up to MaxLen characters; a length beyond the field is cut to it.
TLogicShortText ReadShortText(const uint8_t* Field, uint32_t MaxLen) {
  const uint32_t len = std::min<uint32_t>(Field[0], MaxLen);
  return {std::string_view(reinterpret_cast<const char*>(Field + 1), len), Field[0] > MaxLen};
}

}  // namespace

std::string_view LogicReasonName(TLogicReason Reason) {
  const auto i = static_cast<size_t>(Reason);
  return i < kReasonNames.size() ? kReasonNames[i] : std::string_view("unknown");
}

TLogicRead<TLogicPacket> ReadLogicPacket(std::span<const uint8_t> Bytes) {
  if (Bytes.data() == nullptr || Bytes.size() < static_cast<size_t>(kServerMessageHeaderSize)) {
    return TLogicReason::lrTooShort;
  }
  TLogicPacket packet;
  std::memcpy(&packet.Header, Bytes.data(), sizeof(packet.Header));
  if (packet.Header.dwMagic != kServerMessageMagic) return TLogicReason::lrBadSignature;
  const size_t room = Bytes.size() - kServerMessageHeaderSize;
  if (packet.Header.nLen < 0 || static_cast<size_t>(packet.Header.nLen) > room) {
    return TLogicReason::lrBadLength;
  }
  packet.Payload = Bytes.subspan(kServerMessageHeaderSize, static_cast<size_t>(packet.Header.nLen));
  return packet;
}

TLogicRead<TLogicRoute> LogicPacketRoute(uint16_t Ident) {
  switch (Ident) {
    case GM_LOGIC_GATE_DATA:
    case GM_LOGIC_GATE_USERINDEX:
    case GM_LOGIC_GATE_SPEEDTIME:
    case GM_LOGIC_GATE_KICK:
    case GM_LOGIC_GATE_SYNCDATA:
      return TLogicRoute::lrtToSession;
    case GM_LOGIC_GATE_CHECKSERVER:
      return TLogicRoute::lrtCheckServer;
    case GM_GATE_ECHO:
      return TLogicRoute::lrtEcho;
    case GM_LOGIC_GATE_DBCONFIG:
      return TLogicRoute::lrtDBConfig;
    case GM_LOGIC_GATE_IGNORED_23:
    case GM_LOGIC_GATE_IGNORED_24:
      return TLogicRoute::lrtIgnored;
    default:
      return TLogicReason::lrUnknownIdent;
  }
}

TLogicClientData ReadLogicClientData(const TLogicPacket& Packet) {
  TLogicClientData data;
  data.Type = Packet.Header.nMsgType;
  if (data.Type == mtDefault && Packet.Payload.size() >= kDefaultMessageSize) {
    uint16_t ident;
    std::memcpy(&ident, Packet.Payload.data() + offsetof(TDefaultMessage, Ident), sizeof(ident));
    data.Crc = ident;
  } else if (data.Type == mtStamp && Packet.Payload.size() >= kStampMinBodySize) {
    // A stamp message too short for the counter is passed on as the server sent it.
    data.Stamp = true;
  }
  return data;
}

TLogicRead<TDefaultMessage> ReadSpeedTime(std::span<const uint8_t> Payload) {
  if (Payload.size() < kDefaultMessageSize) return TLogicReason::lrPayloadTooShort;
  return ReadDefaultMessage(Payload.data());
}

std::optional<TLogicShortText> ReadKickReason(std::span<const uint8_t> Payload) {
  if (Payload.size() != kKickReasonPayloadSize) return std::nullopt;
  return ReadShortText(Payload.data(), limits::kKickReasonMaxLen);
}

TLogicRead<TLogicSyncData> ReadSyncData(std::span<const uint8_t> Payload) {
  if (Payload.size() != kSyncDataPayloadSize) return TLogicReason::lrWrongLength;
  return TLogicSyncData{
      ReadShortText(Payload.data(), limits::kSyncAccountMaxLen),
      ReadShortText(Payload.data() + kSyncPlayerNameOffset, limits::kSyncPlayerNameMaxLen)};
}

}  // namespace gw
