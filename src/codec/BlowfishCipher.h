// The password-based Blowfish cipher beneath the gateway's Blowfish routines: Blowfish in CBC
// mode with a fresh random 8-byte IV sent in clear in front of the data, CFB-8 for messages
// shorter than one block, a tail-stealing step for a partial last block and never any padding,
// so n plaintext bytes become 8 + n ciphertext bytes (none at all for n = 0). Its text form is
// standard base64 without line breaks.
//
// A TBlowfishCipher is immutable after construction: every const operation is safe to call from
// any number of threads at once. The free functions are safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace gw {

// Raised by the codec where the system itself refuses: an empty password ("Codec.Init - No
// password."), a stored block that decrypts to fewer bytes than asked for ("Stream read error").
class TCodecError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr char kNoPasswordError[] = "Codec.Init - No password.";
inline constexpr char kStreamReadError[] = "Stream read error";

inline constexpr size_t kBlowfishBlockSize = 8;
using TBlowfishBlock = std::array<uint8_t, kBlowfishBlockSize>;

// Key bytes for a password given as UTF-8 text: its UTF-16LE bytes when they are 1 to 56 bytes
// long (1 to 28 code units), otherwise their SHA-1 digest (20 bytes). Throws TCodecError with
// kNoPasswordError for an empty password.
std::vector<uint8_t> BlowfishKeyFromPassword(std::string_view PasswordUtf8);

class TBlowfishCipher {
 public:
  // Keys the cipher from a password (see BlowfishKeyFromPassword). Throws TCodecError.
  explicit TBlowfishCipher(std::string_view PasswordUtf8);
  ~TBlowfishCipher();
  TBlowfishCipher(TBlowfishCipher&&) noexcept;
  TBlowfishCipher& operator=(TBlowfishCipher&&) noexcept;

  // Keys the cipher with raw Blowfish key bytes (1 to 56); throws TCodecError otherwise.
  static TBlowfishCipher FromKeyBytes(std::span<const uint8_t> Key);

  // One Blowfish block, halves read and written big-endian (the published test vectors).
  void EncryptBlock(const uint8_t* In, uint8_t* Out) const;
  void DecryptBlock(const uint8_t* In, uint8_t* Out) const;

  // IV (fresh from the process's random generator) followed by the encrypted data; empty for an
  // empty plaintext.
  std::vector<uint8_t> Encrypt(std::span<const uint8_t> Plain) const;
  // The same with a caller-chosen IV. Only for tests and known-answer vectors: reusing an IV
  // leaks the equality of plaintext prefixes.
  std::vector<uint8_t> EncryptWithIV(std::span<const uint8_t> Plain,
                                     const TBlowfishBlock& IV) const;
  // The mirror of Encrypt. Input of 8 bytes or fewer gives an empty result. Never fails: a wrong
  // key or foreign data just gives other bytes.
  std::vector<uint8_t> Decrypt(std::span<const uint8_t> Cipher) const;

 private:
  struct TKeySchedule;
  TBlowfishCipher();
  void Cfb8(const uint8_t* IV, const uint8_t* In, uint8_t* Out, size_t N, bool Encrypting) const;
  std::unique_ptr<TKeySchedule> FKey;
};

// Standard base64 (RFC 4648) without line breaks.
std::string Base64Encode(std::span<const uint8_t> Bytes);
// Lenient decoding in groups of four characters: a trailing incomplete group is ignored, "="
// ends its group, and any other character outside the alphabet counts as zero bits. Never
// reads beyond the text; the result holds at most Text.size() / 4 * 3 bytes.
std::vector<uint8_t> Base64Decode(std::string_view Text);
// Whether Text is strict standard base64: non-empty, whole groups of four, "=" only as the
// padding of the last group.
bool IsBase64Text(std::string_view Text);

}  // namespace gw
