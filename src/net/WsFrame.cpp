#include "net/WsFrame.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

namespace gw {

size_t MakeFrameHeader(uint8_t* out, uint8_t opCode, bool fin, uint64_t payloadSize) {
  out[0] = static_cast<uint8_t>((fin ? 0x80 : 0x00) | (opCode & 0x0F));
  if (payloadSize <= 125) {
    out[1] = static_cast<uint8_t>(payloadSize);
    return 2;
  }
  if (payloadSize <= 0xFFFF) {
    out[1] = 126;
    out[2] = static_cast<uint8_t>(payloadSize >> 8);
    out[3] = static_cast<uint8_t>(payloadSize);
    return 4;
  }
  out[1] = 127;
  for (int i = 0; i < 8; ++i) out[2 + i] = static_cast<uint8_t>(payloadSize >> (56 - 8 * i));
  return 10;
}

std::string WsAcceptKey(const std::string& key) {
  static const char kGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  std::string text = key + kGuid;
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  unsigned char encoded[32];  // 4 * ceil(20 / 3) = 28 plus the terminator
  int n = EVP_EncodeBlock(encoded, digest, SHA_DIGEST_LENGTH);
  return std::string(reinterpret_cast<const char*>(encoded), static_cast<size_t>(n));
}

}  // namespace gw
