#include "LogicPacket.h"

#include "SimProtocol.h"

namespace gw {

std::string BuildLogicPacket(TSimLogicHeader Header, std::string_view Payload) {
  std::string out;
  out.reserve(kSimLogicHeaderSize + Payload.size());
  AppendLe32(out, Header.Magic);
  AppendLe32(out, static_cast<uint32_t>(Header.nSocket));
  AppendLe16(out, Header.wSocketIndex);
  AppendLe16(out, Header.nIdent);
  AppendLe32(out, static_cast<uint32_t>(Header.nUserListIndex));
  AppendLe32(out, static_cast<uint32_t>(Payload.size()));
  out.push_back(static_cast<char>(Header.nMsgType));
  out.append(Payload);
  return out;
}

TSimLogicHeader ReadLogicHeader(const uint8_t* B) {
  TSimLogicHeader h;
  h.Magic = ReadLe32(B);
  h.nSocket = static_cast<int32_t>(ReadLe32(B + 4));
  h.wSocketIndex = ReadLe16(B + 8);
  h.nIdent = ReadLe16(B + 10);
  h.nUserListIndex = static_cast<int32_t>(ReadLe32(B + 12));
  h.nLen = static_cast<int32_t>(ReadLe32(B + 16));
  h.nMsgType = B[20];
  return h;
}

size_t CutLogicPackets(
    const uint8_t* Data, size_t Len,
    const std::function<void(const TSimLogicHeader&, std::string_view)>& OnPacket,
    TLogicCutStatus& Status) {
  Status = TLogicCutStatus::lcOk;
  size_t pos = 0;
  while (Len - pos >= kSimLogicHeaderSize) {
    TSimLogicHeader h = ReadLogicHeader(Data + pos);
    if (h.nLen < 0 || h.nLen > kSimLogicMaxPayload) {
      Status = TLogicCutStatus::lcBadLength;
      break;
    }
    size_t whole = kSimLogicHeaderSize + static_cast<size_t>(h.nLen);
    if (Len - pos < whole) break;
    OnPacket(h, std::string_view(reinterpret_cast<const char*>(Data + pos + kSimLogicHeaderSize),
                                 static_cast<size_t>(h.nLen)));
    pos += whole;
  }
  return pos;
}

}  // namespace gw
