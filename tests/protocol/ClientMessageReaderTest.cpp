// What a client message means, read without a session or a socket: every kind of message and
// every refusal by its named reason, every prefix of a message read safely, and a client's
// WebSocket stream split at every byte read into the same meanings.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "codec/EDcode.h"
#include "net/NetTestUtil.h"
#include "net/WsFrame.h"
#include "net/WsFrameParser.h"
#include "protocol/ClientMessageReader.h"
#include "support/SplitFeed.h"

namespace gw {
namespace {

using test_support::ForEachSplit;
using test_support::TSplit;

std::span<const uint8_t> View(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Type 0 and a default message with this ident and Recog, then `tail`.
std::string DefaultMessage(uint16_t ident, int32_t recog = 0, const std::string& tail = "") {
  TDefaultMessage m;
  m.Ident = ident;
  m.Recog = recog;
  std::string out(1 + kDefaultMessageSize, '\0');
  WriteDefaultMessage(m, reinterpret_cast<uint8_t*>(&out[1]));
  return out + tail;
}

std::string Query(int32_t configType, const std::string& versions) {
  return DefaultMessage(GM_CLIENT_QUERYDBCONFIG, configType, EncodeMsgText(versions));
}

// One line per reading: what the core would do with the message.
std::string Describe(const TClientRead<TGameMessage>& read) {
  if (!read) return std::string(ClientReasonName(read.Reason()));
  switch (read->Kind) {
    case TGameMessageKind::gmSoftClose:
      return "soft close";
    case TGameMessageKind::gmQueryDBConfig: {
      std::string out = "query";
      for (const TDBConfigAsk& ask : read->Asks) {
        out += " " + std::to_string(ask.ConfigType) + "=" + ask.Version;
      }
      return out;
    }
    case TGameMessageKind::gmRelay:
      break;
  }
  return "relay " + std::to_string(read->Type) + " " +
         std::string(reinterpret_cast<const char*>(read->Body.data()), read->Body.size());
}

struct TGameCase {
  std::string Message;
  std::string Reading;
};

const std::vector<TGameCase>& GameCases() {
  static const std::vector<TGameCase> cases = {
      {"\x02" + std::string(9, 'm'), "relay 2 " + std::string(9, 'm')},
      {"\x02" + std::string(10, 'm'), "move_size"},
      {"\x02", "move_size"},
      {"\x04" + std::string(18, 'a'), "relay 4 " + std::string(18, 'a')},
      {"\x04" + std::string(4, 'a'), "attack_size"},
      {"\x05pass", "relay 5 pass"},
      {"\x01zz", "unknown_type"},
      {"\x03zz", "unknown_type"},
      {"\x80zz", "unknown_type"},
      {std::string(1, '\0'), "relay 0 "},
      {std::string("\0\x0f", 2), std::string("relay 0 \x0f")},
      {DefaultMessage(4660, 0, "body"), "relay 0 " + DefaultMessage(4660, 0, "body").substr(1)},
      {DefaultMessage(GM_CLIENT_SOFTCLOSE), "soft close"},
      {DefaultMessage(GM_CLIENT_SOFTCLOSE).substr(0, 3), "soft close"},
      {DefaultMessage(GM_CLIENT_SOFTCLOSE, 0, "ignored"), "soft close"},
      {DefaultMessage(GM_CLIENT_QUERYDBCONFIG, 6), "no_query_text"},
      {Query(6, "v5"), "query 6=v5"},
      {Query(-2, "a/b"), "query -2=a/b"},
      {Query(0, "0/1/2/3/4/5/6/7/8/9"), "query"},  // ten items: too few to answer
      {Query(0, "0/1/2/3/4/5/6/7/8/9/10"),
       "query 1=0 2=0 3=2 4=3 5=1 6=4 7=5 8=5 10=6 11=7 12=8 13=9 14=10"},
  };
  return cases;
}

TEST(ClientMessageReader, EveryGameMessageHasOneMeaningOrANamedReason) {
  for (const TGameCase& c : GameCases()) {
    EXPECT_EQ(Describe(ReadGameMessage(View(c.Message))), c.Reading) << c.Reading;
  }
  EXPECT_EQ(Describe(ReadGameMessage({})), "too_short");
}

// A message cut anywhere is read within its bytes: a refusal, or a relay of what is there.
TEST(ClientMessageReader, EveryPrefixIsReadWithinItsBytes) {
  for (const TGameCase& c : GameCases()) {
    for (size_t n = 0; n <= c.Message.size(); ++n) {
      const std::string prefix = c.Message.substr(0, n);
      const TClientRead<TGameMessage> read = ReadGameMessage(View(prefix));
      if (read && read->Kind == TGameMessageKind::gmRelay) {
        EXPECT_EQ(read->Body.size(), n - 1) << c.Reading << " cut at " << n;
        EXPECT_EQ(read->Body.data(), reinterpret_cast<const uint8_t*>(prefix.data()) + 1);
      }
    }
  }
}

TEST(ClientMessageReader, TokenAnswersAndLoginMessages) {
  struct {
    std::string Message;
    std::string Answer;  // or the reason's name
    std::string Login;   // the same for ReadLoginMessage
  } cases[] = {
      {"", "too_short", "too_short"},  {"ab", "too_short", "too_short"},
      {"abc", "empty_answer", "abc"},  {"abXYZc", "XYZ", "abXYZc"},
      {"ab$cd", "$c", "holds_dollar"}, {"$$$", "empty_answer", "holds_dollar"},
  };
  for (const auto& c : cases) {
    const TClientRead<std::string_view> answer = ReadTokenAnswer(View(c.Message));
    EXPECT_EQ(answer ? std::string(*answer) : std::string(ClientReasonName(answer.Reason())),
              c.Answer)
        << c.Message;
    const TClientRead<std::span<const uint8_t>> login = ReadLoginMessage(View(c.Message));
    EXPECT_EQ(login ? std::string(reinterpret_cast<const char*>(login->data()), login->size())
                    : std::string(ClientReasonName(login.Reason())),
              c.Login)
        << c.Message;
    EXPECT_EQ(ReadClientMessage(View(c.Message)).Ok(), c.Message.size() >= kMinClientMessageSize);
  }
}

TEST(ClientMessageReader, BodyIdentReadsMissingBytesAsZero) {
  EXPECT_EQ(ClientBodyIdent(View("\x02mm")), 0x6D6D);
  EXPECT_EQ(ClientBodyIdent(View("\x02m")), 0x6D);
  EXPECT_EQ(ClientBodyIdent(View("\x02")), 0);
  EXPECT_EQ(ClientBodyIdent({}), 0);
}

TEST(ClientMessageReader, VersionListSplitsLikeADelimitedTextWithQuotes) {
  struct {
    std::string Text;
    std::vector<std::string> Items;
  } cases[] = {
      {"a/b", {"a", "b"}},         {"", {""}},
      {"a//b", {"a", "", "b"}},    {"a b/c", {"a", "b", "c"}},
      {"\"x/y\"/z", {"x/y", "z"}}, {"\"say \"\"hi\"\"\"/q", {"say \"hi\"", "q"}},
      {"a\"\"b/c", {"a\"b", "c"}}, {"\"open/x", {"\"open/x/"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitDBConfigVersions(c.Text), c.Items) << c.Text;
}

TEST(ClientMessageReader, ReasonsHaveDistinctNames) {
  std::set<std::string_view> names;
  for (size_t i = 0; i < static_cast<size_t>(TClientReason::Count); ++i) {
    const std::string_view name = ClientReasonName(static_cast<TClientReason>(i));
    EXPECT_FALSE(name.empty());
    EXPECT_NE(name, "unknown");
    names.insert(name);
  }
  EXPECT_EQ(names.size(), static_cast<size_t>(TClientReason::Count));
}

// A client's messages as the transport receives them: masked frames, one message in
// fragments with a ping between them, the stream split at every byte. Each message the
// parser delivers reads as it does whole.
class TReadingSink : public IWsFrameSink {
 public:
  bool OnWsMessage(TWsRequestType, const std::vector<uint8_t>& data) override {
    Readings.push_back(Describe(ReadGameMessage(data)));
    return true;
  }
  bool OnWsPing(const uint8_t*, size_t) override { return true; }
  void OnWsClose() override {}
  std::vector<std::string> Readings;
};

TEST(ClientMessageReader, SameReadingsWhereverTheClientStreamIsSplit) {
  std::string stream;
  std::vector<std::string> expected;
  auto frame = [&](uint8_t opCode, const std::string& payload, bool fin) {
    const std::vector<uint8_t> bytes =
        test::TTestClient::Frame(opCode, std::vector<uint8_t>(payload.begin(), payload.end()), fin);
    stream.append(bytes.begin(), bytes.end());
  };
  for (size_t i : {0, 1, 4, 5, 6, 12, 16, 19}) {
    const TGameCase& c = GameCases()[i];
    frame(wsoBinary, c.Message, true);
    expected.push_back(c.Reading);
  }
  const std::string query = Query(6, "v5");
  frame(wsoBinary, query.substr(0, 10), false);
  frame(wsoPing, "p", true);
  frame(wsoContinuation, query.substr(10), true);
  expected.push_back("query 6=v5");
  ForEachSplit(stream, [&](const TSplit& split) {
    TWsFrameParser parser(1 << 20);
    TReadingSink sink;
    for (std::string_view piece : split.Pieces) {
      EXPECT_EQ(parser.Feed(reinterpret_cast<const uint8_t*>(piece.data()), piece.size(), sink),
                wprOk)
          << split.Label;
    }
    EXPECT_EQ(sink.Readings, expected) << split.Label;
    return !::testing::Test::HasFailure();
  });
}

}  // namespace
}  // namespace gw
