// The PROXY protocol header parser and the balancer address list: a header's length never
// exceeds the input, a result is the same whatever follows a complete header, a prefix of a
// valid header is never refused, and the CIDR reader either refuses or gives ranges that
// match their own addresses.
#include <cstring>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "net/ProxyHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  gw::TProxyHeader header;
  const gw::TProxyParseResult result = gw::ParseProxyHeader({data, size}, header);
  if (result == gw::pprProxy || result == gw::pprLocal || result == gw::pprUnknown) {
    FUZZ_CHECK(header.Length > 0 && header.Length <= size);
    gw::TProxyHeader again;
    FUZZ_CHECK(gw::ParseProxyHeader({data, header.Length}, again) == result);
    FUZZ_CHECK(again.Length == header.Length);
    for (size_t n = 0; n < header.Length; n += 7) {
      gw::TProxyHeader partial;
      FUZZ_CHECK(gw::ParseProxyHeader({data, n}, partial) == gw::pprNeedMore);
    }
  }
  const std::string_view text(reinterpret_cast<const char*>(data), size < 512 ? size : 512);
  if (auto list = gw::ParseCidrList(text)) {
    FUZZ_CHECK(!list->empty());
    for (const gw::TCidr& cidr : *list) {
      sockaddr_storage ss{};
      ss.ss_family = static_cast<sa_family_t>(cidr.Family);
      if (cidr.Family == AF_INET) {
        std::memcpy(&reinterpret_cast<sockaddr_in&>(ss).sin_addr, cidr.Address, 4);
      } else {
        std::memcpy(&reinterpret_cast<sockaddr_in6&>(ss).sin6_addr, cidr.Address, 16);
      }
      FUZZ_CHECK(gw::CidrListContains(*list, ss));
    }
  }
  return 0;
}
