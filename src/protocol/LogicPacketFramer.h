// The logic link's packet layout and its framer: a pure function that finds the next whole
// packet at the head of the bytes received from the logic server (no socket, no state), so
// the cutting can be tested and fuzzed apart from the link.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/PeerLimits.h"

namespace gw {

// Header of every packet between gateway and logic server (little-endian, packed).
#pragma pack(push, 1)
struct TServerMessageHeader {
  uint32_t dwMagic;        // always kServerMessageMagic
  int32_t nSocket;         // session handle; for GM_LOGIC_GATE_DBCONFIG the table type
  uint16_t wSocketIndex;   // low 16 bits of the session's user index on the server
  uint16_t nIdent;         // what the packet is
  int32_t nUserListIndex;  // the session's user index on the server
  int32_t nLen;            // payload bytes after the header
  uint8_t nMsgType;        // client message type byte for client data, else 0
};
#pragma pack(pop)
static_assert(sizeof(TServerMessageHeader) == 21);
static_assert(offsetof(TServerMessageHeader, nSocket) == 4);
static_assert(offsetof(TServerMessageHeader, nIdent) == 10);
static_assert(offsetof(TServerMessageHeader, nLen) == 16);
static_assert(offsetof(TServerMessageHeader, nMsgType) == 20);

inline constexpr uint32_t kServerMessageMagic = 0xAABBAADD;
inline constexpr int32_t kServerMessageHeaderSize = sizeof(TServerMessageHeader);
// Largest payload accepted from the server. A length beyond it (or a negative one)
// cannot be a real packet: the stream is out of step and the link reconnects.
inline constexpr int32_t kMaxServerPacketLen = limits::kMaxServerPacketLen;

enum class TLogicCut : uint8_t {
  lcPacket,     // a whole packet of Size bytes starts at the head
  lcNeedMore,   // the head packet is not complete yet
  lcBadLength,  // the head header announces a length out of range
};

struct TLogicPacketCut {
  TLogicCut Status = TLogicCut::lcNeedMore;
  int32_t Size = 0;               // header and payload, for lcPacket
  TServerMessageHeader Header{};  // the head header, for lcPacket and lcBadLength
};

// Looks at the Size bytes at Data: whether they start with a whole packet. Only the
// length decides where a packet ends; the magic is not looked at here.
TLogicPacketCut CutLogicPacket(const uint8_t* Data, int64_t Size);

}  // namespace gw
