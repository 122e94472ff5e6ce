// The PROXY protocol header a load balancer puts in front of a relayed TCP stream
// (version 1, a text line, and version 2, binary), and the list of balancer
// addresses allowed to send one. Pure functions over bytes: safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/SocketApi.h"

namespace gw {

// Longest version 1 line, "PROXY TCP6 <two full IPv6 addresses> <two ports>\r\n".
inline constexpr size_t kProxyV1MaxLine = 107;
// Longest version 2 header accepted: the fixed 16 bytes, the addresses, and room for
// the extensions (TLVs) balancers add; a longer one is refused instead of buffered.
inline constexpr size_t kProxyV2MaxHeader = 16 + 2048;

enum TProxyParseResult : uint8_t {
  pprNeedMore,  // a prefix of a header so far: read more bytes
  pprProxy,     // a relayed connection: Source holds the client's address
  pprLocal,     // v2 LOCAL (a health check) or v2 UNSPEC: served with the connection's addresses
  pprUnknown,   // v1 UNKNOWN: the balancer could not name the client (closed)
  pprInvalid,   // not a PROXY header, or a malformed one: close the connection
};

struct TProxyHeader {
  sockaddr_storage Source{};  // the client's address and port (pprProxy only)
  size_t Length = 0;          // bytes the header took (pprProxy, pprLocal, pprUnknown)
};

// Looks at the first bytes of a connection. Never reads past `bytes`.
TProxyParseResult ParseProxyHeader(std::span<const uint8_t> bytes, TProxyHeader& header);

// One address range, "10.0.0.0/8", "::1/128" or a plain address (a full-length prefix).
struct TCidr {
  int Family = AF_INET;
  uint8_t Address[16] = {};
  int PrefixBits = 0;
};

// Parses "A/N,B,…" (blanks around items allowed). Nothing for an empty list or a bad item;
// `error` then names the item.
std::optional<std::vector<TCidr>> ParseCidrList(std::string_view text,
                                                std::string* error = nullptr);

// Whether `addr` lies in one of the ranges. An IPv4-mapped IPv6 address matches IPv4 ranges.
bool CidrListContains(const std::vector<TCidr>& list, const sockaddr_storage& addr);

}  // namespace gw
