// The simulators' pure pieces: histogram, echo probes, logic packets, login frames and the
// WebSocket client codec.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "LatencyHistogram.h"
#include "LogicPacket.h"
#include "LoginFrame.h"
#include "SimProtocol.h"
#include "WsClient.h"
#include "codec/EDcode.h"

using namespace gw;

TEST(LatencyHistogram, PercentilesWithinBucketResolution) {
  TLatencyHistogram h;
  EXPECT_EQ(h.Percentile(0.5), 0u);
  for (uint64_t v = 1; v <= 100000; ++v) h.Record(v);
  for (double q : {0.5, 0.9, 0.99}) {
    double expected = q * 100000;
    double got = static_cast<double>(h.Percentile(q));
    EXPECT_NEAR(got, expected, expected * 0.02) << q;
  }
  EXPECT_EQ(h.Max(), 100000u);
  EXPECT_EQ(h.Percentile(1.0), 100000u);
  TLatencyHistogram other;
  other.Record(5);
  other.Record(uint64_t{1} << 50);  // beyond the last bucket: kept, counted, clamped
  h.Merge(other);
  EXPECT_EQ(h.Count(), 100002u);
  EXPECT_EQ(h.Max(), uint64_t{1} << 50);
}

TEST(LatencyHistogram, BucketsAreMonotonicAndContainTheirValues) {
  for (uint64_t v : {0ull, 1ull, 127ull, 128ull, 129ull, 1000ull, 65535ull, 1ull << 30}) {
    size_t b = TLatencyHistogram::BucketOf(v);
    EXPECT_GE(TLatencyHistogram::BucketUpperBound(b), v);
    if (b > 0) {
      EXPECT_LT(TLatencyHistogram::BucketUpperBound(b - 1), v);
    }
    EXPECT_LE(TLatencyHistogram::BucketOf(v), TLatencyHistogram::BucketOf(v + 1));
  }
}

// What the gateway does to a probe on its way back: a default message gets its ident written
// into dwCRC; the others come back unchanged.
std::string AsGatewayReturnsIt(std::string Probe) {
  if (Probe[0] == 0) {
    uint32_t ident = ReadLe16(Probe.data() + 1);
    std::memcpy(Probe.data() + 1 + 28, &ident, 4);
  }
  return Probe;
}

TEST(Probes, EveryKindRoundTripsWithItsSizeSeqAndTime) {
  struct {
    TProbeKind Kind;
    size_t Size;
    uint8_t Type;
  } cases[] = {
      {TProbeKind::pkMove, 10, 2}, {TProbeKind::pkAttack, 19, 4}, {TProbeKind::pkDefault, 65, 0}};
  const uint64_t sent = (uint64_t{7} << 32) + 123456;
  for (const auto& c : cases) {
    std::string probe = BuildProbe(c.Kind, 4242, sent);
    ASSERT_EQ(probe.size(), c.Size);
    EXPECT_EQ(static_cast<uint8_t>(probe[0]), c.Type);
    auto echo = ParseProbeEcho(AsGatewayReturnsIt(probe));
    ASSERT_TRUE(echo.has_value());
    EXPECT_EQ(echo->Kind, c.Kind);
    EXPECT_EQ(echo->Seq, 4242u);
    EXPECT_EQ(ProbeRoundTrip(*echo, sent + 1500), 1500u);
  }
}

TEST(Probes, DamageIsDetected) {
  std::string def = AsGatewayReturnsIt(BuildProbe(TProbeKind::pkDefault, 9, 1000));
  std::string noCrc = BuildProbe(TProbeKind::pkDefault, 9, 1000);  // dwCRC not stamped
  std::string attack = BuildProbe(TProbeKind::pkAttack, 9, 1000);
  std::string flipped = attack;
  flipped.back() ^= 1;
  std::vector<std::string> damaged = {
      noCrc, flipped, attack.substr(0, 18), def + "x", BuildProbe(TProbeKind::pkMove, 1, 1) + "x",
      ""};
  for (const auto& m : damaged) EXPECT_FALSE(ParseProbeEcho(m).has_value()) << m.size();
}

TEST(Probes, MoveRoundTripSurvivesTheThirtyTwoBitWrap) {
  uint64_t sent = 0xFFFFFF00ull;
  auto echo = ParseProbeEcho(BuildProbe(TProbeKind::pkMove, 1, sent));
  ASSERT_TRUE(echo);
  EXPECT_EQ(ProbeRoundTrip(*echo, sent + 0x200), 0x200u);
}

TEST(LogicPacket, KeepAliveBytesAndCuttingAtEverySplit) {
  TSimLogicHeader ka;
  ka.nIdent = liKeepAlive;
  std::string bytes = BuildLogicPacket(ka, {});
  const uint8_t expected[21] = {0xDD, 0xAA, 0xBB, 0xAA, 0, 0, 0, 0, 0, 0, 4,
                                0,    0,    0,    0,    0, 0, 0, 0, 0, 0};
  ASSERT_EQ(bytes, std::string(reinterpret_cast<const char*>(expected), 21));

  TSimLogicHeader data;
  data.nIdent = liData;
  data.nSocket = 0x01010000;
  data.wSocketIndex = 7;
  data.nUserListIndex = 7;
  data.nMsgType = 2;
  std::string stream = bytes + BuildLogicPacket(data, "payload!") + BuildLogicPacket(ka, {});
  for (size_t split = 0; split <= stream.size(); ++split) {
    std::vector<std::pair<uint16_t, std::string>> got;
    auto onPacket = [&](const TSimLogicHeader& h, std::string_view p) {
      got.emplace_back(h.nIdent, std::string(p));
      if (h.nIdent == liData) {
        EXPECT_EQ(h.nSocket, 0x01010000);
        EXPECT_EQ(h.nMsgType, 2);
        EXPECT_EQ(h.wSocketIndex, 7);
      }
    };
    TLogicCutStatus st;
    std::string buf = stream.substr(0, split);
    size_t used =
        CutLogicPackets(reinterpret_cast<const uint8_t*>(buf.data()), buf.size(), onPacket, st);
    buf = buf.substr(used) + stream.substr(split);
    used = CutLogicPackets(reinterpret_cast<const uint8_t*>(buf.data()), buf.size(), onPacket, st);
    EXPECT_EQ(used, buf.size());
    ASSERT_EQ(got.size(), 3u) << split;
    EXPECT_EQ(got[1], std::make_pair(uint16_t{liData}, std::string("payload!")));
  }
}

TEST(LogicPacket, NegativeOrHugeLengthStopsTheCut) {
  for (int32_t len : {-1, kSimLogicMaxPayload + 1}) {
    std::string p = BuildLogicPacket({}, {});
    std::memcpy(p.data() + 16, &len, 4);
    TLogicCutStatus st;
    int calls = 0;
    size_t used = CutLogicPackets(
        reinterpret_cast<const uint8_t*>(p.data()), p.size(),
        [&](const TSimLogicHeader&, std::string_view) { ++calls; }, st);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(st, TLogicCutStatus::lcBadLength);
  }
}

TEST(LoginFrame, GatewayFramesAreRead) {
  struct {
    const char* Frame;
    TLoginFrameKind Kind;
    uint32_t Handle;
    const char* Text;
  } cases[] = {
      {"%N7/10.0.0.7/192.168.1.2$", TLoginFrameKind::lfOpen, 7, "10.0.0.7"},
      {"%D4294967295/LOGIN a b$", TLoginFrameKind::lfData, 4294967295u, "LOGIN a b"},
      {"%D12/$", TLoginFrameKind::lfData, 12, ""},
      {"%C16842752$", TLoginFrameKind::lfClose, 16842752, ""},
      {"%--$", TLoginFrameKind::lfKeepAlive, 0, ""},
      {"%X1$", TLoginFrameKind::lfUnknown, 0, ""},
      {"%Dx/abc$", TLoginFrameKind::lfUnknown, 0, ""},
      {"%D99999999999/abc$", TLoginFrameKind::lfUnknown, 0, ""},
      {"%C5x$", TLoginFrameKind::lfUnknown, 5, ""},
      {"%N1/nolocal$", TLoginFrameKind::lfUnknown, 1, ""},
      {"D1/x$", TLoginFrameKind::lfUnknown, 0, ""},
  };
  for (const auto& c : cases) {
    TLoginFrame f = ParseGatewayFrame(c.Frame);
    EXPECT_EQ(f.Kind, c.Kind) << c.Frame;
    if (f.Kind == TLoginFrameKind::lfUnknown) continue;
    EXPECT_EQ(f.Handle, c.Handle) << c.Frame;
    if (f.Kind == TLoginFrameKind::lfOpen) {
      EXPECT_EQ(f.RemoteAddr, c.Text);
      EXPECT_EQ(f.LocalAddr, "192.168.1.2");
    }
    if (f.Kind == TLoginFrameKind::lfData) {
      EXPECT_EQ(f.Data, c.Text);
    }
  }
}

TEST(LoginFrame, CutKeepsTheIncompleteTailAndServerFramesDecode) {
  std::vector<std::string> frames;
  size_t used =
      CutLoginFrames("%--$%D1/ab$%C1", [&](std::string_view f) { frames.emplace_back(f); });
  EXPECT_EQ(used, 11u);
  EXPECT_EQ(frames, (std::vector<std::string>{"%--$", "%D1/ab$"}));

  EXPECT_EQ(MakeLoginControlFrame('+', 0), "%++$");
  EXPECT_EQ(MakeLoginControlFrame('-', 17), "%+-17$");
  std::string message("\x12\x02OK \xff$%/", 8);
  std::string frame = MakeLoginDataFrame(12, message);
  ASSERT_TRUE(frame.starts_with("%12/#"));
  ASSERT_TRUE(frame.ends_with("!$"));
  // Exactly one "$", at the end, whatever the message holds.
  EXPECT_EQ(frame.find('$'), frame.size() - 1);
  std::string text = frame.substr(5, frame.size() - 7);
  auto decoded = DecodeSixBitAlloc(text);
  EXPECT_EQ(decoded.View(), message);
}

TEST(WsClient, AcceptValueOfTheRfcExample) {
  EXPECT_EQ(WsAcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

std::string AnswerFor(const std::string& Request, const std::string& Extra = "") {
  size_t at = Request.find("Sec-WebSocket-Key: ") + 19;
  std::string key = Request.substr(at, Request.find("\r\n", at) - at);
  return "HTTP/1.1 101 Switching Protocols\r\nupgrade: WebSocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: " +
         WsAcceptKey(key) + "\r\n" + Extra + "\r\n";
}

TEST(WsClient, HandshakeAcceptsTheRightAnswerSplitAnywhere) {
  TWsClient ws;
  std::string req = ws.UpgradeRequest("127.0.0.1", 7200);
  EXPECT_TRUE(req.starts_with("GET / HTTP/1.1\r\nHost: 127.0.0.1:7200\r\n"));
  std::string answer = AnswerFor(req) + "\x82\x01Z";
  for (size_t split = 0; split < answer.size(); ++split) {
    std::string in = answer.substr(0, split);
    auto st = ws.FeedHandshake(in);
    if (st == TWsClient::TStatus::wsOk) {
      ASSERT_GE(split, answer.size() - 3);
    } else {
      ASSERT_EQ(st, TWsClient::TStatus::wsNeedMore) << split;
    }
  }
  std::string in = answer;
  ASSERT_EQ(ws.FeedHandshake(in), TWsClient::TStatus::wsOk);
  EXPECT_EQ(in, "\x82\x01Z");  // the first frame stays for the frame reader
}

TEST(WsClient, HandshakeRefusals) {
  TWsClient ws;
  std::string req = ws.UpgradeRequest("h", 1);
  std::vector<std::string> bad = {
      "HTTP/1.1 404 Not Found\r\n\r\n",
      "HTTP/1.1 101 OK\r\nUpgrade: websocket\r\nSec-WebSocket-Accept: AAAA\r\n\r\n",
      "HTTP/1.1 101 OK\r\nSec-WebSocket-Accept: " + AnswerFor(req).substr(0, 0) + "\r\n\r\n",
      std::string(TWsClient::kMaxHandshake + 1, 'x'),
  };
  for (auto b : bad) {
    TWsClient fresh;
    fresh.UpgradeRequest("h", 1);
    EXPECT_EQ(fresh.FeedHandshake(b), TWsClient::TStatus::wsError) << b.substr(0, 40);
    EXPECT_FALSE(fresh.Error().empty());
  }
}

// Unmasks a client frame the way a server would.
std::pair<uint8_t, std::string> ServerReads(const std::string& Frame, size_t& HeaderSize) {
  const auto* p = reinterpret_cast<const uint8_t*>(Frame.data());
  EXPECT_TRUE(p[1] & 0x80) << "client frames are masked";
  uint64_t len = p[1] & 0x7F;
  size_t at = 2;
  if (len == 126) {
    len = (p[2] << 8) | p[3];
    at = 4;
  } else if (len == 127) {
    len = 0;
    for (int i = 0; i < 8; ++i) len = (len << 8) | p[2 + i];
    at = 10;
  }
  HeaderSize = at + 4;
  std::string payload = Frame.substr(at + 4);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] ^= p[at + (i & 3)];
  EXPECT_EQ(payload.size(), len);
  return {static_cast<uint8_t>(p[0]), payload};
}

TEST(WsClient, MaskedFramesInAllThreeLengthForms) {
  for (auto [size, header] :
       {std::pair<size_t, size_t>{0, 6}, {125, 6}, {126, 8}, {65535, 8}, {65536, 14}}) {
    std::string payload(size, 'p');
    for (size_t i = 0; i < size; ++i) payload[i] = static_cast<char>(i * 7);
    std::string frame;
    TWsClient::AppendFrame(frame, wsoBinary, payload, 0xA1B2C3D4);
    size_t headerSize = 0;
    auto [b0, got] = ServerReads(frame, headerSize);
    EXPECT_EQ(b0, 0x82);
    EXPECT_EQ(headerSize, header) << size;
    EXPECT_EQ(got, payload);
  }
}

std::string ServerFrame(uint8_t B0, const std::string& Payload) {
  std::string f(1, static_cast<char>(B0));
  if (Payload.size() <= 125) {
    f.push_back(static_cast<char>(Payload.size()));
  } else if (Payload.size() <= 0xFFFF) {
    f.push_back(126);
    f.push_back(static_cast<char>(Payload.size() >> 8));
    f.push_back(static_cast<char>(Payload.size()));
  } else {
    f.push_back(127);
    for (int s = 56; s >= 0; s -= 8) f.push_back(static_cast<char>((Payload.size() >> s) & 0xFF));
  }
  return f + Payload;
}

TEST(WsClient, ServerFramesJoinedAtEverySplit) {
  std::string big(70000, 'b');
  std::string stream = ServerFrame(0x02, "ab") + ServerFrame(0x89, "png") +
                       ServerFrame(0x00, "cd") + ServerFrame(0x80, "e") + ServerFrame(0x82, big) +
                       ServerFrame(0x82, "") + ServerFrame(0x88, "");
  for (size_t split :
       {size_t{0}, size_t{1}, size_t{3}, size_t{9}, size_t{15}, size_t{40}, stream.size() - 1}) {
    TWsClient ws;
    std::vector<TWsEvent> events;
    std::string in = stream.substr(0, split);
    ASSERT_NE(ws.FeedFrames(in, events), TWsClient::TStatus::wsError);
    in += stream.substr(split);
    ASSERT_NE(ws.FeedFrames(in, events), TWsClient::TStatus::wsError);
    EXPECT_TRUE(in.empty());
    ASSERT_EQ(events.size(), 5u) << split;
    EXPECT_EQ(events[0].OpCode, wsoPing);
    EXPECT_EQ(events[0].Payload, "png");
    EXPECT_EQ(events[1].OpCode, wsoBinary);
    EXPECT_EQ(events[1].Payload, "abcde");
    EXPECT_EQ(events[2].Payload, big);
    EXPECT_EQ(events[3].Payload, "");
    EXPECT_EQ(events[4].OpCode, wsoClose);
  }
}

TEST(WsClient, ProtocolFaultsAreErrors) {
  std::string huge = "\x82\x7F" + std::string("\x00\x00\x00\x00\x01\x00\x00\x01", 8);
  std::vector<std::string> bad = {ServerFrame(0x80, "x"), ServerFrame(0x83, "x"),
                                  ServerFrame(0x09, "x"),
                                  ServerFrame(0x02, "a") + ServerFrame(0x82, "b"), huge};
  for (auto b : bad) {
    TWsClient ws;
    std::vector<TWsEvent> events;
    EXPECT_EQ(ws.FeedFrames(b, events), TWsClient::TStatus::wsError);
  }
}

TEST(LatencyHistogram, SinceGivesTheLaterValuesOnly) {
  TLatencyHistogram h;
  for (int i = 0; i < 100; ++i) h.Record(10);
  TLatencyHistogram earlier = h;
  for (int i = 0; i < 100; ++i) h.Record(5000);
  TLatencyHistogram later = h.Since(earlier);
  EXPECT_EQ(later.Count(), 100u);
  EXPECT_NEAR(static_cast<double>(later.Percentile(0.5)), 5000, 100);
  EXPECT_EQ(h.Since(h).Count(), 0u);
}
