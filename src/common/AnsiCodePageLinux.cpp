#include "common/AnsiCodePage.h"

#include <iconv.h>

#include <cerrno>

namespace gw {

namespace {

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

// One conversion descriptor per direction and thread: opening one loads a
// conversion module, far too slow for every token challenge and log line, and a
// descriptor keeps state, so it must not be shared between threads.
class TThreadConverters {
 public:
  ~TThreadConverters() {
    for (auto& e : FEntries) {
      if (e.Cd != kNone) iconv_close(e.Cd);
    }
  }

  // The descriptor for to/from reset to its initial state, or kNone.
  iconv_t Get(const char* to, const char* from) {
    for (auto& e : FEntries) {
      if (e.To == to && e.From == from) {
        if (e.Cd != kNone) iconv(e.Cd, nullptr, nullptr, nullptr, nullptr);
        return e.Cd;
      }
    }
    for (auto& e : FEntries) {
      if (e.To == nullptr) {
        e = {to, from, iconv_open(to, from)};
        return e.Cd;
      }
    }
    return kNone;
  }

  static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);

 private:
  struct TEntry {
    const char* To = nullptr;  // string literals: compared by address
    const char* From = nullptr;
    iconv_t Cd = kNone;
  };
  TEntry FEntries[4];
};

// Converts with iconv, replacing each unconvertible input unit with `replacement`
// (already in the target encoding) and skipping `skip` input bytes (0: one UTF-8 character).
std::string Convert(const char* to, const char* from, std::string_view in,
                    std::string_view replacement, size_t skip) {
  thread_local TThreadConverters converters;
  iconv_t cd = converters.Get(to, from);
  if (cd == TThreadConverters::kNone) return std::string(in);
  std::string out;
  out.resize(in.size() * 4 + 16);
  char* inp = const_cast<char*>(in.data());
  size_t inleft = in.size();
  char* outp = out.data();
  size_t outleft = out.size();
  while (inleft > 0) {
    size_t r = iconv(cd, &inp, &inleft, &outp, &outleft);
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      size_t used = static_cast<size_t>(outp - out.data());
      out.resize(out.size() * 2);
      outp = out.data() + used;
      outleft = out.size() - used;
      continue;
    }
    // EILSEQ or EINVAL: an unconvertible or truncated unit.
    if (outleft < replacement.size() + 8) {
      size_t used = static_cast<size_t>(outp - out.data());
      out.resize(out.size() * 2 + replacement.size());
      outp = out.data() + used;
      outleft = out.size() - used;
    }
    for (char c : replacement) {
      *outp++ = c;
      --outleft;
    }
    size_t n = skip == 0 ? Utf8UnitLength(reinterpret_cast<unsigned char*>(inp), inleft)
                         : (skip < inleft ? skip : inleft);
    inp += n;
    inleft -= n;
  }
  out.resize(static_cast<size_t>(outp - out.data()));
  return out;
}

}  // namespace

std::string Utf8ToAnsi(std::string_view utf8) { return Convert("GBK", "UTF-8", utf8, "?", 0); }

std::string AnsiToUtf8(std::string_view ansi) {
  return Convert("UTF-8", "GBK", ansi, "\xEF\xBF\xBD", 1);
}

std::string Utf16LeToUtf8(std::string_view utf16le) {
  return Convert("UTF-8", "UTF-16LE", utf16le, "\xEF\xBF\xBD", 2);
}

std::string Utf8ToUtf16Le(std::string_view utf8) {
  return Convert("UTF-16LE", "UTF-8", utf8, std::string_view("\xFD\xFF", 2), 0);
}

}  // namespace gw
