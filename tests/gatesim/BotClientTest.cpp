// One bot driven through its whole life by a scripted gateway: upgrade, token challenge (checked
// with the gateway's side of the handshake), greeting, login, hand-over, probes and their echoes
// in batches, damage and loss.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "BotClient.h"
#include "codec/TokenHandshake.h"

using namespace gw;

namespace {

// Server-side view of what the bot sends: unmasked client messages.
std::vector<std::string> ReadClientFrames(std::string& Out) {
  std::vector<std::string> messages;
  size_t pos = 0;
  while (Out.size() - pos >= 6) {
    const auto* p = reinterpret_cast<const uint8_t*>(Out.data() + pos);
    EXPECT_TRUE(p[1] & 0x80);
    uint64_t len = p[1] & 0x7F;
    size_t at = 2;
    if (len == 126) {
      len = (p[2] << 8) | p[3];
      at = 4;
    }
    std::string payload = Out.substr(pos + at + 4, len);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] ^= p[at + (i & 3)];
    messages.push_back(payload);
    pos += at + 4 + len;
  }
  Out.erase(0, pos);
  return messages;
}

std::string Binary(const std::string& Payload) {
  std::string f = "\x82";
  if (Payload.size() <= 125) {
    f.push_back(static_cast<char>(Payload.size()));
  } else {
    f.push_back(126);
    f.push_back(static_cast<char>(Payload.size() >> 8));
    f.push_back(static_cast<char>(Payload.size()));
  }
  return f + Payload;
}

std::string Batch(const std::vector<std::string>& Messages) {
  std::string b = "\x80";
  for (const auto& m : Messages) {
    AppendLe32(b, static_cast<uint32_t>(m.size()));
    b += m;
  }
  return b;
}

std::string PassMessage(uint16_t Ident, const std::string& Text) {
  std::string m(1, '\x05');
  AppendLe16(m, Ident);
  return m + Text;
}

// The gateway's view of a probe's way back (dwCRC stamped for default messages).
std::string Returned(std::string Probe) {
  if (Probe[0] == 0) {
    uint32_t ident = ReadLe16(Probe.data() + 1);
    std::memcpy(Probe.data() + 29, &ident, 4);
  }
  return Probe;
}

class BotClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FKeys = LoadDeploymentKeys("/nonexistent-folder");  // the built-in development keys
    TBotConfig cfg;
    cfg.Index = 42;
    cfg.Keys = &FKeys;
    FBot = std::make_unique<TBotClient>(cfg, FTotals, FHistogram);
  }

  // Brings the bot into the game, checking every step the gateway would check.
  void LogIn() {
    ReachLogin();
    std::string out;
    ASSERT_TRUE(
        FBot->OnBytes(Binary(PassMessage(kSimHandOverIdent, "OK bot42 secret")), out, 3000));
    EXPECT_EQ(FBot->Stage(), TBotClient::TStage::bsPlaying);
    EXPECT_EQ(FTotals.InGame.load(), 1u);
    EXPECT_TRUE(out.empty());
  }

  // Brings the bot to where it waits for its hand-over; with ForeignHandOver, another
  // session's hand-over arrives before the greeting on the way.
  void ReachLogin(bool ForeignHandOver = false) {
    std::string out;
    FBot->OnConnected(out);
    size_t at = out.find("Sec-WebSocket-Key: ") + 19;
    std::string key = out.substr(at, out.find("\r\n", at) - at);
    out.clear();
    std::string answer =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
        "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
        WsAcceptKey(key) + "\r\n\r\n";
    const std::string token = "{3F2504E0-4F89-41D3-9A0C-0305E82C3301}";
    std::string challenge(33, '\0');
    challenge[1] = static_cast<char>(0xC9);
    challenge[2] = 0x10;
    challenge += ChallengeText(token, FKeys);
    ASSERT_TRUE(FBot->OnBytes(answer + Binary(challenge), out, 1000));
    auto sent = ReadClientFrames(out);
    ASSERT_EQ(sent.size(), 1u);
    // The gateway ignores the first two bytes and the last byte of the answer.
    std::string answerText = sent[0].substr(2, sent[0].size() - 3);
    auto plain = DecodeTokenAnswer(answerText, FKeys);
    ASSERT_TRUE(plain.has_value());
    EXPECT_TRUE(TokenAnswerMatches(*plain, ExpectedTokenAnswer(token)));
    EXPECT_EQ(FBot->Stage(), TBotClient::TStage::bsGreeting);
    if (ForeignHandOver) {
      ASSERT_TRUE(
          FBot->OnBytes(Binary(PassMessage(kSimHandOverIdent, "OK bot42 secret")), out, 1500));
      EXPECT_EQ(FBot->Stage(), TBotClient::TStage::bsGreeting);
    }

    ASSERT_TRUE(FBot->OnBytes(Binary(PassMessage(kSimGreetIdent, "hello")), out, 2000));
    sent = ReadClientFrames(out);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], "LOGIN bot42 secret");
    // A reply that is not the hand-over changes nothing.
    ASSERT_TRUE(FBot->OnBytes(Binary(PassMessage(kSimLoginReplyIdent, "x")), out, 2500));
    EXPECT_EQ(FBot->Stage(), TBotClient::TStage::bsLogin);
    EXPECT_TRUE(out.empty());
  }

  // Ticks the bot at 100 probes/s from Now until it has sent Count probes.
  std::vector<std::string> SendProbes(size_t Count, uint64_t& Now) {
    std::vector<std::string> probes;
    std::string out;
    while (probes.size() < Count) {
      FBot->OnTick(Now, true, 100, out);
      for (auto& m : ReadClientFrames(out)) probes.push_back(m);
      Now += 1000;
    }
    return probes;
  }

  // A bot with totals of its own that has just sent its upgrade request (kept in Out).
  struct TFreshBot {
    TFreshBot(const TDeploymentKeys& Keys, TLatencyHistogram& Histogram)
        : Bot(Config(Keys), Totals, Histogram) {
      Bot.OnConnected(Out);
    }
    static TBotConfig Config(const TDeploymentKeys& Keys) {
      TBotConfig cfg;
      cfg.Keys = &Keys;
      return cfg;
    }
    TBotTotals Totals;
    TBotClient Bot;
    std::string Out;
  };

  TDeploymentKeys FKeys;
  TBotTotals FTotals;
  TLatencyHistogram FHistogram;
  std::unique_ptr<TBotClient> FBot;
};

TEST_F(BotClientTest, LogsInAndTimesEchoesInBatchesAndAlone) {
  LogIn();
  uint64_t now = 1000000;
  auto probes = SendProbes(6, now);
  ASSERT_EQ(probes.size(), 6u);
  // Move, attack and default in turn, each with its exact size.
  std::multiset<size_t> sizes;
  for (auto& p : probes) sizes.insert(p.size());
  EXPECT_EQ(sizes, (std::multiset<size_t>{10, 10, 19, 19, 65, 65}));
  EXPECT_EQ(FBot->Pending(), 6u);

  std::string out;
  // Speed times and other game messages are not probes and not errors.
  std::string speed(1, '\0');
  AppendLe16(speed, kSimSpeedTimeIdent);
  speed.append(30, '\0');
  ASSERT_TRUE(FBot->OnBytes(Binary(speed), out, now));
  ASSERT_TRUE(
      FBot->OnBytes(Binary(Batch({Returned(probes[0]), Returned(probes[1]), Returned(probes[2])})),
                    out, now + 5000));
  ASSERT_TRUE(FBot->OnBytes(Binary(Returned(probes[3])), out, now + 5000));
  ASSERT_TRUE(
      FBot->OnBytes(Binary(Batch({Returned(probes[4]), Returned(probes[5])})), out, now + 5000));
  EXPECT_EQ(FTotals.Echoed.load(), 6u);
  EXPECT_EQ(FTotals.Others.load(), 1u);
  EXPECT_EQ(FTotals.ErrorTotal(), 0u);
  EXPECT_EQ(FBot->Pending(), 0u);
  EXPECT_EQ(FHistogram.Count(), 6u);
  // Every echo came 5 ms after the last tick; the probes went out 10 ms apart before it.
  EXPECT_GE(FHistogram.Percentile(0), 4900u);
  EXPECT_LE(FHistogram.Max(), 5000u + 6 * 10000u + 1000u);
}

TEST_F(BotClientTest, LostDamagedAndUnexpectedEchoesAreCounted) {
  LogIn();
  uint64_t now = 1000000;
  auto probes = SendProbes(5, now);
  // Sequence numbers 1..5 give attack, default, move, attack, default.
  ASSERT_EQ(probes[1][0], 0);
  ASSERT_EQ(probes[3][0], 4);
  std::string out;
  // probes[0] never comes back; probes[1] comes back without the gateway's dwCRC stamp.
  ASSERT_TRUE(FBot->OnBytes(Binary(probes[1]), out, now));
  ASSERT_TRUE(FBot->OnBytes(Binary(Returned(probes[2])), out, now));
  // probes[3] comes back with a flipped byte; probes[4] comes back twice.
  std::string damaged = Returned(probes[3]);
  damaged.back() ^= 0x40;
  ASSERT_TRUE(FBot->OnBytes(Binary(damaged), out, now));
  ASSERT_TRUE(FBot->OnBytes(Binary(Returned(probes[4])), out, now));
  ASSERT_TRUE(FBot->OnBytes(Binary(Returned(probes[4])), out, now));
  EXPECT_EQ(FTotals.Errors[beBadEcho].load(), 3u);  // unstamped, damaged, duplicate
  EXPECT_EQ(FTotals.Errors[beLost].load(), 3u);     // 0, 1 and 3 skipped over
  EXPECT_EQ(FTotals.Echoed.load(), 2u);
  // The end of the run with one more probe still out.
  SendProbes(1, now);
  FBot->Finish(out);
  EXPECT_EQ(FTotals.Errors[beLost].load(), 4u);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(static_cast<uint8_t>(out[0]), 0x88);  // a close frame
  EXPECT_EQ(FBot->Stage(), TBotClient::TStage::bsDone);
  FBot->OnClosed();  // closing after the end is no error
  EXPECT_EQ(FTotals.Errors[beClosed].load(), 0u);
}

TEST_F(BotClientTest, FailuresBeforeTheGame) {
  struct {
    std::string Bytes;
    TBotError Error;
  } cases[] = {
      {"HTTP/1.1 403 Forbidden\r\n\r\n", beUpgrade},
  };
  for (const auto& c : cases) {
    TFreshBot fresh(FKeys, FHistogram);
    EXPECT_FALSE(fresh.Bot.OnBytes(c.Bytes, fresh.Out, 1));
    EXPECT_EQ(fresh.Totals.Errors[c.Error].load(), 1u);
  }
  // A first message that is not a token challenge, and one whose challenge cannot be opened.
  for (std::string first : {std::string("\x05\x01\x00hello"), std::string(33, '\0') + "@@@@"}) {
    if (first[0] == 0) {
      first[1] = static_cast<char>(0xC9);
      first[2] = 0x10;
    }
    TFreshBot fresh(FKeys, FHistogram);
    std::string& out = fresh.Out;
    size_t at = out.find("Sec-WebSocket-Key: ") + 19;
    std::string key = out.substr(at, out.find("\r\n", at) - at);
    std::string answer =
        "HTTP/1.1 101 x\r\nUpgrade: websocket\r\nSec-WebSocket-Accept: " + WsAcceptKey(key) +
        "\r\n\r\n";
    EXPECT_FALSE(fresh.Bot.OnBytes(answer + Binary(first), out, 1));
    EXPECT_EQ(fresh.Totals.Errors[beChallenge].load(), 1u);
    EXPECT_EQ(fresh.Totals.Connected.load(), 1u);
  }
}

// Closed under the bot in the game, by a close frame (its status kept) or without one (a
// reset): the probes still on their way are cut, not lost.
TEST_F(BotClientTest, ClosedByTheGatewayInTheGameCutsItsPendingProbes) {
  struct {
    std::string CloseFrame;  // empty: the connection ends without one
    TBotError Error;
    uint16_t Code;
  } cases[] = {
      {std::string("\x88\x02\x03\xE9", 4), beClosed, 1001},
      {std::string("\x88\x00", 2), beClosed, 1005},
      {{}, beReset, 0},
  };
  for (const auto& c : cases) {
    for (auto* n : {&FTotals.Connected, &FTotals.TokenPassed, &FTotals.InGame, &FTotals.Sent})
      *n = 0;
    for (auto& e : FTotals.Errors) e = 0;
    SetUp();  // a fresh bot on the zeroed totals
    LogIn();
    uint64_t now = 1000000;
    SendProbes(2, now);
    std::string out;
    if (c.CloseFrame.empty()) {
      FBot->OnClosed();
    } else {
      EXPECT_FALSE(FBot->OnBytes(c.CloseFrame, out, now));
    }
    EXPECT_EQ(FTotals.Errors[c.Error].load(), 1u) << c.Code;
    EXPECT_EQ(FTotals.Errors[beCut].load(), 2u) << c.Code;
    EXPECT_EQ(FTotals.Errors[beLost].load(), 0u) << c.Code;
    EXPECT_EQ(FBot->PeerCloseCode(), c.Code);
  }
}

// Messages meant for another bot in the same gateway slot: a hand-over before this bot
// logged in or naming another bot, an echo of another bot's probe. Each is counted, and none
// moves the bot on or passes for its own.
TEST_F(BotClientTest, MessagesOfAnotherBotAreCountedAsMisdelivered) {
  ReachLogin(true);
  EXPECT_EQ(FTotals.Errors[beMisdelivered].load(), 1u) << "the hand-over before the greeting";
  std::string out;
  ASSERT_TRUE(FBot->OnBytes(Binary(PassMessage(kSimHandOverIdent, "OK bot4 secret")), out, 2800));
  ASSERT_TRUE(FBot->OnBytes(Binary(PassMessage(kSimHandOverIdent, "OK bot421 x")), out, 2900));
  EXPECT_EQ(FBot->Stage(), TBotClient::TStage::bsLogin);
  EXPECT_EQ(FTotals.Errors[beMisdelivered].load(), 3u);
  ASSERT_TRUE(FBot->OnBytes(Binary(PassMessage(kSimHandOverIdent, "OK bot42 secret")), out, 3000));
  EXPECT_EQ(FBot->Stage(), TBotClient::TStage::bsPlaying);

  uint64_t now = 1000000;
  auto mine = SendProbes(1, now);
  for (int kind = 0; kind < 3; ++kind) {
    const uint32_t foreignSeq = (7u << 16) | static_cast<uint32_t>(kind + 1);  // bot 7's
    ASSERT_TRUE(FBot->OnBytes(
        Binary(Returned(BuildProbe(static_cast<TProbeKind>(kind), foreignSeq, now))), out, now));
  }
  EXPECT_EQ(FTotals.Errors[beMisdelivered].load(), 6u);
  EXPECT_EQ(FBot->Pending(), 1u) << "a foreign echo takes nothing off this bot's list";
  ASSERT_TRUE(FBot->OnBytes(Binary(Returned(mine[0])), out, now));
  EXPECT_EQ(FTotals.Echoed.load(), 1u);
  EXPECT_EQ(FTotals.Errors[beLost].load() + FTotals.Errors[beBadEcho].load(), 0u);
}

TEST_F(BotClientTest, NoProbesWhileNotSending) {
  LogIn();
  std::string out;
  for (uint64_t t = 0; t < 100; ++t) FBot->OnTick(1000000 + t * 100000, false, 100, out);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(FTotals.Sent.load(), 0u);
}

}  // namespace
