#include "protocol/LogicPacketFramer.h"

#include <cstring>

namespace gw {

TLogicPacketCut CutLogicPacket(const uint8_t* Data, int64_t Size) {
  TLogicPacketCut cut;
  if (Data == nullptr || Size < kServerMessageHeaderSize) return cut;
  std::memcpy(&cut.Header, Data, sizeof(cut.Header));
  if (cut.Header.nLen < 0 || cut.Header.nLen > kMaxServerPacketLen) {
    cut.Status = TLogicCut::lcBadLength;
    return cut;
  }
  const int64_t packetSize = kServerMessageHeaderSize + int64_t{cut.Header.nLen};
  if (Size < packetSize) return cut;
  cut.Status = TLogicCut::lcPacket;
  cut.Size = static_cast<int32_t>(packetSize);
  return cut;
}

}  // namespace gw
