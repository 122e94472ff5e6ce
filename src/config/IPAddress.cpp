#include "config/IPAddress.h"

#include <algorithm>
#include <vector>

#include "common/PeerLimits.h"

namespace gw {

namespace {

std::optional<uint8_t> ParseIPv4Part(std::string_view part) {
  if (part.empty() || part.size() > 3) return std::nullopt;
  if (part.size() > 1 && part[0] == '0') return std::nullopt;  // "010": octal to some readers
  unsigned value = 0;
  for (char c : part) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 255) return std::nullopt;
  return static_cast<uint8_t>(value);
}

bool ParseIPv4(std::string_view text, uint8_t* out) {
  for (int i = 0; i < 4; ++i) {
    const size_t dot = i < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return false;
    auto part = ParseIPv4Part(text.substr(0, dot));
    if (!part) return false;
    out[i] = *part;
    text.remove_prefix(i < 3 ? dot + 1 : dot);
  }
  return text.empty();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The groups of one side of "::" (or of the whole address): 16-bit groups, a dotted IPv4
// tail allowed as the last item when `tailAllowed`.
bool ParseGroups(std::string_view text, bool tailAllowed, std::vector<uint8_t>& out) {
  if (text.empty()) return true;
  for (;;) {
    const size_t colon = text.find(':');
    const std::string_view item = text.substr(0, colon);
    if (colon == std::string_view::npos && tailAllowed &&
        item.find('.') != std::string_view::npos) {
      uint8_t v4[4];
      if (!ParseIPv4(item, v4)) return false;
      out.insert(out.end(), v4, v4 + 4);
      return true;
    }
    if (item.empty() || item.size() > 4) return false;
    unsigned value = 0;
    for (char c : item) {
      const int h = HexValue(c);
      if (h < 0) return false;
      value = value << 4 | static_cast<unsigned>(h);
    }
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    if (colon == std::string_view::npos) return true;
    text.remove_prefix(colon + 1);
    if (text.empty()) return false;  // a trailing single colon
  }
}

bool ParseIPv6(std::string_view text, uint8_t* out) {
  if (text.size() > 45) return false;
  const size_t gap = text.find("::");
  std::vector<uint8_t> head, tail;
  if (gap == std::string_view::npos) {
    if (!ParseGroups(text, true, head) || head.size() != 16) return false;
  } else {
    if (text.find("::", gap + 1) != std::string_view::npos) return false;
    if (!ParseGroups(text.substr(0, gap), false, head) ||
        !ParseGroups(text.substr(gap + 2), true, tail) || head.size() + tail.size() > 14) {
      return false;
    }
  }
  std::fill(out, out + 16, 0);
  std::copy(head.begin(), head.end(), out);
  std::copy(tail.begin(), tail.end(), out + 16 - tail.size());
  return true;
}

}  // namespace

std::optional<TIPAddress> TIPAddress::Parse(std::string_view Text) {
  TIPAddress a;
  if (Text.find(':') == std::string_view::npos) {
    if (!ParseIPv4(Text, a.Bytes.data())) return std::nullopt;
    return a;
  }
  if (!ParseIPv6(Text, a.Bytes.data())) return std::nullopt;
  static constexpr uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::equal(kMapped, kMapped + 12, a.Bytes.begin())) {
    std::copy(a.Bytes.begin() + 12, a.Bytes.end(), a.Bytes.begin());
    std::fill(a.Bytes.begin() + 4, a.Bytes.end(), 0);
    return a;
  }
  a.V6 = true;
  return a;
}

std::string TIPAddress::Text() const {
  if (!V6) {
    return std::to_string(Bytes[0]) + "." + std::to_string(Bytes[1]) + "." +
           std::to_string(Bytes[2]) + "." + std::to_string(Bytes[3]);
  }
  uint16_t groups[8];
  for (int i = 0; i < 8; ++i)
    groups[i] = static_cast<uint16_t>(Bytes[2 * i] << 8 | Bytes[2 * i + 1]);
  // The longest run of zero groups (the first of equal ones), when it has two or more.
  int bestStart = -1, bestLen = 0;
  for (int i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > bestLen) {
      bestStart = i;
      bestLen = j - i;
    }
    i = j;
  }
  if (bestLen < 2) bestStart = -1;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 8; ++i) {
    if (i == bestStart) {
      out += "::";
      i += bestLen - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const int digit = groups[i] >> shift & 0xF;
      if (digit != 0 || started || shift == 0) {
        out += kHex[digit];
        started = true;
      }
    }
  }
  return out;
}

TIPAddress TIPAddress::Masked(int Keep) const {
  TIPAddress m = *this;
  for (int i = 0; i < 16; ++i) {
    const int bitsHere = Keep - 8 * i;
    if (bitsHere >= 8) continue;
    m.Bytes[i] = bitsHere <= 0 ? 0 : static_cast<uint8_t>(m.Bytes[i] & (0xFF << (8 - bitsHere)));
  }
  return m;
}

std::string AddressGroupKey(const std::string& PeerAddr) {
  const std::optional<TIPAddress> address = TIPAddress::Parse(PeerAddr);
  if (!address) return PeerAddr;
  if (!address->V6) return address->Text();
  return address->Masked(limits::kIPv6GroupPrefixBits).Text() + "/" +
         std::to_string(limits::kIPv6GroupPrefixBits);
}

}  // namespace gw
