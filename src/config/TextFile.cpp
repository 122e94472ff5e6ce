#include "config/TextFile.h"

#include <cstdlib>
#include <cstring>

#include "common/AnsiCodePage.h"

namespace gw {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
constexpr std::string_view kUtf16BeBom = "\xFE\xFF";

std::string SwapByteOrder16(std::string_view bytes) {
  std::string out(bytes);
  for (size_t i = 0; i + 1 < out.size(); i += 2) std::swap(out[i], out[i + 1]);
  return out;
}

}  // namespace

std::string TrimText(std::string_view Text) {
  while (!Text.empty() && static_cast<unsigned char>(Text.front()) <= ' ') Text.remove_prefix(1);
  while (!Text.empty() && static_cast<unsigned char>(Text.back()) <= ' ') Text.remove_suffix(1);
  return std::string(Text);
}

bool SameTextIgnoringCase(std::string_view A, std::string_view B) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  if (A.size() != B.size()) return false;
  for (size_t i = 0; i < A.size(); ++i) {
    if (lower(A[i]) != lower(B[i])) return false;
  }
  return true;
}

bool IsNonAsciiUtf8(std::string_view Bytes) {
  bool nonAscii = false;
  size_t i = 0;
  while (i < Bytes.size()) {
    const auto c = static_cast<unsigned char>(Bytes[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    nonAscii = true;
    size_t more = 0;
    uint32_t code = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
      code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      code = c & 0x07;
    } else {
      return false;
    }
    if (i + more >= Bytes.size()) return false;
    for (size_t k = 1; k <= more; ++k) {
      const auto t = static_cast<unsigned char>(Bytes[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      code = (code << 6) | (t & 0x3F);
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
    if ((more == 2 && code < 0x800) || (more == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF))
      return false;
    i += more + 1;
  }
  return nonAscii;
}

TTextLines DecodeTextLines(std::string_view Bytes) {
  TTextLines result;
  std::string text;
  if (Bytes.starts_with(kUtf8Bom)) {
    result.Encoding = teUtf8;
    text = Bytes.substr(kUtf8Bom.size());
  } else if (Bytes.starts_with(kUtf16LeBom)) {
    result.Encoding = teUtf16Le;
    text = Utf16LeToUtf8(Bytes.substr(kUtf16LeBom.size()));
  } else if (Bytes.starts_with(kUtf16BeBom)) {
    result.Encoding = teUtf16Be;
    text = Utf16LeToUtf8(SwapByteOrder16(Bytes.substr(kUtf16BeBom.size())));
  } else if (IsNonAsciiUtf8(Bytes)) {
    result.Encoding = teUtf8Plain;
    text = Bytes;
  } else {
    result.Encoding = teAnsi;
    text = AnsiToUtf8(Bytes);
  }
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) {
      result.Lines.push_back(text.substr(start));
      break;
    }
    result.Lines.push_back(text.substr(start, end - start));
    start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
  }
  return result;
}

std::string EncodeTextLines(const std::vector<std::string>& Lines, TTextEncoding& Encoding) {
  std::string text;
  for (const std::string& line : Lines) {
    text += line;
    text += "\r\n";
  }
  if (Encoding == teAnsi) {
    std::string ansi = Utf8ToAnsi(text);
    if (AnsiToUtf8(ansi) == text) return ansi;
    Encoding = teUtf8;
  }
  switch (Encoding) {
    case teUtf8Plain:
      return text;
    case teUtf16Le:
      return std::string(kUtf16LeBom) + Utf8ToUtf16Le(text);
    case teUtf16Be:
      return std::string(kUtf16BeBom) + SwapByteOrder16(Utf8ToUtf16Le(text));
    default:
      return std::string(kUtf8Bom) + text;
  }
}

}  // namespace gw
