// The 32-byte default message: the header of every mtDefault client message and
// the payload of the logic server's speed-time message. Plain data, any thread.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace gw {

static_assert(std::endian::native == std::endian::little,
              "the wire records below are laid out for a little-endian host");

#pragma pack(push, 1)
struct TDefaultMessage {
  uint16_t Ident = 0;
  uint16_t Padding = 0;  // sent as zero
  int32_t Recog = 0;
  int32_t Param = 0;
  int32_t Tag = 0;
  int32_t Series = 0;
  int32_t nSessionID = 0;
  int32_t nToken = 0;
  uint32_t dwCRC = 0;
};
#pragma pack(pop)

static_assert(sizeof(TDefaultMessage) == 32);
static_assert(offsetof(TDefaultMessage, Ident) == 0);
static_assert(offsetof(TDefaultMessage, Padding) == 2);
static_assert(offsetof(TDefaultMessage, Recog) == 4);
static_assert(offsetof(TDefaultMessage, Param) == 8);
static_assert(offsetof(TDefaultMessage, Tag) == 12);
static_assert(offsetof(TDefaultMessage, Series) == 16);
static_assert(offsetof(TDefaultMessage, nSessionID) == 20);
static_assert(offsetof(TDefaultMessage, nToken) == 24);
static_assert(offsetof(TDefaultMessage, dwCRC) == 28);

inline constexpr size_t kDefaultMessageSize = sizeof(TDefaultMessage);

// Reads / writes a default message from / to unaligned bytes (32 of them).
TDefaultMessage ReadDefaultMessage(const uint8_t* bytes);
void WriteDefaultMessage(const TDefaultMessage& msg, uint8_t* bytes);

}  // namespace gw
