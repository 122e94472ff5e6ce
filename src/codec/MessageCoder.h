// The message coder: encodes 32-byte TDefaultMessage records as 44 characters of six-bit text
// after AES-128 (two independent 16-byte blocks, no chaining), and 12-byte TDefaultMessage2
// records as 16 characters without encryption. The program keeps one process-wide coder,
// keyed with the default pass word at start-up and re-keyed from NetPassWord.
//
// Threads: the encode and decode operations only read the key schedules and may run on several
// threads at once; SetPassWord must not run concurrently with anything else on the same coder
// (the process-wide coder is re-keyed on the user-interface thread during a configuration load).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "codec/DefaultMessage.h"

namespace gw {

#pragma pack(push, 1)
struct TDefaultMessage2 {
  int32_t Recog;
  uint16_t Ident;
  uint16_t Param;
  uint16_t Tag;
  uint16_t Series;
};
#pragma pack(pop)
static_assert(sizeof(TDefaultMessage2) == 12);

// Text lengths of the encoded records.
inline constexpr size_t kEncodedMessageLength = 44;
inline constexpr size_t kEncodedMessage2Length = 16;

class TMessageCoder {
 public:
  // Unkeyed: FPassWord is empty and the schedules belong to the all-zero key until the first
  // SetPassWord.
  TMessageCoder();
  ~TMessageCoder();
  TMessageCoder(const TMessageCoder&) = delete;
  TMessageCoder& operator=(const TMessageCoder&) = delete;

  // Re-keys from the first 16 bytes of Value (zero-filled up to 16); does nothing when Value
  // equals the current pass word.
  void SetPassWord(std::string_view Value);
  const std::string& PassWord() const { return FPassWord; }
  // How many times the key schedules were computed (the constructor counts once).
  uint32_t KeyScheduleCount() const { return FKeyScheduleCount; }

  std::string EncodeMessage(const TDefaultMessage& AMessage) const;
  // Decodes the first 44 characters' worth of bytes into a zero-filled record; a shorter text
  // leaves the missing bytes zero before decryption, a longer one is cut at 32 bytes.
  TDefaultMessage DecodeMessage(std::string_view Value) const;

  std::string EncodeMessage2(const TDefaultMessage2& AMessage) const;
  // Same rules as DecodeMessage, without encryption, for 12 bytes.
  TDefaultMessage2 DecodeMessage2(std::string_view Value) const;

 private:
  struct TAESExpandedKey128;  // one keyed AES-128 context (its key schedule)

  void ComputeKeySchedules();

  std::string FPassWord;
  std::unique_ptr<TAESExpandedKey128> FECKey128;  // encryption schedule
  std::unique_ptr<TAESExpandedKey128> FDCKey128;  // decryption schedule
  uint32_t FKeyScheduleCount = 0;
};

// The process-wide coder, keyed with the program's default pass word on first use.
TMessageCoder& MessageCoder();

}  // namespace gw
