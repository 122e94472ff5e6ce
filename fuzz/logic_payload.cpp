// The logic payload reader over a stream cut as the link cuts it: every packet the framer
// finds is read, its payload lies inside it and is as long as its header says, a route or an
// unknown ident is named for every header, and the fields the worker reads (kick reason, sync
// data, speed time, client data) stay inside their fields.
#include <span>

#include "FuzzCheck.h"
#include "gate/GateWayDefine.h"
#include "protocol/LogicPayloadReader.h"

namespace {

void ReadOne(std::span<const uint8_t> bytes) {
  const auto packet = gw::ReadLogicPacket(bytes);
  if (!packet) {
    FUZZ_CHECK(!gw::LogicReasonName(packet.Reason()).empty());
    return;
  }
  const std::span<const uint8_t> payload = packet->Payload;
  FUZZ_CHECK(payload.data() == bytes.data() + gw::kServerMessageHeaderSize);
  FUZZ_CHECK(payload.size() == static_cast<size_t>(packet->Header.nLen));
  FUZZ_CHECK(payload.size() + gw::kServerMessageHeaderSize <= bytes.size());
  const auto route = gw::LogicPacketRoute(packet->Header.nIdent);
  if (!route) FUZZ_CHECK(route.Reason() == gw::TLogicReason::lrUnknownIdent);
  const gw::TLogicClientData data = gw::ReadLogicClientData(*packet);
  FUZZ_CHECK(data.Type == packet->Header.nMsgType);
  if (data.Crc) FUZZ_CHECK(payload.size() >= gw::kDefaultMessageSize && *data.Crc <= 0xFFFF);
  if (data.Stamp) FUZZ_CHECK(payload.size() >= gw::kStampMinBodySize);
  if (gw::ReadSpeedTime(payload)) FUZZ_CHECK(payload.size() >= gw::kDefaultMessageSize);
  if (const auto reason = gw::ReadKickReason(payload)) {
    FUZZ_CHECK(reason->Text.size() <= gw::limits::kKickReasonMaxLen);
    FUZZ_CHECK(reason->Text.data() == reinterpret_cast<const char*>(payload.data()) + 1);
  }
  if (const auto sync = gw::ReadSyncData(payload)) {
    FUZZ_CHECK(sync->Account.Text.size() <= gw::limits::kSyncAccountMaxLen);
    FUZZ_CHECK(sync->PlayerName.Text.size() <= gw::limits::kSyncPlayerNameMaxLen);
    FUZZ_CHECK(sync->PlayerName.Text.data() + sync->PlayerName.Text.size() <=
               reinterpret_cast<const char*>(payload.data() + payload.size()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The input as one packet, whatever it holds.
  ReadOne(std::span<const uint8_t>(data, size));
  // The input as a stream, cut by the framer.
  int64_t pos = 0;
  for (;;) {
    const gw::TLogicPacketCut cut =
        gw::CutLogicPacket(data + pos, static_cast<int64_t>(size) - pos);
    if (cut.Status != gw::TLogicCut::lcPacket) break;
    const auto packet = gw::ReadLogicPacket(std::span<const uint8_t>(data + pos, cut.Size));
    // A whole packet is refused only for its signature.
    FUZZ_CHECK(packet || packet.Reason() == gw::TLogicReason::lrBadSignature);
    ReadOne(std::span<const uint8_t>(data + pos, static_cast<size_t>(cut.Size)));
    pos += cut.Size;
  }
  return 0;
}
