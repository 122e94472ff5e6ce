#include "net/ProxyHeader.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace gw {

namespace {

constexpr uint8_t kV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                      0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr std::string_view kV1Prefix = "PROXY ";
constexpr size_t kV2FixedSize = 16;
constexpr uint8_t kV2Version = 0x20;
constexpr uint8_t kV2CommandLocal = 0x00;
constexpr uint8_t kV2CommandProxy = 0x01;
constexpr uint8_t kV2FamilyUnspec = 0x00;
constexpr uint8_t kV2FamilyInet = 0x10;
constexpr uint8_t kV2FamilyInet6 = 0x20;
constexpr uint8_t kV2TransportStream = 0x01;
constexpr size_t kV2Inet4AddressSize = 12;  // two addresses, two ports
constexpr size_t kV2Inet6AddressSize = 36;

// True while `bytes` could still become `prefix` (every byte so far matches).
bool MatchesSoFar(std::span<const uint8_t> bytes, const void* prefix, size_t size) {
  return std::memcmp(bytes.data(), prefix, std::min(bytes.size(), size)) == 0;
}

uint16_t ReadBigEndian16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

std::vector<std::string_view> SplitOnSpaces(std::string_view line) {
  std::vector<std::string_view> parts;
  size_t pos = 0;
  for (;;) {
    const size_t next = line.find(' ', pos);
    parts.push_back(
        line.substr(pos, next == std::string_view::npos ? std::string_view::npos : next - pos));
    if (next == std::string_view::npos) return parts;
    pos = next + 1;
  }
}

// Decimal without a sign or leading zeros, as the text header writes ports.
std::optional<uint16_t> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

bool ParseAddress(int family, std::string_view text, void* out) {
  char buffer[INET6_ADDRSTRLEN];
  if (text.empty() || text.size() >= sizeof buffer) return false;
  // inet_pton stops at a NUL: "1.2.3.4\0junk" must not read as 1.2.3.4.
  for (char c : text) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex && c != '.' && c != ':') return false;
  }
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return ::inet_pton(family, buffer, out) == 1;
}

void SetInet4(sockaddr_storage& out, const void* address, uint16_t port) {
  out = {};
  auto& sin = reinterpret_cast<sockaddr_in&>(out);
  sin.sin_family = AF_INET;
  std::memcpy(&sin.sin_addr, address, 4);
  sin.sin_port = htons(port);
}

void SetInet6(sockaddr_storage& out, const void* address, uint16_t port) {
  out = {};
  auto& sin6 = reinterpret_cast<sockaddr_in6&>(out);
  sin6.sin6_family = AF_INET6;
  std::memcpy(&sin6.sin6_addr, address, 16);
  sin6.sin6_port = htons(port);
}

// "PROXY TCP4 src dst sport dport\r\n", "PROXY TCP6 …" or "PROXY UNKNOWN[ anything]\r\n".
TProxyParseResult ParseV1(std::span<const uint8_t> bytes, TProxyHeader& header) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()),
                              std::min(bytes.size(), kProxyV1MaxLine));
  const size_t end = text.find("\r\n");
  if (end == std::string_view::npos) {
    // A bare LF or a line longer than allowed can never become a header.
    if (text.find('\n') != std::string_view::npos || text.size() >= kProxyV1MaxLine) {
      return pprInvalid;
    }
    return pprNeedMore;
  }
  // A CR or LF inside the line (a bare one) is never part of a header, whatever the line says.
  if (text.substr(0, end).find_first_of("\r\n") != std::string_view::npos) return pprInvalid;
  const std::string_view line = text.substr(kV1Prefix.size(), end - kV1Prefix.size());
  header.Length = end + 2;
  const std::vector<std::string_view> parts = SplitOnSpaces(line);
  if (parts[0] == "UNKNOWN") return pprUnknown;
  if (parts.size() != 5) return pprInvalid;
  const int family = parts[0] == "TCP4" ? AF_INET : parts[0] == "TCP6" ? AF_INET6 : AF_UNSPEC;
  if (family == AF_UNSPEC) return pprInvalid;
  uint8_t source[16], destination[16];
  const std::optional<uint16_t> sourcePort = ParsePort(parts[3]);
  if (!ParseAddress(family, parts[1], source) || !ParseAddress(family, parts[2], destination) ||
      !sourcePort || !ParsePort(parts[4])) {
    return pprInvalid;
  }
  if (family == AF_INET) {
    SetInet4(header.Source, source, *sourcePort);
  } else {
    SetInet6(header.Source, source, *sourcePort);
  }
  return pprProxy;
}

TProxyParseResult ParseV2(std::span<const uint8_t> bytes, TProxyHeader& header) {
  if (bytes.size() < kV2FixedSize) return pprNeedMore;
  const uint8_t versionCommand = bytes[12];
  const uint8_t familyTransport = bytes[13];
  const size_t length = ReadBigEndian16(&bytes[14]);
  if ((versionCommand & 0xF0) != kV2Version) return pprInvalid;
  if (kV2FixedSize + length > kProxyV2MaxHeader) return pprInvalid;
  if (bytes.size() < kV2FixedSize + length) return pprNeedMore;
  header.Length = kV2FixedSize + length;
  const uint8_t command = versionCommand & 0x0F;
  if (command == kV2CommandLocal) return pprLocal;
  if (command != kV2CommandProxy) return pprInvalid;
  const uint8_t family = familyTransport & 0xF0;
  const uint8_t* address = bytes.data() + kV2FixedSize;
  if (family == kV2FamilyUnspec) return pprLocal;  // the sender knows no address: keep ours
  if ((familyTransport & 0x0F) != kV2TransportStream) return pprInvalid;
  if (family == kV2FamilyInet && length >= kV2Inet4AddressSize) {
    SetInet4(header.Source, address, ReadBigEndian16(address + 8));
    return pprProxy;
  }
  if (family == kV2FamilyInet6 && length >= kV2Inet6AddressSize) {
    SetInet6(header.Source, address, ReadBigEndian16(address + 32));
    return pprProxy;
  }
  return pprInvalid;  // a UNIX address, or too short for its family
}

}  // namespace

TProxyParseResult ParseProxyHeader(std::span<const uint8_t> bytes, TProxyHeader& header) {
  if (bytes.empty()) return pprNeedMore;
  if (bytes[0] == kV2Signature[0]) {
    if (!MatchesSoFar(bytes, kV2Signature, sizeof kV2Signature)) return pprInvalid;
    if (bytes.size() < sizeof kV2Signature) return pprNeedMore;
    return ParseV2(bytes, header);
  }
  if (!MatchesSoFar(bytes, kV1Prefix.data(), kV1Prefix.size())) return pprInvalid;
  if (bytes.size() < kV1Prefix.size()) return pprNeedMore;
  return ParseV1(bytes, header);
}

std::optional<std::vector<TCidr>> ParseCidrList(std::string_view text, std::string* error) {
  std::vector<TCidr> list;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string_view::npos) comma = text.size();
    std::string_view item = text.substr(pos, comma - pos);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    pos = comma + 1;
    TCidr cidr;
    const size_t slash = item.find('/');
    const std::string_view address = item.substr(0, slash);
    if (ParseAddress(AF_INET, address, cidr.Address)) {
      cidr.Family = AF_INET;
      cidr.PrefixBits = 32;
    } else if (ParseAddress(AF_INET6, address, cidr.Address)) {
      cidr.Family = AF_INET6;
      cidr.PrefixBits = 128;
    } else {
      if (error) *error = std::string(item);
      return std::nullopt;
    }
    if (slash != std::string_view::npos) {
      const std::string_view bits = item.substr(slash + 1);
      int value = -1;
      auto [end, ec] = std::from_chars(bits.data(), bits.data() + bits.size(), value);
      if (bits.empty() || ec != std::errc() || end != bits.data() + bits.size() || value < 0 ||
          value > cidr.PrefixBits) {
        if (error) *error = std::string(item);
        return std::nullopt;
      }
      cidr.PrefixBits = value;
    }
    list.push_back(cidr);
  }
  if (list.empty()) return std::nullopt;
  return list;
}

bool CidrListContains(const std::vector<TCidr>& list, const sockaddr_storage& addr) {
  uint8_t bytes[16];
  int family = addr.ss_family;
  if (family == AF_INET) {
    std::memcpy(bytes, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, 4);
  } else if (family == AF_INET6) {
    const auto& a6 = reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&a6)) {
      family = AF_INET;
      std::memcpy(bytes, a6.s6_addr + 12, 4);
    } else {
      std::memcpy(bytes, a6.s6_addr, 16);
    }
  } else {
    return false;
  }
  for (const TCidr& cidr : list) {
    if (cidr.Family != family) continue;
    const int whole = cidr.PrefixBits / 8, rest = cidr.PrefixBits % 8;
    if (std::memcmp(bytes, cidr.Address, static_cast<size_t>(whole)) != 0) continue;
    if (rest != 0) {
      const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
      if ((bytes[whole] & mask) != (cidr.Address[whole] & mask)) continue;
    }
    return true;
  }
  return false;
}

}  // namespace gw
