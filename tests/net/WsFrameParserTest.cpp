// The frame parser and header builder, fed byte sequences directly: every input is
// also re-parsed split at every byte boundary, since a read may end anywhere.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "NetTestUtil.h"
#include "net/WsFrame.h"
#include "net/WsFrameParser.h"

namespace gw {
namespace {

using test::Pattern;
using test::TTestClient;
using Bytes = std::vector<uint8_t>;

struct TEvent {
  char Kind;  // 'm' message, 'p' ping, 'c' close
  TWsRequestType Type = wsrtUnknown;
  Bytes Data;
  bool operator==(const TEvent& o) const {
    return Kind == o.Kind && Type == o.Type && Data == o.Data;
  }
};

class TRecordingSink : public IWsFrameSink {
 public:
  bool OnWsMessage(TWsRequestType type, const Bytes& data) override {
    Events.push_back({'m', type, data});
    return true;
  }
  bool OnWsPing(const uint8_t* payload, size_t size) override {
    Events.push_back({'p', wsrtUnknown, Bytes(payload, payload + size)});
    return true;
  }
  void OnWsClose() override { Events.push_back({'c', wsrtUnknown, {}}); }
  std::vector<TEvent> Events;
};

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Parses `input` whole and split in two at every position; all runs must agree.
std::vector<TEvent> ParseEverySplit(const Bytes& input, TWsParseResult expected,
                                    size_t maxMessage = 1 << 20,
                                    TWsClientFrames frames = kDefaultClientFrames) {
  std::vector<TEvent> reference;
  {
    TWsFrameParser parser(maxMessage, frames);
    TRecordingSink sink;
    EXPECT_EQ(parser.Feed(input.data(), input.size(), sink), expected);
    reference = sink.Events;
  }
  size_t step = input.size() > 4096 ? input.size() / 97 + 1 : 1;  // big inputs: a sample
  for (size_t cut = 1; cut < input.size(); cut += step) {
    TWsFrameParser parser(maxMessage, frames);
    TRecordingSink sink;
    TWsParseResult r = parser.Feed(input.data(), cut, sink);
    if (r == wprOk) r = parser.Feed(input.data() + cut, input.size() - cut, sink);
    EXPECT_EQ(r, expected) << "split at " << cut;
    EXPECT_EQ(sink.Events, reference) << "split at " << cut;
  }
  return reference;
}

TEST(WsFrameTest, AcceptKeyMatchesRfc6455Example) {
  EXPECT_EQ(WsAcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_EQ(WsAcceptKey("").size(), 28u);
}

TEST(WsFrameTest, HeaderUsesShortestLengthForm) {
  struct {
    uint64_t Size;
    Bytes Header;
  } cases[] = {
      {0, {0x82, 0x00}},
      {125, {0x82, 0x7D}},
      {126, {0x82, 0x7E, 0x00, 0x7E}},
      {200, {0x82, 0x7E, 0x00, 0xC8}},
      {65535, {0x82, 0x7E, 0xFF, 0xFF}},
      {65536, {0x82, 0x7F, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00}},
      {70000, {0x82, 0x7F, 0, 0, 0, 0, 0, 0x01, 0x11, 0x70}},
  };
  for (const auto& c : cases) {
    uint8_t out[kWsMaxServerHeader];
    size_t n = MakeFrameHeader(out, wsoBinary, true, c.Size);
    EXPECT_EQ(Bytes(out, out + n), c.Header) << c.Size;
  }
  uint8_t out[kWsMaxServerHeader];
  ASSERT_EQ(MakeFrameHeader(out, wsoText, false, 3), 2u);
  EXPECT_EQ(out[0], 0x01);  // FIN clear, opcode 1
}

TEST(WsFrameParserTest, DeliversWholeMessagesInEveryLengthForm) {
  for (size_t size : {size_t{0}, size_t{5}, size_t{125}, size_t{126}, size_t{65535}, size_t{65536},
                      size_t{70000}}) {
    Bytes payload = Pattern(size, static_cast<uint8_t>(size));
    for (bool masked : {true, false}) {
      auto events = ParseEverySplit(TTestClient::Frame(wsoBinary, payload, true, masked), wprOk);
      ASSERT_EQ(events.size(), 1u) << size;
      EXPECT_EQ(events[0], (TEvent{'m', wsrtBinary, payload})) << size << " masked " << masked;
    }
  }
}

TEST(WsFrameParserTest, JoinsFragmentsAndAnswersControlFramesBetweenThem) {
  Bytes a = Pattern(10, 1), b = Pattern(300, 2), c = Pattern(7, 3);
  Bytes input = Concat(
      {TTestClient::Frame(wsoBinary, a, false), TTestClient::Frame(wsoPing, {1, 2, 3, 4}),
       TTestClient::Frame(wsoContinuation, b, false), TTestClient::Frame(wsoPong, {9}),
       TTestClient::Frame(wsoContinuation, c, true), TTestClient::Frame(wsoText, {'h', 'i'})});
  auto events = ParseEverySplit(input, wprOk);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], (TEvent{'p', wsrtUnknown, {1, 2, 3, 4}}));
  EXPECT_EQ(events[1], (TEvent{'m', wsrtBinary, Concat({a, b, c})}));
  EXPECT_EQ(events[2], (TEvent{'m', wsrtText, {'h', 'i'}}));
}

TEST(WsFrameParserTest, ManyTinyFragmentsGrowTheMessageBufferGeometrically) {
  // Growing the buffer by each fragment's size would copy the message once per fragment:
  // a client could make one message cost quadratic time.
  constexpr size_t kFragments = 20000;
  TWsFrameParser parser(1 << 20);
  TRecordingSink sink;
  Bytes first = TTestClient::Frame(wsoBinary, {0}, false);
  ASSERT_EQ(parser.Feed(first.data(), first.size(), sink), wprOk);
  Bytes next = TTestClient::Frame(wsoContinuation, {1}, false);
  size_t growths = 0, capacity = parser.PendingMessageCapacity();
  for (size_t i = 1; i + 1 < kFragments; ++i) {
    ASSERT_EQ(parser.Feed(next.data(), next.size(), sink), wprOk);
    if (parser.PendingMessageCapacity() != capacity) ++growths;
    capacity = parser.PendingMessageCapacity();
  }
  Bytes last = TTestClient::Frame(wsoContinuation, {2}, true);
  ASSERT_EQ(parser.Feed(last.data(), last.size(), sink), wprOk);
  EXPECT_LT(growths, 40u);
  ASSERT_EQ(sink.Events.size(), 1u);
  ASSERT_EQ(sink.Events[0].Data.size(), kFragments);
  EXPECT_EQ(sink.Events[0].Data.front(), 0);
  EXPECT_EQ(sink.Events[0].Data[kFragments / 2], 1);
  EXPECT_EQ(sink.Events[0].Data.back(), 2);
  // Once the message is out, the idle connection holds no payload buffer.
  EXPECT_EQ(parser.PendingMessageCapacity(), 0u);
}

TEST(WsFrameParserTest, KeepsTheBufferOnlyWhileAMessageIsInProgress) {
  TWsFrameParser parser(1 << 20);
  TRecordingSink sink;
  // Whole message, then a ping between the fragments of a second one: the first
  // fragment must survive the read boundary and the control frame.
  Bytes whole = TTestClient::Frame(wsoText, Bytes(200, 'a'), true);
  ASSERT_EQ(parser.Feed(whole.data(), whole.size(), sink), wprOk);
  EXPECT_EQ(parser.PendingMessageCapacity(), 0u);
  Bytes first = TTestClient::Frame(wsoBinary, Bytes(300, 'b'), false);
  ASSERT_EQ(parser.Feed(first.data(), first.size(), sink), wprOk);
  EXPECT_GE(parser.PendingMessageCapacity(), 300u);
  Bytes ping = TTestClient::Frame(wsoPing, {'p'}, true);
  Bytes last = TTestClient::Frame(wsoContinuation, Bytes(5, 'c'), true);
  ASSERT_EQ(parser.Feed(ping.data(), ping.size(), sink), wprOk);
  ASSERT_EQ(parser.Feed(last.data(), last.size(), sink), wprOk);
  EXPECT_EQ(parser.PendingMessageCapacity(), 0u);
  Bytes expected(300, 'b');
  expected.insert(expected.end(), 5, 'c');
  ASSERT_EQ(sink.Events.size(), 3u);
  EXPECT_EQ(sink.Events[2], (TEvent{'m', wsrtBinary, expected}));
}

TEST(WsFrameParserTest, IgnoresEverythingAfterClose) {
  Bytes input =
      Concat({TTestClient::Frame(wsoText, {'a'}), TTestClient::Frame(wsoClose, {0x03, 0xE8}),
              TTestClient::Frame(wsoText, {'b'})});
  auto events = ParseEverySplit(input, wprClosed);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].Kind, 'c');
}

TEST(WsFrameParserTest, RejectsOversizeAndMalformedFrames) {
  struct {
    const char* Name;
    Bytes Input;
    TWsParseResult Result;
  } cases[] = {
      {"single frame over limit", TTestClient::Frame(wsoBinary, Pattern(1001)), wprTooBig},
      {"fragments over limit",
       Concat({TTestClient::Frame(wsoBinary, Pattern(600), false),
               TTestClient::Frame(wsoContinuation, Pattern(401))}),
       wprTooBig},
      {"64-bit length with top bit",
       {0x82, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4},
       wprTooBig},
      {"continuation without start", TTestClient::Frame(wsoContinuation, {1}), wprProtocolError},
      {"new message inside fragmented one",
       Concat({TTestClient::Frame(wsoBinary, {1}, false), TTestClient::Frame(wsoText, {2})}),
       wprProtocolError},
      {"fragmented ping", TTestClient::Frame(wsoPing, {1}, false), wprProtocolError},
      {"ping over 125 bytes", TTestClient::Frame(wsoPing, Pattern(126)), wprProtocolError},
  };
  for (const auto& c : cases) {
    TWsFrameParser parser(1000);
    TRecordingSink sink;
    EXPECT_EQ(parser.Feed(c.Input.data(), c.Input.size(), sink), c.Result) << c.Name;
    EXPECT_TRUE(sink.Events.empty()) << c.Name;
  }
  // Exactly at the limit is fine.
  auto events = ParseEverySplit(TTestClient::Frame(wsoBinary, Pattern(1000)), wprOk, 1000);
  EXPECT_EQ(events.size(), 1u);
}

TEST(WsFrameParserTest, AnnouncedLengthIsRefusedBeforeAnyPayloadAndNothingIsReservedAhead) {
  // The header alone decides: a client announcing more than the bound is refused before
  // a byte of its payload was sent, whatever the length form.
  struct {
    const char* Name;
    Bytes Head;        // the bytes fed: a complete header, no payload
    uint64_t Refused;  // the message size the refused frame would have made
  } cases[] = {
      {"16-bit length", {0x82, 0xFE, 0x03, 0xE9, 1, 2, 3, 4}, 1001},
      {"64-bit length", {0x82, 0xFF, 0, 0, 0, 1, 0, 0, 0, 0, 1, 2, 3, 4}, uint64_t{1} << 32},
      {"continuation past the bound",
       Concat({TTestClient::Frame(wsoBinary, Pattern(600), false),
               {0x80, 0xFE, 0x01, 0x91, 1, 2, 3, 4}}),
       600 + 401},
  };
  for (const auto& c : cases) {
    // Split at every byte: the refusal comes with the header's last byte, never later.
    for (size_t cut = 1; cut <= c.Head.size(); ++cut) {
      TWsFrameParser parser(1000);
      TRecordingSink sink;
      TWsParseResult r = parser.Feed(c.Head.data(), cut, sink);
      if (r == wprOk && cut < c.Head.size()) {
        r = parser.Feed(c.Head.data() + cut, c.Head.size() - cut, sink);
      }
      EXPECT_EQ(r, wprTooBig) << c.Name << ", split at " << cut;
      EXPECT_EQ(parser.RefusedSize(), c.Refused) << c.Name;
      EXPECT_TRUE(sink.Events.empty()) << c.Name;
    }
  }
  // A big announcement within the bound: only what arrived is held.
  constexpr size_t kBound = 1 << 20;
  TWsFrameParser parser(kBound);
  TRecordingSink sink;
  Bytes frame = TTestClient::Frame(wsoBinary, Pattern(kBound));
  const size_t header = frame.size() - kBound;
  ASSERT_EQ(parser.Feed(frame.data(), header + 10, sink), wprOk);
  EXPECT_LT(parser.PendingMessageCapacity(), size_t{4096});
  ASSERT_EQ(parser.Feed(frame.data() + header + 10, frame.size() - header - 10, sink), wprOk);
  ASSERT_EQ(sink.Events.size(), 1u);
  EXPECT_EQ(sink.Events[0].Data, Pattern(kBound));
  // The owner lowers the bound between reads: the next header is judged by it.
  parser.SetMaxMessageSize(100);
  Bytes small = TTestClient::Frame(wsoBinary, Pattern(100));
  Bytes over = TTestClient::Frame(wsoBinary, Pattern(101));
  ASSERT_EQ(parser.Feed(small.data(), small.size(), sink), wprOk);
  EXPECT_EQ(parser.Feed(over.data(), 8, sink), wprTooBig);
  EXPECT_EQ(parser.RefusedSize(), 101u);
}

TEST(WsFrameParserTest, DropsReservedOpcodesAndStopsWhenHandlerCloses) {
  Bytes input = Concat({TTestClient::Frame(3, {1, 2}), TTestClient::Frame(wsoBinary, {7}),
                        TTestClient::Frame(wsoBinary, {8})});
  class TStopSink : public TRecordingSink {
    bool OnWsMessage(TWsRequestType type, const Bytes& data) override {
      TRecordingSink::OnWsMessage(type, data);
      return false;
    }
  } sink;
  TWsFrameParser parser(1 << 20);
  EXPECT_EQ(parser.Feed(input.data(), input.size(), sink), wprStopped);
  ASSERT_EQ(sink.Events.size(), 1u);
  EXPECT_EQ(sink.Events[0].Data, Bytes{7});
}

// What a client gets away with is one option: by default (the gateway's) unmasked frames,
// reserved bits and reserved opcodes are taken as they always were; strictly, each is a
// protocol error, and a conforming stream parses the same either way.
TEST(WsFrameParserTest, ClientFrameLeniencyIsOneNamedOption) {
  EXPECT_EQ(kDefaultClientFrames, TWsClientFrames::wcfLenient);
  const Bytes payload = {'g', 'o'};
  Bytes rsv1 = TTestClient::Frame(wsoBinary, payload);
  rsv1[0] |= 0x40;
  Bytes rsv3 = TTestClient::Frame(wsoText, payload);
  rsv3[0] |= 0x10;
  const Bytes good = TTestClient::Frame(wsoBinary, payload);
  const std::vector<TEvent> delivered = {{'m', wsrtBinary, payload}};
  struct {
    const char* What;
    Bytes Input;
    std::vector<TEvent> Lenient;  // what the default delivers (then wprOk)
  } cases[] = {
      {"unmasked", TTestClient::Frame(wsoBinary, payload, true, false), delivered},
      {"RSV1 set", rsv1, delivered},
      {"RSV3 set", rsv3, {{'m', wsrtText, payload}}},
      {"reserved data opcode", Concat({TTestClient::Frame(3, {1}), good}), delivered},
      {"reserved control opcode", Concat({TTestClient::Frame(0x0B, {1}), good}), delivered},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseEverySplit(c.Input, wprOk), c.Lenient) << c.What;
    EXPECT_TRUE(
        ParseEverySplit(c.Input, wprProtocolError, 1 << 20, TWsClientFrames::wcfStrict).empty())
        << c.What;
  }
  const Bytes conforming =
      Concat({TTestClient::Frame(wsoBinary, payload, false), TTestClient::Frame(wsoPing, {1}),
              TTestClient::Frame(wsoContinuation, payload, true)});
  EXPECT_EQ(ParseEverySplit(conforming, wprOk, 1 << 20, TWsClientFrames::wcfStrict),
            ParseEverySplit(conforming, wprOk));
}

// Random input, fed in random pieces: the parser must neither crash nor read out of
// bounds (the sanitizer builds watch), and it never delivers more than its limit.
TEST(WsFrameParserTest, SurvivesRandomInput) {
  std::mt19937 rng(20261210);
  for (int round = 0; round < 300; ++round) {
    Bytes input(1 + rng() % 3000);
    for (uint8_t& b : input) b = static_cast<uint8_t>(rng());
    if (round % 2 == 0) input[0] = static_cast<uint8_t>(0x80 | (rng() % 3));  // plausible start
    TWsFrameParser parser(512);
    class TLimitSink : public TRecordingSink {
      bool OnWsMessage(TWsRequestType type, const Bytes& data) override {
        EXPECT_LE(data.size(), 512u);
        return TRecordingSink::OnWsMessage(type, data);
      }
    } sink;
    size_t pos = 0;
    while (pos < input.size()) {
      size_t piece = std::min<size_t>(input.size() - pos, 1 + rng() % 64);
      if (parser.Feed(input.data() + pos, piece, sink) != wprOk) break;
      pos += piece;
    }
  }
}

}  // namespace
}  // namespace gw
