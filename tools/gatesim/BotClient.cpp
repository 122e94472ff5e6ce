#include "BotClient.h"

#include <vector>

#include "codec/TokenHandshake.h"

namespace gw {

namespace {

constexpr size_t kChallengeHeader = 33;  // type byte + default message
constexpr uint16_t kTokenIdent = 4297;
constexpr uint8_t kBatchType = 0x80;
constexpr uint8_t kPassType = 5;
// A probe's sequence number: the bot's identity in the high half, a counter in the low half.
constexpr uint32_t kSeqIdentityShift = 16;
constexpr uint32_t kSeqCounterMask = 0xFFFF;

uint32_t BotIdentity(uint32_t Index) { return Index & kSeqCounterMask; }

uint16_t FirstWord(std::string_view M) {
  return M.size() >= 3 ? ReadLe16(M.data() + 1) : uint16_t{0xFFFF};
}

}  // namespace

const char* BotErrorName(TBotError E) {
  switch (E) {
    case beConnect:
      return "connect";
    case beUpgrade:
      return "upgrade";
    case beChallenge:
      return "challenge";
    case beLoginTimeout:
      return "login timeout";
    case beClosed:
      return "closed early";
    case beProtocol:
      return "protocol";
    case beBadEcho:
      return "bad echo";
    case beLost:
      return "lost";
    case beMisdelivered:
      return "misdelivered";
    case beRefused:
      return "refused";
    case beReset:
      return "reset";
    case beCut:
      return "cut";
    case beErrorCount:
      break;
  }
  return "?";
}

uint64_t TBotTotals::ErrorTotal() const {
  uint64_t sum = 0;
  for (const auto& e : Errors) sum += e.load(std::memory_order_relaxed);
  return sum;
}

TBotClient::TBotClient(const TBotConfig& Config, TBotTotals& Totals, TLatencyHistogram& RoundTrips)
    : FConfig(Config),
      FTotals(Totals),
      FRoundTrips(RoundTrips),
      FMask(0x9E3779B9u * (Config.Index + 1)) {}

void TBotClient::Enter(TStage S, uint64_t NowMicros) {
  FStage = S;
  FStageSince = NowMicros;
}

void TBotClient::SendMessage(std::string_view Message, std::string& Out) {
  // A cheap per-frame mask (xorshift): masking keeps proxies honest, it is not a secret here.
  FMask ^= FMask << 13;
  FMask ^= FMask >> 17;
  FMask ^= FMask << 5;
  TWsClient::AppendFrame(Out, wsoBinary, Message, FMask);
}

void TBotClient::OnConnected(std::string& Out) {
  Out += FWs.UpgradeRequest(FConfig.Host, FConfig.Port, FConfig.Path);
  Enter(TStage::bsUpgrading, MonotonicMicros());
}

void TBotClient::Fail(TBotError E) {
  if (FStage == TStage::bsDone) return;
  FTotals.Count(E);
  FStage = TStage::bsDone;
}

void TBotClient::ClosedUnder(TBotError E) {
  if (FStage == TStage::bsDone) return;
  if (!FPending.empty()) FTotals.Errors[beCut].fetch_add(FPending.size());
  FPending.clear();
  Fail(E);
}

void TBotClient::OnClosed() { ClosedUnder(beReset); }

void TBotClient::Finish(std::string& Out) {
  if (FStage == TStage::bsDone) return;
  if (!FPending.empty()) FTotals.Errors[beLost].fetch_add(FPending.size());
  FPending.clear();
  if (FStage != TStage::bsConnecting && FStage != TStage::bsUpgrading) {
    TWsClient::AppendFrame(Out, wsoClose, {}, FMask);
  }
  FStage = TStage::bsDone;
}

bool TBotClient::OnBytes(std::string_view Data, std::string& Out, uint64_t NowMicros) {
  if (FStage == TStage::bsDone) return false;
  FIn.append(Data);
  if (FStage == TStage::bsUpgrading) {
    auto st = FWs.FeedHandshake(FIn);
    if (st == TWsClient::TStatus::wsNeedMore) return true;
    if (st == TWsClient::TStatus::wsError) {
      Fail(beUpgrade);
      return false;
    }
    FTotals.Connected.fetch_add(1, std::memory_order_relaxed);
    Enter(TStage::bsChallenge, NowMicros);
  }
  std::vector<TWsEvent> events;
  if (FWs.FeedFrames(FIn, events) == TWsClient::TStatus::wsError) {
    Fail(beProtocol);
    return false;
  }
  for (auto& ev : events) {
    switch (ev.OpCode) {
      case wsoPing:
        TWsClient::AppendFrame(Out, wsoPong, ev.Payload, FMask);
        break;
      case wsoClose:
        FPeerCloseCode = ev.Payload.size() >= 2
                             ? static_cast<uint16_t>(static_cast<uint8_t>(ev.Payload[0]) << 8 |
                                                     static_cast<uint8_t>(ev.Payload[1]))
                             : uint16_t{1005};
        ClosedUnder(beClosed);
        return false;
      case wsoText:
      case wsoBinary:
        if (!HandleMessage(ev.Payload, Out, NowMicros)) return false;
        break;
      default:
        break;
    }
  }
  return true;
}

bool TBotClient::HandleMessage(std::string_view M, std::string& Out, uint64_t NowMicros) {
  if (!M.empty() && static_cast<uint8_t>(M[0]) == kBatchType) {
    // A batch: entries of a 4-byte length and that many bytes, each a whole message.
    size_t pos = 1;
    while (pos < M.size()) {
      if (M.size() - pos < 4) {
        Fail(beProtocol);
        return false;
      }
      uint32_t len = ReadLe32(M.data() + pos);
      pos += 4;
      if (len == 0 || len > M.size() - pos) {
        Fail(beProtocol);
        return false;
      }
      if (!HandleMessage(M.substr(pos, len), Out, NowMicros)) return false;
      pos += len;
    }
    return true;
  }
  switch (FStage) {
    case TStage::bsChallenge: {
      if (M.size() <= kChallengeHeader || M[0] != 0 || FirstWord(M) != kTokenIdent) {
        Fail(beChallenge);
        return false;
      }
      auto answer = TokenAnswerText(M.substr(kChallengeHeader), *FConfig.Keys);
      if (!answer) {
        Fail(beChallenge);
        return false;
      }
      // The gateway skips the first two bytes and the last byte of the answer.
      SendMessage("#0" + *answer + "!", Out);
      Enter(TStage::bsGreeting, NowMicros);
      return true;
    }
    case TStage::bsGreeting:
      if (M.size() >= 3 && M[0] == kPassType && FirstWord(M) == kSimHandOverIdent) {
        // This bot has not logged in yet: the hand-over is another session's.
        FTotals.Count(beMisdelivered);
        return true;
      }
      if (M.size() >= 3 && M[0] == kPassType && FirstWord(M) == kSimGreetIdent) {
        FTotals.TokenPassed.fetch_add(1, std::memory_order_relaxed);
        SendMessage(
            std::string(kSimLoginPrefix) + "bot" + std::to_string(FConfig.Index) + " secret", Out);
        Enter(TStage::bsLogin, NowMicros);
      }
      return true;
    case TStage::bsLogin:
      if (M.size() >= 3 && M[0] == kPassType && FirstWord(M) == kSimHandOverIdent) {
        // The login server repeats the login name: another name is another bot's hand-over.
        const std::string mine = "OK bot" + std::to_string(FConfig.Index) + " ";
        if (!M.substr(3).starts_with(mine)) {
          FTotals.Count(beMisdelivered);
          return true;
        }
        FTotals.InGame.fetch_add(1, std::memory_order_relaxed);
        Enter(TStage::bsPlaying, NowMicros);
      }
      return true;
    case TStage::bsPlaying:
      return HandleGameMessage(M, Out, NowMicros);
    default:
      return true;
  }
}

bool TBotClient::HandleGameMessage(std::string_view M, std::string& /*Out*/, uint64_t NowMicros) {
  auto echo = ParseProbeEcho(M);
  if (!echo) {
    // Speed times, configuration tables and login server leftovers are not probes. A message
    // that looks like a probe but does not read as one was damaged on the way.
    uint8_t type = M.empty() ? 0xFF : static_cast<uint8_t>(M[0]);
    bool probeLike = (type == 2 && M.size() >= 2 && M[1] == 'M') ||
                     (type == 4 && M.size() >= 2 && M[1] == 'A') ||
                     (type == 0 && FirstWord(M) == kSimEchoIdent);
    if (probeLike) {
      FTotals.Count(beBadEcho);
    } else {
      FTotals.Others.fetch_add(1, std::memory_order_relaxed);
    }
    return true;
  }
  if (echo->Seq >> kSeqIdentityShift != BotIdentity(FConfig.Index)) {
    FTotals.Count(beMisdelivered);
    return true;
  }
  // Echoes come back in the order the probes went out; probes skipped over are lost.
  while (!FPending.empty() && FPending.front() != echo->Seq) {
    FPending.pop_front();
    FTotals.Count(beLost);
  }
  if (FPending.empty()) {
    FTotals.Count(beBadEcho);
    return true;
  }
  FPending.pop_front();
  FTotals.Echoed.fetch_add(1, std::memory_order_relaxed);
  FRoundTrips.Record(ProbeRoundTrip(*echo, NowMicros));
  return true;
}

void TBotClient::OnTick(uint64_t NowMicros, bool Sending, double Rate, std::string& Out) {
  if (FStage != TStage::bsPlaying || !Sending || Rate <= 0) return;
  uint64_t interval = static_cast<uint64_t>(1e6 / Rate);
  if (FNextSend == 0) {
    // Spread the bots over one interval so that they do not all send in the same millisecond.
    FNextSend = NowMicros + (uint64_t{FConfig.Index} * 7919u) % (interval + 1);
    return;
  }
  if (NowMicros < FNextSend) return;
  // After a stall, do not burst to catch up.
  if (NowMicros - FNextSend > 1000000) FNextSend = NowMicros;
  FNextSend += interval;
  const uint32_t counter = FNextSeq++ & kSeqCounterMask;
  if ((FNextSeq & kSeqCounterMask) == 0) FNextSeq = 1;
  const uint32_t seq = BotIdentity(FConfig.Index) << kSeqIdentityShift | counter;
  auto kind = static_cast<TProbeKind>(counter % kProbeKinds);
  SendMessage(BuildProbe(kind, seq, NowMicros), Out);
  FPending.push_back(seq);
  FTotals.Sent.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace gw
