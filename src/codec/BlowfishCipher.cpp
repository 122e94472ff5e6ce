#include "codec/BlowfishCipher.h"

// The Blowfish block function comes from libcrypto; OpenSSL 3 marks its low-level API
// deprecated, but Debian's build keeps it, and no EVP provider offers Blowfish by default.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>

#include "common/AnsiCodePage.h"

namespace gw {

namespace {

constexpr size_t kMaxRawKeyBytes = 56;

void XorBlock(uint8_t* Dst, const uint8_t* A, const uint8_t* B) {
  for (size_t i = 0; i < kBlowfishBlockSize; ++i) Dst[i] = A[i] ^ B[i];
}

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct TBase64Table {
  uint8_t Value[256];
  constexpr TBase64Table() : Value{} {
    for (int i = 0; i < 64; ++i) Value[static_cast<uint8_t>(kBase64Alphabet[i])] = i;
  }
};
constexpr TBase64Table kBase64Values;

}  // namespace

struct TBlowfishCipher::TKeySchedule {
  BF_KEY Key;
};

std::vector<uint8_t> BlowfishKeyFromPassword(std::string_view PasswordUtf8) {
  if (PasswordUtf8.empty()) throw TCodecError(kNoPasswordError);
  std::string units = Utf8ToUtf16Le(PasswordUtf8);
  if (units.size() <= kMaxRawKeyBytes) return std::vector<uint8_t>(units.begin(), units.end());
  std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
  unsigned int len = 0;
  if (EVP_Digest(units.data(), units.size(), digest.data(), &len, EVP_sha1(), nullptr) != 1) {
    throw TCodecError("Codec.Init - SHA-1 unavailable.");
  }
  digest.resize(len);
  return digest;
}

TBlowfishCipher::TBlowfishCipher() : FKey(std::make_unique<TKeySchedule>()) {}

TBlowfishCipher::TBlowfishCipher(std::string_view PasswordUtf8) : TBlowfishCipher() {
  std::vector<uint8_t> key = BlowfishKeyFromPassword(PasswordUtf8);
  BF_set_key(&FKey->Key, static_cast<int>(key.size()), key.data());
  OPENSSL_cleanse(key.data(), key.size());
}

TBlowfishCipher::~TBlowfishCipher() {
  if (FKey) OPENSSL_cleanse(FKey.get(), sizeof(TKeySchedule));
}

TBlowfishCipher::TBlowfishCipher(TBlowfishCipher&&) noexcept = default;
TBlowfishCipher& TBlowfishCipher::operator=(TBlowfishCipher&&) noexcept = default;

TBlowfishCipher TBlowfishCipher::FromKeyBytes(std::span<const uint8_t> Key) {
  if (Key.empty() || Key.size() > kMaxRawKeyBytes) {
    throw TCodecError("Blowfish key must be 1 to 56 bytes");
  }
  TBlowfishCipher cipher;
  BF_set_key(&cipher.FKey->Key, static_cast<int>(Key.size()), Key.data());
  return cipher;
}

// BF_ecb_encrypt reads and writes the two halves big-endian, as the published vectors do.
void TBlowfishCipher::EncryptBlock(const uint8_t* In, uint8_t* Out) const {
  BF_ecb_encrypt(In, Out, &FKey->Key, BF_ENCRYPT);
}

void TBlowfishCipher::DecryptBlock(const uint8_t* In, uint8_t* Out) const {
  BF_ecb_encrypt(In, Out, &FKey->Key, BF_DECRYPT);
}

// CFB with 8-bit feedback for messages shorter than a block: each byte is XORed with the first
// byte of E(register), and the register shifts in the ciphertext byte (both directions encrypt).
void TBlowfishCipher::Cfb8(const uint8_t* IV, const uint8_t* In, uint8_t* Out, size_t N,
                           bool Encrypting) const {
  TBlowfishBlock reg;
  std::memcpy(reg.data(), IV, kBlowfishBlockSize);
  uint8_t e[kBlowfishBlockSize];
  for (size_t i = 0; i < N; ++i) {
    EncryptBlock(reg.data(), e);
    const uint8_t c = Encrypting ? static_cast<uint8_t>(In[i] ^ e[0]) : In[i];
    Out[i] = In[i] ^ e[0];
    std::memmove(reg.data(), reg.data() + 1, kBlowfishBlockSize - 1);
    reg[kBlowfishBlockSize - 1] = c;
  }
}

std::vector<uint8_t> TBlowfishCipher::Encrypt(std::span<const uint8_t> Plain) const {
  if (Plain.empty()) return {};
  TBlowfishBlock iv;
  if (RAND_bytes(iv.data(), static_cast<int>(iv.size())) != 1) {
    throw TCodecError("Codec - random generator failed");
  }
  return EncryptWithIV(Plain, iv);
}

std::vector<uint8_t> TBlowfishCipher::EncryptWithIV(std::span<const uint8_t> Plain,
                                                    const TBlowfishBlock& IV) const {
  const size_t n = Plain.size();
  if (n == 0) return {};
  std::vector<uint8_t> out(kBlowfishBlockSize + n);
  std::memcpy(out.data(), IV.data(), kBlowfishBlockSize);
  uint8_t* dst = out.data() + kBlowfishBlockSize;
  const uint8_t* src = Plain.data();

  if (n < kBlowfishBlockSize) {
    Cfb8(IV.data(), src, dst, n, true);
    return out;
  }

  const size_t m = n / kBlowfishBlockSize;
  const size_t k = n % kBlowfishBlockSize;
  uint8_t chain[kBlowfishBlockSize];
  std::memcpy(chain, IV.data(), kBlowfishBlockSize);
  uint8_t x[kBlowfishBlockSize];
  for (size_t i = 0; i + 1 < m; ++i) {
    XorBlock(x, src, chain);
    EncryptBlock(x, dst);
    std::memcpy(chain, dst, kBlowfishBlockSize);
    src += kBlowfishBlockSize;
    dst += kBlowfishBlockSize;
  }
  XorBlock(x, src, chain);
  if (k == 0) {
    EncryptBlock(x, dst);
    return out;
  }
  // Tail stealing: Em = E(Pm ^ Cm-1); X = tail + Em[k..7]; emit E(X ^ Cm-1), then Em[0..k-1].
  uint8_t em[kBlowfishBlockSize];
  EncryptBlock(x, em);
  std::memcpy(x, src + kBlowfishBlockSize, k);
  std::memcpy(x + k, em + k, kBlowfishBlockSize - k);
  XorBlock(x, x, chain);
  EncryptBlock(x, dst);
  std::memcpy(dst + kBlowfishBlockSize, em, k);
  return out;
}

std::vector<uint8_t> TBlowfishCipher::Decrypt(std::span<const uint8_t> Cipher) const {
  if (Cipher.size() <= kBlowfishBlockSize) return {};
  const size_t n = Cipher.size() - kBlowfishBlockSize;
  std::vector<uint8_t> out(n);
  const uint8_t* iv = Cipher.data();
  const uint8_t* src = Cipher.data() + kBlowfishBlockSize;
  uint8_t* dst = out.data();
  uint8_t d[kBlowfishBlockSize];

  if (n < kBlowfishBlockSize) {
    Cfb8(iv, src, dst, n, false);
    return out;
  }

  const size_t m = n / kBlowfishBlockSize;
  const size_t k = n % kBlowfishBlockSize;
  const uint8_t* chain = iv;
  for (size_t i = 0; i + 1 < m; ++i) {
    DecryptBlock(src, d);
    XorBlock(dst, d, chain);
    chain = src;
    src += kBlowfishBlockSize;
    dst += kBlowfishBlockSize;
  }
  if (k == 0) {
    DecryptBlock(src, d);
    XorBlock(dst, d, chain);
    return out;
  }
  // src is Y, followed by the first k bytes of Em.
  uint8_t x[kBlowfishBlockSize];
  DecryptBlock(src, d);
  XorBlock(x, d, chain);
  uint8_t em[kBlowfishBlockSize];
  std::memcpy(em, src + kBlowfishBlockSize, k);
  std::memcpy(em + k, x + k, kBlowfishBlockSize - k);
  DecryptBlock(em, d);
  XorBlock(dst, d, chain);
  std::memcpy(dst + kBlowfishBlockSize, x, k);
  return out;
}

std::string Base64Encode(std::span<const uint8_t> Bytes) {
  std::string out;
  out.reserve((Bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= Bytes.size(); i += 3) {
    uint32_t v = (Bytes[i] << 16) | (Bytes[i + 1] << 8) | Bytes[i + 2];
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += kBase64Alphabet[(v >> 6) & 63];
    out += kBase64Alphabet[v & 63];
  }
  const size_t rest = Bytes.size() - i;
  if (rest > 0) {
    uint32_t v = Bytes[i] << 16;
    if (rest == 2) v |= Bytes[i + 1] << 8;
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += rest == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::vector<uint8_t> Base64Decode(std::string_view Text) {
  std::vector<uint8_t> out;
  out.reserve(Text.size() / 4 * 3);
  for (size_t g = 0; g + 4 <= Text.size(); g += 4) {
    uint32_t v = 0;
    size_t chars = 0;
    while (chars < 4 && Text[g + chars] != '=') {
      v |= static_cast<uint32_t>(kBase64Values.Value[static_cast<uint8_t>(Text[g + chars])])
           << (18 - 6 * chars);
      ++chars;
    }
    // Two characters carry one byte, three carry two, four carry three.
    if (chars >= 2) out.push_back(static_cast<uint8_t>(v >> 16));
    if (chars >= 3) out.push_back(static_cast<uint8_t>(v >> 8));
    if (chars == 4) out.push_back(static_cast<uint8_t>(v));
  }
  return out;
}

bool IsBase64Text(std::string_view Text) {
  if (Text.empty() || Text.size() % 4 != 0) return false;
  for (size_t i = 0; i < Text.size(); ++i) {
    const char c = Text[i];
    if (c == '=') {
      // Padding: only in the last two places, and nothing but padding after it.
      if (i + 2 < Text.size() || (i + 2 == Text.size() && Text.back() != '=')) return false;
    } else if (kBase64Values.Value[static_cast<uint8_t>(c)] == 0 && c != 'A') {
      return false;
    }
  }
  return true;
}

}  // namespace gw
