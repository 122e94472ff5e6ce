#include "AttackClients.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <vector>

#include "BotClients.h"
#include "EventPoller.h"
#include "SimSocket.h"
#include "SocketIo.h"
#include "WsClient.h"
#include "codec/DeploymentKeys.h"
#include "codec/TokenHandshake.h"

namespace gw {

namespace {

constexpr size_t kChallengeHeader = 33;  // type byte + default message
constexpr uint64_t kSlowlorisStepMs = 200;
constexpr uint64_t kRepeatMs = 100;        // oversize and msg-flood send again while open
constexpr uint64_t kConnFloodHoldMs = 50;  // long enough to see a refusal

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

const char* ModeName(TAttackMode Mode) {
  switch (Mode) {
    case TAttackMode::amSilent:
      return "silent";
    case TAttackMode::amSlowloris:
      return "slowloris";
    case TAttackMode::amNoAnswer:
      return "no-answer";
    case TAttackMode::amOversize:
      return "oversize";
    case TAttackMode::amMsgFlood:
      return "msg-flood";
    case TAttackMode::amConnFlood:
      return "conn-flood";
  }
  return "?";
}

}  // namespace

bool ParseSourceRange(const std::string& Text, uint32_t& First, uint32_t& Last) {
  std::string a = Text, b = Text;
  if (size_t dash = Text.find('-'); dash != std::string::npos) {
    a = Text.substr(0, dash);
    b = Text.substr(dash + 1);
  }
  in_addr x{}, y{};
  if (inet_pton(AF_INET, a.c_str(), &x) != 1 || inet_pton(AF_INET, b.c_str(), &y) != 1)
    return false;
  First = ntohl(x.s_addr);
  Last = ntohl(y.s_addr);
  return First <= Last;
}

namespace {

enum class TStage { stConnecting, stUpgrade, stChallenge, stAttacking };

struct TSlot {
  int Fd = -1;
  uint32_t Source = 0;  // host order; 0: none bound
  TStage Stage = TStage::stConnecting;
  uint64_t OpenedMs = 0;
  uint64_t NextActionMs = 0;
  uint64_t ReopenAtMs = 0;
  size_t HeaderSent = 0;  // slowloris
  bool GotBytes = false;
  std::string In, Out;
  size_t OutHead = 0;
  TWsClient Ws;
  uint32_t Mask = 0x9E3779B9u;
};

}  // namespace

bool ParseAttackMode(const std::string& Name, TAttackMode& Mode) {
  for (TAttackMode m :
       {TAttackMode::amSilent, TAttackMode::amSlowloris, TAttackMode::amNoAnswer,
        TAttackMode::amOversize, TAttackMode::amMsgFlood, TAttackMode::amConnFlood}) {
    if (Name == ModeName(m)) {
      Mode = m;
      return true;
    }
  }
  return false;
}

bool TAttackClients::Run(TAttackResult& Result, std::string& Error) {
  std::string host, path;
  uint16_t port = 0;
  if (!ParseWsUrl(FOptions.Url, host, port, path, Error)) return false;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &target.sin_addr) != 1) {
    Error = "the attack needs a numeric IPv4 address in --url, not " + host;
    return false;
  }
  uint32_t first = 0, last = 0;
  if (!FOptions.Sources.empty() && !ParseSourceRange(FOptions.Sources, first, last)) {
    Error = "--sources needs A.B.C.D or A.B.C.D-E.F.G.H, not " + FOptions.Sources;
    return false;
  }
  const TAttackMode mode = FOptions.Mode;
  const bool answers = mode == TAttackMode::amOversize || mode == TAttackMode::amMsgFlood;
  TDeploymentKeys keys;
  if (answers) {
    try {
      keys = LoadDeploymentKeys(FOptions.KeysFolder);
    } catch (const std::exception& e) {
      Error = std::string("handshake keys: ") + e.what();
      return false;
    }
  }
  TEventPoller poller;
  if (!poller.Ok()) {
    Error = SocketErrorText("poller");
    return false;
  }
  std::vector<TSlot> slots(FOptions.Count);
  for (size_t i = 0; i < slots.size(); ++i) {
    if (!FOptions.Sources.empty())
      slots[i].Source = first + static_cast<uint32_t>(i % (last - first + 1));
    slots[i].Mask ^= static_cast<uint32_t>(i * 2654435761u);
  }
  std::vector<uint64_t> held;
  const uint64_t start = NowMs();
  const uint64_t end = start + static_cast<uint64_t>(FOptions.DurationSec * 1000);
  const uint64_t reopenMs = static_cast<uint64_t>(FOptions.ReopenMs);
  // What slowloris dribbles (its answer is never read, so one key serves every slot).
  const std::string upgrade = TWsClient().UpgradeRequest(host, port, path.empty() ? "/" : path);

  auto send = [&](TSlot& s, std::string_view message) {
    s.Mask ^= s.Mask << 13;
    s.Mask ^= s.Mask >> 17;
    s.Mask ^= s.Mask << 5;
    TWsClient::AppendFrame(s.Out, wsoBinary, message, s.Mask);
  };
  auto attackPayload = [&](TSlot& s) {
    if (mode == TAttackMode::amOversize) {
      send(s, std::string(FOptions.Size, '#'));
    } else {
      for (uint32_t i = 0; i < FOptions.Burst; ++i) send(s, "#0flood!");
    }
  };
  // Ends a connection: the gateway's refusal (reset before any byte), its close, or ours.
  auto finish = [&](TSlot& s, bool reset, bool ours, uint64_t now) {
    if (s.Fd < 0) return;
    if (!ours) {
      if (reset && !s.GotBytes && s.HeaderSent == 0) {
        ++Result.Refused;
      } else {
        ++Result.Closed;
        held.push_back(now - s.OpenedMs);
      }
    }
    poller.Remove(s.Fd);
    SocketClose(s.Fd);
    s.Fd = -1;
    s.ReopenAtMs = now + (ours ? 0 : reopenMs);
  };
  auto flush = [&](TSlot& s, uint64_t now) {
    std::string error;
    if (s.Fd < 0 || s.Out.empty()) return;
    if (SendPending(s.Fd, s.Out, s.OutHead, error) == TIoStatus::ioClosed) {
      finish(s, true, false, now);
    } else if (!s.Out.empty()) {
      poller.WantWriteAgain(s.Fd);
    }
  };
  auto open = [&](TSlot& s, uint64_t now) {
    int fd = OpenStreamSocket();
    if (fd < 0) {
      s.ReopenAtMs = now + reopenMs;
      return;
    }
    if (s.Source != 0) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      local.sin_addr.s_addr = htonl(s.Source);
      bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local));
    }
    const uint32_t source = s.Source, mask = s.Mask;
    s = TSlot{};
    s.Fd = fd;
    s.Source = source;
    s.OpenedMs = now;
    s.Mask = mask;
    ++Result.Opened;
    if (!StartConnect(fd, target)) {
      finish(s, true, false, now);
      return;
    }
    poller.Add(fd, reinterpret_cast<uintptr_t>(&s), pfIn | pfOut | pfRdHup | pfEdge);
  };
  auto connected = [&](TSlot& s, uint64_t now) {
    if (ConnectError(s.Fd) != 0) {
      finish(s, true, false, now);
      return;
    }
    s.Stage = TStage::stAttacking;
    switch (mode) {
      case TAttackMode::amSilent:
        break;
      case TAttackMode::amSlowloris:
        s.NextActionMs = now;
        break;
      case TAttackMode::amConnFlood:
        s.NextActionMs = now + kConnFloodHoldMs;
        break;
      default:
        s.Stage = TStage::stUpgrade;
        s.Out = s.Ws.UpgradeRequest(host, port, path.empty() ? "/" : path);
        break;
    }
  };
  auto readable = [&](TSlot& s, uint64_t now) {
    char buf[65536];
    for (;;) {
      ssize_t n = SocketRecv(s.Fd, buf, sizeof(buf));
      if (n > 0) {
        s.GotBytes = true;
        if (s.Stage == TStage::stUpgrade || s.Stage == TStage::stChallenge) s.In.append(buf, n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      finish(s, n < 0, false, now);
      return;
    }
    if (s.Stage == TStage::stUpgrade) {
      auto status = s.Ws.FeedHandshake(s.In);
      if (status == TWsClient::TStatus::wsError) {
        finish(s, false, true, now);
        return;
      }
      if (status == TWsClient::TStatus::wsOk) s.Stage = TStage::stChallenge;
    }
    if (s.Stage == TStage::stChallenge) {
      std::vector<TWsEvent> events;
      if (s.Ws.FeedFrames(s.In, events) == TWsClient::TStatus::wsError) {
        finish(s, false, true, now);
        return;
      }
      for (const TWsEvent& e : events) {
        if (e.OpCode != wsoBinary || s.Stage != TStage::stChallenge) continue;
        s.Stage = TStage::stAttacking;
        s.In.clear();
        if (!answers) break;
        auto answer =
            e.Payload.size() > kChallengeHeader
                ? TokenAnswerText(std::string_view(e.Payload).substr(kChallengeHeader), keys)
                : std::nullopt;
        if (answer) send(s, "#0" + *answer + "!");
        attackPayload(s);
        s.NextActionMs = now + kRepeatMs;
      }
    }
  };

  TPollEvent events[256];
  for (;;) {
    uint64_t now = NowMs();
    if (now >= end) break;
    for (TSlot& s : slots) {
      if (s.Fd < 0) {
        if (now >= s.ReopenAtMs) open(s, now);
        continue;
      }
      if (s.Stage != TStage::stAttacking || s.NextActionMs == 0 || now < s.NextActionMs) continue;
      if (mode == TAttackMode::amSlowloris) {
        if (s.HeaderSent < upgrade.size()) {
          s.Out.push_back(upgrade[s.HeaderSent++]);
          s.NextActionMs += kSlowlorisStepMs;
          flush(s, now);
        }
      } else if (mode == TAttackMode::amConnFlood) {
        finish(s, false, true, now);
        open(s, now);
      } else if (answers && s.Out.empty()) {
        attackPayload(s);
        s.NextActionMs = now + kRepeatMs;
        flush(s, now);
      }
    }
    int n = poller.Wait(events, 256, 10);
    now = NowMs();
    for (int i = 0; i < n; ++i) {
      if (events[i].Tag == TEventPoller::kWakeTag) continue;
      TSlot& s = *reinterpret_cast<TSlot*>(static_cast<uintptr_t>(events[i].Tag));
      if (s.Fd < 0) continue;
      if (s.Stage == TStage::stConnecting && (events[i].Events & (pfOut | pfErr | pfHup))) {
        connected(s, now);
        if (s.Fd < 0) continue;
      }
      if (events[i].Events & (pfIn | pfRdHup | pfHup | pfErr)) readable(s, now);
      flush(s, now);
    }
  }
  for (TSlot& s : slots) {
    if (s.Fd >= 0) {
      ++Result.StillOpen;
      poller.Remove(s.Fd);
      SocketClose(s.Fd);
    }
  }
  std::sort(held.begin(), held.end());
  if (!held.empty()) {
    Result.HeldP50Ms = held[held.size() / 2];
    Result.HeldMaxMs = held.back();
  }
  Result.Summary =
      std::string("attack ") + ModeName(mode) + ": " + std::to_string(FOptions.Count) +
      " at a time for " + std::to_string(static_cast<int>(FOptions.DurationSec)) +
      " s: " + std::to_string(Result.Opened) + " opened, " + std::to_string(Result.Refused) +
      " refused at accept, " + std::to_string(Result.Closed) + " closed by the gateway (held p50 " +
      std::to_string(Result.HeldP50Ms) + " ms, max " + std::to_string(Result.HeldMaxMs) + " ms), " +
      std::to_string(Result.StillOpen) + " still open at the end\n";
  return true;
}

}  // namespace gw
