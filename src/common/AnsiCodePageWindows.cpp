#include "common/AnsiCodePage.h"

#include <windows.h>

#include <string>

namespace gw {

namespace {

constexpr UINT kAnsiCodePage = 936;  // GBK: the gateway's texts are Chinese, whatever the machine's
constexpr char32_t kReplacement = 0xFFFD;

// Length of the UTF-8 sequence at p when it is well formed, otherwise 1, so one
// unconvertible character becomes one replacement.
size_t Utf8UnitLength(const unsigned char* p, size_t left) {
  size_t n = p[0] >= 0xF0 && p[0] <= 0xF4 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC2 ? 2 : 1;
  if (n > left) return 1;
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 1;
  }
  return n;
}

// Decodes one UTF-8 character at p. Returns the bytes it takes; `valid` is false for a
// malformed, overlong or surrogate sequence, which then takes Utf8UnitLength bytes.
size_t DecodeUtf8(const unsigned char* p, size_t left, char32_t& code, bool& valid) {
  const size_t n = Utf8UnitLength(p, left);
  valid = true;
  if (n == 1) {
    code = p[0];
    valid = p[0] < 0x80;
    return 1;
  }
  code = p[0] & (0xFF >> (n + 1));
  for (size_t i = 1; i < n; ++i) code = code << 6 | (p[i] & 0x3F);
  static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[n] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) valid = false;
  return n;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// UTF-16 code units to UTF-8; a surrogate without its partner becomes U+FFFD.
void AppendUtf16(std::string& out, const wchar_t* units, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    char32_t c = static_cast<char16_t>(units[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(units[++i]) - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    AppendUtf8(out, c);
  }
}

// Appends the code page 936 bytes of `wide`; false (and nothing appended) when a character
// has no code in it. Without best-fit mapping: a character GBK lacks is not made a look-alike.
bool AppendAnsi(std::string& out, const std::wstring& wide) {
  if (wide.empty()) return true;
  BOOL usedDefault = FALSE;
  const int size =
      ::WideCharToMultiByte(kAnsiCodePage, WC_NO_BEST_FIT_CHARS, wide.data(),
                            static_cast<int>(wide.size()), nullptr, 0, "?", &usedDefault);
  if (size <= 0 || usedDefault) return false;
  const size_t at = out.size();
  out.resize(at + static_cast<size_t>(size));
  ::WideCharToMultiByte(kAnsiCodePage, WC_NO_BEST_FIT_CHARS, wide.data(),
                        static_cast<int>(wide.size()), out.data() + at, size, "?", &usedDefault);
  return true;
}

// The UTF-16 of one code page 936 unit (1 or 2 bytes); false when the bytes are no character.
bool DecodeAnsiUnit(const char* p, int n, std::wstring& wide) {
  wchar_t units[2];
  const int got = ::MultiByteToWideChar(kAnsiCodePage, MB_ERR_INVALID_CHARS, p, n, units, 2);
  if (got <= 0) return false;
  wide.assign(units, static_cast<size_t>(got));
  return true;
}

}  // namespace

std::string Utf8ToAnsi(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  std::wstring run;  // characters gathered for one conversion call
  auto flush = [&] {
    if (!AppendAnsi(out, run)) {
      // Some character of the run has no code: convert one at a time to find it.
      for (wchar_t c : run) {
        if (!AppendAnsi(out, std::wstring(1, c))) out += '?';
      }
    }
    run.clear();
  };
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  size_t left = utf8.size();
  while (left > 0) {
    if (p[0] < 0x80) {
      flush();
      out += static_cast<char>(p[0]);
      ++p;
      --left;
      continue;
    }
    char32_t code;
    bool valid;
    const size_t n = DecodeUtf8(p, left, code, valid);
    p += n;
    left -= n;
    if (valid && code < 0x10000) {
      run += static_cast<wchar_t>(code);
    } else {
      // Malformed input, or a character beyond the 16-bit plane, which GBK does not hold.
      flush();
      out += '?';
    }
  }
  flush();
  return out;
}

std::string AnsiToUtf8(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size() * 3 / 2);
  // The whole text in one call when it is valid, the usual case.
  const int size = ::MultiByteToWideChar(kAnsiCodePage, MB_ERR_INVALID_CHARS, ansi.data(),
                                         static_cast<int>(ansi.size()), nullptr, 0);
  if (size > 0 || ansi.empty()) {
    std::wstring wide(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(kAnsiCodePage, MB_ERR_INVALID_CHARS, ansi.data(),
                          static_cast<int>(ansi.size()), wide.data(), size);
    AppendUtf16(out, wide.data(), wide.size());
    return out;
  }
  // Some bytes are no character: one unit at a time, each bad byte one U+FFFD.
  std::wstring wide;
  for (size_t i = 0; i < ansi.size();) {
    const auto b = static_cast<unsigned char>(ansi[i]);
    if (b < 0x80) {
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    const bool lead = b >= 0x81 && b <= 0xFE && i + 1 < ansi.size();
    if (lead && DecodeAnsiUnit(ansi.data() + i, 2, wide)) {
      AppendUtf16(out, wide.data(), wide.size());
      i += 2;
    } else if (!lead && DecodeAnsiUnit(ansi.data() + i, 1, wide)) {
      AppendUtf16(out, wide.data(), wide.size());
      ++i;
    } else {
      AppendUtf8(out, kReplacement);
      ++i;
    }
  }
  return out;
}

std::string Utf16LeToUtf8(std::string_view utf16le) {
  std::wstring units(utf16le.size() / 2, L'\0');
  for (size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<wchar_t>(static_cast<unsigned char>(utf16le[2 * i]) |
                                    static_cast<unsigned char>(utf16le[2 * i + 1]) << 8);
  }
  std::string out;
  out.reserve(utf16le.size());
  AppendUtf16(out, units.data(), units.size());
  if (utf16le.size() % 2 != 0) AppendUtf8(out, kReplacement);  // a byte without its partner
  return out;
}

std::string Utf8ToUtf16Le(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() * 2);
  auto unit = [&](char32_t u) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>(u >> 8);
  };
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  size_t left = utf8.size();
  while (left > 0) {
    char32_t code;
    bool valid;
    const size_t n = DecodeUtf8(p, left, code, valid);
    p += n;
    left -= n;
    if (!valid) code = kReplacement;
    if (code >= 0x10000) {
      unit(0xD800 + ((code - 0x10000) >> 10));
      unit(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      unit(code);
    }
  }
  return out;
}

}  // namespace gw
