// Base64 and the password-based Blowfish decryption (stored secrets, the settings' pass
// word, the handshake's texts): decoding and decrypting any text stays inside its input and
// output, a short plaintext is refused with the codec's error and nothing else, and what is
// encrypted decrypts to the same bytes.
#include <cstring>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "codec/BlowfishCipher.h"
#include "codec/EDcode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const gw::TBlowfishCipher cipher("fuzz");
  gw::fuzz::TFuzzInput in(data, size);
  int32_t count = in.Byte();
  std::string_view text = in.Rest();

  std::vector<uint8_t> decoded = gw::Base64Decode(text);
  FUZZ_CHECK(decoded.size() <= text.size() / 4 * 3);
  // Strict text may still carry non-zero bits in its last group's padding, which the
  // encoder never writes: the bytes, not the text, must come back.
  if (gw::IsBase64Text(text)) FUZZ_CHECK(gw::Base64Decode(gw::Base64Encode(decoded)) == decoded);

  std::vector<uint8_t> plain = cipher.Decrypt(decoded);
  FUZZ_CHECK(plain.size() <= decoded.size());
  (void)gw::BlowfishDecryptString(text, "fuzz");

  std::vector<uint8_t> out(static_cast<size_t>(count));
  try {
    gw::BlowfishDecryptBuffer(text, out.empty() ? nullptr : out.data(), count, "fuzz");
  } catch (const gw::TCodecError&) {
    // a plaintext shorter than asked for: refused, as promised
  }
  try {
    gw::DecodeSourceData(text, out.empty() ? nullptr : out.data(), count);
  } catch (const gw::TCodecError&) {
  }

  std::vector<uint8_t> bytes(data, data + size);
  FUZZ_CHECK(gw::Base64Decode(gw::Base64Encode(bytes)) == bytes);
  FUZZ_CHECK(cipher.Decrypt(cipher.Encrypt(bytes)) == bytes);
  return 0;
}
