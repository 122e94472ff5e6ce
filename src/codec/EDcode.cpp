#include "codec/EDcode.h"

#include <cstring>

#include "codec/MessageCoder.h"
#include "codec/StoredSecrets.h"
#include "common/AnsiCodePage.h"

namespace gw {

namespace {

struct TSixBitReverse {
  uint8_t Value[256];
  constexpr TSixBitReverse() : Value{} {
    for (int i = 0; i < 256; ++i) Value[i] = kSixBitNoValue;
    for (int i = 0; i <= 64; ++i) Value[static_cast<uint8_t>(kSixBitAlphabet[i])] = i;
  }
};
constexpr TSixBitReverse kSixBitReverse;

// Decodes into Out (capacity Cap) and returns the count written; see the header for the rules.
size_t DecodeSixBit(std::string_view Text, uint8_t* Out, size_t Cap) {
  size_t written = 0;
  size_t i = 0;
  auto put = [&](uint8_t b) {
    if (written < Cap) Out[written++] = b;
  };
  while (i < Text.size() && written < Cap) {
    if (Text[i] == '\r' || Text[i] == '\n') {
      ++i;
      continue;
    }
    if (Text.size() - i < 4) break;  // an incomplete final group is ignored
    const uint8_t v1 = kSixBitReverse.Value[static_cast<uint8_t>(Text[i])];
    const uint8_t v2 = kSixBitReverse.Value[static_cast<uint8_t>(Text[i + 1])];
    const uint8_t v3 = kSixBitReverse.Value[static_cast<uint8_t>(Text[i + 2])];
    const uint8_t v4 = kSixBitReverse.Value[static_cast<uint8_t>(Text[i + 3])];
    i += 4;
    put(static_cast<uint8_t>(((v1 & 0x3F) << 2) | ((v2 & 0x30) >> 4)));
    if (v3 == kSixBitPadding) continue;
    put(static_cast<uint8_t>(((v2 & 0x0F) << 4) | ((v3 & 0x3C) >> 2)));
    if (v4 == kSixBitPadding) continue;
    put(static_cast<uint8_t>(((v3 & 0x03) << 6) | (v4 & 0x3F)));
  }
  return written;
}

std::span<const uint8_t> Bytes(std::string_view Text) {
  return {reinterpret_cast<const uint8_t*>(Text.data()), Text.size()};
}

// Decrypted UTF-16LE bytes back to UTF-8; an odd last byte is dropped.
std::string Utf16BytesToText(const std::vector<uint8_t>& Plain) {
  const size_t even = Plain.size() & ~static_cast<size_t>(1);
  return Utf16LeToUtf8(std::string_view(reinterpret_cast<const char*>(Plain.data()), even));
}

// Length of the well-formed UTF-8 sequence at the start of Text (RFC 3629: no overlong forms,
// no surrogates, nothing above U+10FFFF), or 0 when it is not one.
size_t Utf8SequenceLength(std::string_view Text) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(Text[i]); };
  const uint8_t b0 = byte(0);
  if (b0 < 0x80) return 1;
  size_t n;
  uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (Text.size() < n || byte(1) < lo || byte(1) > hi) return 0;
  for (size_t i = 2; i < n; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  return n;
}

// The bytes read as UTF-8: each byte that does not start a well-formed sequence becomes U+FFFD.
std::string ReadAsUtf8(std::string_view Bytes) {
  std::string out;
  out.reserve(Bytes.size());
  while (!Bytes.empty()) {
    const size_t n = Utf8SequenceLength(Bytes);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      Bytes.remove_prefix(1);
    } else {
      out.append(Bytes.substr(0, n));
      Bytes.remove_prefix(n);
    }
  }
  return out;
}

}  // namespace

uint8_t SixBitValue(uint8_t Code) { return kSixBitReverse.Value[Code]; }

std::string EncodeSixBit(const void* Buf, int32_t Len) {
  if (Buf == nullptr || Len <= 0) return {};
  return EncodeSixBit(
      std::span<const uint8_t>(static_cast<const uint8_t*>(Buf), static_cast<size_t>(Len)));
}

std::string EncodeSixBit(std::span<const uint8_t> Data) {
  std::string out(SixBitEncodedLength(Data.size()), '\0');
  char* p = out.data();
  size_t i = 0;
  for (; i + 3 <= Data.size(); i += 3) {
    const uint8_t a = Data[i], b = Data[i + 1], c = Data[i + 2];
    *p++ = kSixBitAlphabet[a >> 2];
    *p++ = kSixBitAlphabet[((a & 3) << 4) | (b >> 4)];
    *p++ = kSixBitAlphabet[((b & 15) << 2) | (c >> 6)];
    *p++ = kSixBitAlphabet[c & 63];
  }
  const size_t rest = Data.size() - i;
  if (rest > 0) {
    const uint8_t a = Data[i];
    const uint8_t b = rest == 2 ? Data[i + 1] : 0;
    *p++ = kSixBitAlphabet[a >> 2];
    *p++ = kSixBitAlphabet[((a & 3) << 4) | (b >> 4)];
    *p++ = rest == 2 ? kSixBitAlphabet[(b & 15) << 2] : '=';
    *p++ = '=';
  }
  return out;
}

int32_t DecodeSixBitTo(std::string_view Text, void* Buf, int32_t BufSize) {
  if (Buf == nullptr || BufSize <= 0) return 0;
  return static_cast<int32_t>(
      DecodeSixBit(Text, static_cast<uint8_t*>(Buf), static_cast<size_t>(BufSize)));
}

TSixBitBuffer DecodeSixBitAlloc(std::string_view Text) {
  TSixBitBuffer result;
  result.Buffer.assign(SixBitDecodedMaxLength(Text.size()) + 1, 0);
  result.Count =
      static_cast<int32_t>(DecodeSixBit(Text, result.Buffer.data(), result.Buffer.size() - 1));
  return result;
}

std::string EncodeMsgText(std::string_view TextUtf8) {
  if (TextUtf8.empty()) return {};
  return EncodeSixBit(Bytes(TextUtf8));
}

std::string DecodeMsgText(std::string_view Text) {
  if (Text.empty()) return {};
  return ReadAsUtf8(DecodeSixBitAlloc(Text).View());
}

std::string BlowfishEncryptString(std::string_view Plaintext, const TBlowfishCipher& Cipher) {
  const std::string units = Utf8ToUtf16Le(Plaintext);
  return Base64Encode(Cipher.Encrypt(Bytes(units)));
}

std::string BlowfishDecryptString(std::string_view CipherText, const TBlowfishCipher& Cipher) {
  return Utf16BytesToText(Cipher.Decrypt(Base64Decode(CipherText)));
}

std::string BlowfishEncryptString(std::string_view Plaintext, std::string_view Password) {
  return BlowfishEncryptString(Plaintext, TBlowfishCipher(Password));
}

std::string BlowfishDecryptString(std::string_view CipherText, std::string_view Password) {
  return BlowfishDecryptString(CipherText, TBlowfishCipher(Password));
}

std::string BlowfishEncryptBuffer(std::span<const uint8_t> Data, std::string_view Password) {
  TBlowfishCipher cipher(Password);
  return Base64Encode(cipher.Encrypt(Data));
}

void BlowfishDecryptBuffer(std::string_view CipherText, void* Buffer, int32_t Count,
                           std::string_view Password) {
  TBlowfishCipher cipher(Password);
  const std::vector<uint8_t> plain = cipher.Decrypt(Base64Decode(CipherText));
  if (Count < 0 || plain.size() < static_cast<size_t>(Count) || (Buffer == nullptr && Count > 0)) {
    throw TCodecError(kStreamReadError);
  }
  if (Count > 0) std::memcpy(Buffer, plain.data(), static_cast<size_t>(Count));
}

std::string DecodeSource(std::string_view Text) {
  return BlowfishDecryptString(Text, SourcePassPhrase());
}

std::string EncodeSource(std::string_view PlainText) {
  return BlowfishEncryptString(PlainText, SourcePassPhrase());
}

void DecodeSourceData(std::string_view Text, void* Buffer, int32_t Count) {
  BlowfishDecryptBuffer(Text, Buffer, Count, SourceDataPassPhrase());
}

std::string EncodeSourceData(std::span<const uint8_t> Data) {
  return BlowfishEncryptBuffer(Data, SourceDataPassPhrase());
}

bool ApplyNetPassWord(std::string_view NetPassWord) {
  // The stored form is base64, so its ANSI and UTF-8 forms are the same bytes.
  const std::string plain = DecodeSource(NetPassWord);
  if (plain.empty()) return false;
  MessageCoder().SetPassWord(Utf8ToAnsi(plain));
  return true;
}

}  // namespace gw
