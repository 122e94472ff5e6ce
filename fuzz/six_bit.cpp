// Six-bit text decoding (client messages, server packets): the decoders stay inside their
// input and output whatever the text holds, a buffer of the promised size never truncates,
// message text always decodes to valid UTF-8, and encoding then decoding gives the bytes back.
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "codec/EDcode.h"

namespace {

bool ValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<uint8_t>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  gw::fuzz::TFuzzInput in(data, size);
  int32_t cap = in.Byte();
  std::string text(in.Rest());
  std::vector<uint8_t> exact(static_cast<size_t>(cap));
  int32_t n = gw::DecodeSixBitTo(text, exact.empty() ? nullptr : exact.data(), cap);
  FUZZ_CHECK(n >= 0 && n <= cap);

  std::vector<uint8_t> full(gw::SixBitDecodedMaxLength(text.size()));
  int32_t all = gw::DecodeSixBitTo(text, full.empty() ? nullptr : full.data(),
                                   static_cast<int32_t>(full.size()));
  FUZZ_CHECK(all >= 0 && static_cast<size_t>(all) <= full.size());
  FUZZ_CHECK(n == std::min(all, cap));

  gw::TSixBitBuffer alloc = gw::DecodeSixBitAlloc(text);
  FUZZ_CHECK(alloc.View().size() == static_cast<size_t>(all));
  FUZZ_CHECK(alloc.View() == std::string_view(reinterpret_cast<const char*>(full.data()),
                                              static_cast<size_t>(all)));

  FUZZ_CHECK(ValidUtf8(gw::DecodeMsgText(text)));

  std::string encoded = gw::EncodeSixBit(data, static_cast<int32_t>(size));
  FUZZ_CHECK(encoded.size() == gw::SixBitEncodedLength(size));
  gw::TSixBitBuffer back = gw::DecodeSixBitAlloc(encoded);
  FUZZ_CHECK(back.View() == std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
