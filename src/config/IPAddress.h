// TIPAddress: an IPv4 or IPv6 address read from its text, for the block lists and the
// per-address rules. Parsing is done here rather than by the socket library so that the
// rules behave alike on every platform and the block list parser stays a pure function.
//
// Thread safety: a value type; its functions are pure.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gw {

struct TIPAddress {
  bool V6 = false;
  // IPv4 in the first 4 bytes, IPv6 in all 16 (network order).
  std::array<uint8_t, 16> Bytes{};

  int Bits() const { return V6 ? 128 : 32; }

  // Dotted IPv4 ("1.2.3.4", each part a decimal 0..255 without leading zeros beyond "0") or
  // IPv6 in the forms of RFC 4291 §2.2 (letter case ignored, "::" once, a dotted IPv4 tail).
  // An IPv4-mapped IPv6 address (::ffff:1.2.3.4) reads as its IPv4 address, as a dual-stack
  // listener reports IPv4 clients that way. A zone ("%eth0") is not an address here.
  static std::optional<TIPAddress> Parse(std::string_view Text);

  // The canonical text: dotted IPv4, or IPv6 as RFC 5952 writes it (lower case, the longest
  // run of two or more zero groups as "::", leading zeros dropped).
  std::string Text() const;

  // The address with every bit past the first Bits cleared.
  TIPAddress Masked(int Bits) const;

  friend bool operator==(const TIPAddress&, const TIPAddress&) = default;
};

// The key the per-address rules count a client under: the canonical text of an IPv4 address,
// "<prefix>/64" of an IPv6 one (see limits::kIPv6GroupPrefixBits); any other text as given.
std::string AddressGroupKey(const std::string& PeerAddr);

}  // namespace gw
