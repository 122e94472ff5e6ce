// The gateway's text encodings and cipher routines: six-bit text (base64 bit layout with the
// gateway's own alphabet), message text (UTF-8 text as six-bit text), the password-based
// Blowfish routines with base64 text, the stored-secret decoders and the pass-word hand-over to
// the process-wide message coder.
//
// Every routine here except ApplyNetPassWord is a pure function over its arguments and the
// read-only tables and may run on any thread at once. ApplyNetPassWord re-keys the process-wide
// coder and runs on the user-interface thread only.
//
// Decoders take text from the network and from files. None of them reads beyond its input or
// writes beyond its output, whatever the input holds:
//  - a carriage return or line feed at the start of a four-character group is skipped;
//  - a trailing incomplete group (one to three characters) is ignored;
//  - any character that is not in the alphabet (seven-bit or not) decodes as 255, so it
//    contributes the bits the decoding masks keep of 255; "=" in the third or fourth place ends
//    its group;
//  - a decoder writing into a caller's buffer stops when the buffer is full; the bytes that do
//    not fit are dropped.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/BlowfishCipher.h"

namespace gw {

// Values 0..63 in order, then the padding mark "=".
inline constexpr char kSixBitAlphabet[] =
    "<>ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz~[]&^|?@{}=";
inline constexpr uint8_t kSixBitPadding = 64;   // reverse-table value of "="
inline constexpr uint8_t kSixBitNoValue = 255;  // reverse-table value of every other character

// The reverse table entry of a character code (0..255); codes of 128 and above give 255.
uint8_t SixBitValue(uint8_t Code);

// Characters EncodeSixBit writes for Len bytes: (Len + 2) div 3 * 4.
constexpr size_t SixBitEncodedLength(size_t Len) { return (Len + 2) / 3 * 4; }
// Largest byte count a text of TextLen characters decodes to: TextLen div 4 * 3.
constexpr size_t SixBitDecodedMaxLength(size_t TextLen) { return TextLen / 4 * 3; }

// Six-bit text of the bytes. A negative Len or a null Buf gives an empty text.
std::string EncodeSixBit(const void* Buf, int32_t Len);
std::string EncodeSixBit(std::span<const uint8_t> Bytes);

// Decodes into Buf and returns the number of bytes written (at most BufSize; 0 for a null Buf
// or a BufSize below 1). A buffer of SixBitDecodedMaxLength(Text.size()) bytes never truncates.
int32_t DecodeSixBitTo(std::string_view Text, void* Buf, int32_t BufSize);

// A decoded buffer: Buffer.size() is the buffer size, Text.size() div 4 * 3 + 1; the first Count
// bytes are the decoded ones and at least one 0 byte follows them.
struct TSixBitBuffer {
  std::vector<uint8_t> Buffer;
  int32_t Count = 0;

  std::string_view View() const {
    return {reinterpret_cast<const char*>(Buffer.data()), static_cast<size_t>(Count)};
  }
};
TSixBitBuffer DecodeSixBitAlloc(std::string_view Text);

// UTF-8 text to six-bit text of its bytes, and back; empty stays empty. DecodeMsgText reads the
// decoded bytes as UTF-8: each byte that does not start a well-formed sequence (a peer may send
// anything) becomes U+FFFD, so the result is always valid UTF-8.
std::string EncodeMsgText(std::string_view TextUtf8);
std::string DecodeMsgText(std::string_view Text);

// The password-based Blowfish routines. Text arguments and results are UTF-8; what is
// encrypted is the text's UTF-16LE bytes (an odd last byte of a decryption is dropped, code
// units that are not valid UTF-16 read back as U+FFFD). Cipher texts are standard base64.
// All throw TCodecError(kNoPasswordError) for an empty password; the encrypting ones also throw
// TCodecError when the random generator fails; BlowfishDecryptBuffer raises as said below.
std::string BlowfishEncryptString(std::string_view Plaintext, std::string_view Password);
std::string BlowfishDecryptString(std::string_view CipherText, std::string_view Password);
// The same with a cipher keyed beforehand, for keys used over and over (a key schedule costs
// far more than the encryption of a short text).
std::string BlowfishEncryptString(std::string_view Plaintext, const TBlowfishCipher& Cipher);
std::string BlowfishDecryptString(std::string_view CipherText, const TBlowfishCipher& Cipher);
// Raw bytes in, base64 out (the counterpart of BlowfishDecryptBuffer).
std::string BlowfishEncryptBuffer(std::span<const uint8_t> Data, std::string_view Password);
// Decodes the base64, decrypts all of it and copies its first Count bytes to Buffer. Throws
// TCodecError(kStreamReadError) when the plaintext is shorter than Count bytes (Buffer is then
// left untouched), Count is negative, or Buffer is null while Count is positive.
void BlowfishDecryptBuffer(std::string_view CipherText, void* Buffer, int32_t Count,
                           std::string_view Password);

// Stored secrets: key texts, About texts and NetPassWord are kept enciphered under the
// program's first fixed pass phrase; the launch parameter block under the second.
std::string DecodeSource(std::string_view Text);
std::string EncodeSource(std::string_view PlainText);  // the inverse, for operators' tools
// Throws TCodecError(kStreamReadError) when Text decrypts to fewer than Count bytes.
void DecodeSourceData(std::string_view Text, void* Buffer, int32_t Count);
std::string EncodeSourceData(std::span<const uint8_t> Data);

// Deciphers NetPassWord (the enciphered form kept in the configuration) with DecodeSource and,
// when that gives a non-empty text, re-keys the process-wide message coder with it in the ANSI
// code page. Returns whether the coder took the new pass word. User-interface thread only.
bool ApplyNetPassWord(std::string_view NetPassWord);

}  // namespace gw
