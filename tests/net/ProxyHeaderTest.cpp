// The PROXY protocol header parser and the balancer address list: valid headers of
// both versions at every split point, the malformed ones a balancer never sends,
// and CIDR matching across families.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "net/ProxyHeader.h"
#include "net/ProxyHeaderStage.h"

namespace gw {
namespace {

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> V2(uint8_t versionCommand, uint8_t familyTransport,
                        std::vector<uint8_t> body) {
  std::vector<uint8_t> out = {0x0D,
                              0x0A,
                              0x0D,
                              0x0A,
                              0x00,
                              0x0D,
                              0x0A,
                              0x51,
                              0x55,
                              0x49,
                              0x54,
                              0x0A,
                              versionCommand,
                              familyTransport,
                              static_cast<uint8_t>(body.size() >> 8),
                              static_cast<uint8_t>(body.size() & 0xFF)};
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::string SourceText(const sockaddr_storage& ss) {
  char text[INET6_ADDRSTRLEN] = {};
  uint16_t port = 0;
  if (ss.ss_family == AF_INET) {
    const auto& sin = reinterpret_cast<const sockaddr_in&>(ss);
    inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text);
    port = ntohs(sin.sin_port);
  } else if (ss.ss_family == AF_INET6) {
    const auto& sin6 = reinterpret_cast<const sockaddr_in6&>(ss);
    inet_ntop(AF_INET6, &sin6.sin6_addr, text, sizeof text);
    port = ntohs(sin6.sin6_port);
  }
  return std::string(text) + ":" + std::to_string(port);
}

struct TValidCase {
  const char* Name;
  std::vector<uint8_t> Header;
  TProxyParseResult Result;
  std::string Source;  // for pprProxy
};

std::vector<TValidCase> ValidCases() {
  std::vector<uint8_t> v6body(36, 0);
  v6body[15] = 1;  // ::1
  v6body[32] = 0x1F;
  v6body[33] = 0x90;  // 8080
  std::vector<uint8_t> v4tlv = {
      127,  0,    0,    9,    127,  0,    0,    1,   0x30,
      0x39, 0x1C, 0x20, 0x04, 0x00, 0x02, 0xAB, 0xCD};  // one TLV after the addresses
  return {
      {"v1 tcp4", Bytes("PROXY TCP4 192.0.2.7 198.51.100.1 51234 7200\r\n"), pprProxy,
       "192.0.2.7:51234"},
      {"v1 tcp6", Bytes("PROXY TCP6 2001:db8::5 2001:db8::1 40000 7200\r\n"), pprProxy,
       "2001:db8::5:40000"},
      {"v1 unknown", Bytes("PROXY UNKNOWN\r\n"), pprUnknown, ""},
      {"v1 unknown with addresses", Bytes("PROXY UNKNOWN ffff::1 ffff::2 1 2\r\n"), pprUnknown, ""},
      {"v2 tcp4 with tlv", V2(0x21, 0x11, v4tlv), pprProxy, "127.0.0.9:12345"},
      {"v2 tcp6", V2(0x21, 0x21, v6body), pprProxy, "::1:8080"},
      {"v2 local", V2(0x20, 0x00, {}), pprLocal, ""},
      {"v2 proxy unspec", V2(0x21, 0x00, {}), pprLocal, ""},
  };
}

TEST(ProxyHeaderTest, ValidHeadersParseWholeAndNeedMoreAtEverySplit) {
  for (const TValidCase& c : ValidCases()) {
    std::vector<uint8_t> stream = c.Header;
    const std::string after = "GET / HTTP/1.1\r\n";
    stream.insert(stream.end(), after.begin(), after.end());
    TProxyHeader header;
    ASSERT_EQ(ParseProxyHeader(stream, header), c.Result) << c.Name;
    EXPECT_EQ(header.Length, c.Header.size()) << c.Name;
    if (c.Result == pprProxy) {
      EXPECT_EQ(SourceText(header.Source), c.Source) << c.Name;
    }
    for (size_t n = 0; n < c.Header.size(); ++n) {
      TProxyHeader partial;
      EXPECT_EQ(ParseProxyHeader(std::span(c.Header.data(), n), partial), pprNeedMore)
          << c.Name << " cut at " << n;
    }
  }
}

TEST(ProxyHeaderTest, MalformedHeadersAreRefused) {
  const std::vector<std::pair<const char*, std::vector<uint8_t>>> cases = {
      {"plain http", Bytes("GET / HTTP/1.1\r\n")},
      {"lower case", Bytes("proxy TCP4 1.2.3.4 5.6.7.8 1 2\r\n")},
      {"bare LF", Bytes("PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n")},
      {"bare LF before the line end", Bytes("PROXY UNKNOWN x\ny\r\n")},
      {"bad protocol", Bytes("PROXY UDP4 1.2.3.4 5.6.7.8 1 2\r\n")},
      {"family mismatch", Bytes("PROXY TCP4 ::1 5.6.7.8 1 2\r\n")},
      {"bad address", Bytes("PROXY TCP4 1.2.3.256 5.6.7.8 1 2\r\n")},
      {"NUL inside an address", Bytes(std::string("PROXY TCP4 1.2.3.4 5.6.7.8\0x 1 2\r\n", 34))},
      {"port too big", Bytes("PROXY TCP4 1.2.3.4 5.6.7.8 65536 2\r\n")},
      {"port leading zero", Bytes("PROXY TCP4 1.2.3.4 5.6.7.8 01 2\r\n")},
      {"missing field", Bytes("PROXY TCP4 1.2.3.4 5.6.7.8 1\r\n")},
      {"double blank", Bytes("PROXY TCP4  1.2.3.4 5.6.7.8 1 2\r\n")},
      {"line too long", Bytes("PROXY UNKNOWN " + std::string(120, 'x'))},
      {"v2 wrong version", V2(0x11, 0x11, std::vector<uint8_t>(12))},
      {"v2 bad command", V2(0x2F, 0x11, std::vector<uint8_t>(12))},
      {"v2 short ipv4 block", V2(0x21, 0x11, std::vector<uint8_t>(11))},
      {"v2 short ipv6 block", V2(0x21, 0x21, std::vector<uint8_t>(12))},
      {"v2 datagram", V2(0x21, 0x12, std::vector<uint8_t>(12))},
      {"v2 unix", V2(0x21, 0x31, std::vector<uint8_t>(216))},
      {"v2 too long", V2(0x21, 0x11, std::vector<uint8_t>(kProxyV2MaxHeader))},
      {"v2 broken signature", {0x0D, 0x0A, 0x0D, 0x0A, 0x01}},
  };
  for (const auto& [name, bytes] : cases) {
    TProxyHeader header;
    EXPECT_EQ(ParseProxyHeader(bytes, header), pprInvalid) << name;
  }
}

sockaddr_storage Address(const char* text) {
  sockaddr_storage ss{};
  if (inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in&>(ss).sin_addr) == 1) {
    ss.ss_family = AF_INET;
  } else {
    EXPECT_EQ(inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6&>(ss).sin6_addr), 1);
    ss.ss_family = AF_INET6;
  }
  return ss;
}

TEST(ProxyHeaderTest, CidrListsMatchByPrefixAcrossFamilies) {
  auto list = ParseCidrList("127.0.0.0/8, 10.1.2.128/25 ,2001:db8::/32,::1");
  ASSERT_TRUE(list);
  const std::vector<std::pair<const char*, bool>> cases = {
      {"127.4.5.6", true},
      {"128.0.0.1", false},
      {"10.1.2.200", true},
      {"10.1.2.127", false},
      {"2001:db8:ffff::1", true},
      {"2001:db9::1", false},
      {"::1", true},
      {"::2", false},
      {"::ffff:127.0.0.1", true},
      {"::ffff:10.1.2.1", false},
  };
  for (const auto& [text, inside] : cases) {
    EXPECT_EQ(CidrListContains(*list, Address(text)), inside) << text;
  }

  std::string bad;
  for (const char* text :
       {"", "1.2.3.4/33", "1.2.3.4/", "::1/129", "host.example", "1.2.3.4,,5.6.7.8"}) {
    EXPECT_FALSE(ParseCidrList(text, &bad)) << text;
  }
  EXPECT_FALSE(ParseCidrList("10.0.0.0/8,nonsense", &bad));
  EXPECT_EQ(bad, "nonsense");
}

// The stage in front of a connection: whatever the reads' boundaries, it reports the
// header once and hands on exactly the client's bytes that followed it.
TEST(ProxyHeaderStageTest, ClientBytesAfterTheHeaderSurviveEveryReadBoundary) {
  const std::vector<uint8_t> v2Local = V2(0x20, 0x00, {});
  struct TCase {
    const char* Name;
    std::vector<uint8_t> Header;
    TProxyHeaderStage::TResult Result;
    std::string Source;
  } cases[] = {
      {"v1", Bytes("PROXY TCP4 198.51.100.7 10.0.0.1 40001 443\r\n"), TProxyHeaderStage::prsRelayed,
       "198.51.100.7:40001"},
      {"v2", V2(0x21, 0x11, {203, 0, 113, 9, 10, 0, 0, 1, 0x9C, 0x41, 0x01, 0xBB}),
       TProxyHeaderStage::prsRelayed, "203.0.113.9:40001"},
      {"v2 LOCAL", v2Local, TProxyHeaderStage::prsLocal, ""},
      {"v1 UNKNOWN", Bytes("PROXY UNKNOWN\r\n"), TProxyHeaderStage::prsUnknown, ""},
  };
  const std::vector<uint8_t> client = Bytes("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  for (const TCase& tc : cases) {
    std::vector<uint8_t> stream = tc.Header;
    stream.insert(stream.end(), client.begin(), client.end());
    // Two reads split at every point, and one read per byte.
    for (size_t split = 0; split <= stream.size() + 1; ++split) {
      SCOPED_TRACE(std::string(tc.Name) + " split " + std::to_string(split));
      std::vector<std::vector<uint8_t>> reads;
      if (split <= stream.size()) {
        reads = {{stream.begin(), stream.begin() + static_cast<long>(split)},
                 {stream.begin() + static_cast<long>(split), stream.end()}};
      } else {
        for (uint8_t b : stream) reads.push_back({b});
      }
      TProxyHeaderStage stage;
      std::vector<uint8_t> handedOn;
      int results = 0;
      for (const auto& read : reads) {
        if (results > 0) {  // the stage is done: the connection hands bytes on directly
          handedOn.insert(handedOn.end(), read.begin(), read.end());
          continue;
        }
        std::span<const uint8_t> rest;
        const TProxyHeaderStage::TResult r = stage.Feed(read, rest);
        if (r == TProxyHeaderStage::prsWaiting) {
          EXPECT_TRUE(rest.empty());
          EXPECT_LE(stage.Buffered(), tc.Header.size());
          continue;
        }
        ++results;
        EXPECT_EQ(r, tc.Result);
        if (r == TProxyHeaderStage::prsRelayed) {
          EXPECT_EQ(SourceText(stage.Source()), tc.Source);
        }
        handedOn.insert(handedOn.end(), rest.begin(), rest.end());
      }
      EXPECT_EQ(results, 1);
      EXPECT_EQ(handedOn, client);
    }
  }
}

TEST(ProxyHeaderStageTest, AStreamThatIsNoHeaderIsRefusedAtItsFirstWrongByte) {
  for (std::string_view text : {"GET / HTTP/1.1\r\n", "PROXY TCP4 1.2.3.4\r\n", "\x16\x03\x01"}) {
    TProxyHeaderStage stage;
    std::span<const uint8_t> rest;
    const std::vector<uint8_t> bytes = Bytes(text);
    EXPECT_EQ(stage.Feed(bytes, rest), TProxyHeaderStage::prsInvalid) << text;
    EXPECT_TRUE(rest.empty());
  }
}

}  // namespace
}  // namespace gw
