#include "common/LogText.h"

#include <algorithm>
#include <cstdint>

namespace gw {

namespace {

void Escape(std::string& out, std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : bytes) {
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0x0F];
  }
}

// The length of the valid UTF-8 sequence at `at` (1 to 4), 0 when it is not one: overlong
// forms, surrogates and code points past U+10FFFF are invalid too.
size_t Utf8Length(std::string_view text, size_t at, uint32_t& code) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = b(0);
  size_t len;
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (at + len > text.size()) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
    code = code << 6 | (b(i) & 0x3F);
  }
  if ((len == 3 && code < 0x800) || (len == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
      (code >= 0xD800 && code <= 0xDFFF)) {
    return 0;
  }
  return len;
}

// Characters a terminal or an editor acts on instead of showing.
bool Unsafe(uint32_t code) {
  return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x2028 || code == 0x2029 ||
         (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

std::string LogText(std::string_view Text, size_t MaxBytes) {
  std::string out;
  out.reserve(std::min(Text.size(), MaxBytes) + 16);
  size_t at = 0;
  while (at < Text.size()) {
    uint32_t code = 0;
    size_t len = Utf8Length(Text, at, code);
    const size_t take = len == 0 ? 1 : len;
    if (at + take > MaxBytes) break;
    if (len == 0 || Unsafe(code)) {
      Escape(out, Text.substr(at, take));
    } else {
      out.append(Text.data() + at, take);
    }
    at += take;
  }
  if (at < Text.size()) {
    CountLimitBreach(TLimitBreach::lbLoggedTextCut);
    out += "\xE2\x80\xA6(" + std::to_string(Text.size()) + " bytes)";
  }
  return out;
}

}  // namespace gw
