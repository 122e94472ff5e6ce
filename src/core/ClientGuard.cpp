#include "core/ClientGuard.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "common/Platform.h"
#include "config/BlockListMatcher.h"
#include "config/IPAddress.h"
#include "config/TextFile.h"

namespace gw {

namespace {

// The counter of the server's set behind each cause.
constexpr std::array<std::atomic<uint64_t> TGateWayStats::*, kGuardCauseCount> kCauseCounters = {
    &TGateWayStats::RefusedBlocked, &TGateWayStats::RefusedOverLimit, &TGateWayStats::Flood,
    &TGateWayStats::TokenTimeOut,   &TGateWayStats::Oversize,         &TGateWayStats::MessageCount,
    &TGateWayStats::Malformed,      &TGateWayStats::MalformedClosed,  &TGateWayStats::TokenRefused,
};

constexpr std::array<std::string_view, kGuardCauseCount> kCauseNames = {
    "refused_blocked", "refused_over_limit", "flood",
    "time_out",        "oversize",           "message_count",
    "malformed",       "malformed_closed",   "token_refused",
};

// What a held-back line was about, for the line that reports the count.
constexpr std::array<std::string_view, kGuardCauseCount> kCauseTexts = {
    "refused blocked addresses", "refused addresses over MaxConnOfIPaddr",
    "connection floods",         "client time-outs",
    "oversized messages",        "too many messages in one receive",
    "malformed messages",        "connections closed for malformed messages",
    "refused token answers",
};

constexpr std::array<std::string_view, kClientLineCount> kLineTexts = {
    "messages too short",
    "empty token answers",
    "undecodable token answers",
    "token answer mismatches",
    "unauthorised connections",
    "closes after a refused token answer",
    "game messages of a wrong size",
    "game messages of an unknown type",
    "connections closed for malformed messages",
    "logic packets too short",
    "login messages holding \"$\"",
};

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

uint32_t NonNegative(int32_t Value) { return Value > 0 ? static_cast<uint32_t>(Value) : 0; }

const char* StageText(TAdmissionStage Stage) {
  switch (Stage) {
    case asNothingSent:
      return "nothing sent";
    case asHeader:
      return "HTTP header still arriving";
    case asUnanswered:
      return "challenge unanswered";
    case asProxyHeader:
      return "PROXY header still arriving";
    case asTlsHandshake:
      return "TLS handshake unfinished";
  }
  return "";
}

}  // namespace

TClientGuard::TClientGuard(TGateIPManager& IPManager) : FIPManager(IPManager) {
  FFlood.SetStats(FStats);
}

TClientGuard::~TClientGuard() { Stop(); }

void TClientGuard::ApplySettings(const TCustomGateWayConfig& Config) {
  FClientTimeOut.store(NonNegative(Config.ClientTimeOut));
  FMaxClientPacketSize.store(Config.MaxClientPacketSize);
  FKickOverPacketSize.store(Config.KickOverPacketSize);
  FMaxClientMsgCount.store(Config.MaxClientMsgCount);
  FBlockMethod.store(Config.BlockMethod);
  FClearTempList.store(Config.ClearTempList);
  FClearTempBlockListTime.store(NonNegative(Config.ClearTempBlockListTime));
  FConnectionATKSec.store(NonNegative(Config.ConnectionATKSec));
  FConnectionATKCount.store(NonNegative(Config.ConnectionATKCount));
}

void TClientGuard::Start() {
  if (FHousekeeping.joinable()) return;
  std::weak_ptr<TClientGuard> weak = weak_from_this();
  FListenerId = FIPManager.AddBlockListener([weak](const std::string& address) {
    if (auto guard = weak.lock()) guard->CloseBlocked(address);
  });
  {
    std::lock_guard<std::mutex> guard(FHousekeepingLock);
    FStopping = false;
  }
  FHousekeeping = std::thread([this] { Housekeeping(); });
}

void TClientGuard::Stop() {
  if (FListenerId != 0) {
    FIPManager.RemoveBlockListener(FListenerId);
    FListenerId = 0;
  }
  if (!FHousekeeping.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(FHousekeepingLock);
    FStopping = true;
  }
  FHousekeepingWake.notify_all();
  FHousekeeping.join();
  HousekeepingPass();  // a save asked for at the last moment still happens
}

void TClientGuard::Housekeeping() {
  NameCurrentThread("gw-guard");
  std::unique_lock<std::mutex> lock(FHousekeepingLock);
  while (!FStopping) {
    FHousekeepingWake.wait_for(lock, std::chrono::seconds(1),
                               [this] { return FStopping || FSavePending; });
    if (FStopping) break;
    lock.unlock();
    HousekeepingPass();
    lock.lock();
  }
}

void TClientGuard::HousekeepingPass() {
  bool save;
  {
    std::lock_guard<std::mutex> guard(FHousekeepingLock);
    save = FSavePending;
    FSavePending = false;
  }
  if (save) FIPManager.SaveBlockIPList();
  if (FClearTempList.load()) FIPManager.RemoveTempBlockIP(uint64_t{FClearTempBlockListTime.load()});
  const uint64_t now = NowMs();
  {
    std::lock_guard<std::mutex> guard(FLock);
    FFlood.Prune(now, uint64_t{FConnectionATKSec.load()} * 1000);
  }
  for (const auto& [cause, count] : FLogLimiter.TakeSuppressed(now)) {
    Log(std::to_string(count) + " similar lines suppressed: " + std::string(kCauseTexts[cause]),
        llWarning);
  }
  for (const auto& [kind, count] : FLineLimiter.TakeSuppressed(now)) {
    Log(std::to_string(count) + " similar lines suppressed: " + std::string(kLineTexts[kind]),
        llWarning);
  }
}

void TClientGuard::LimitedLine(TLogRateLimiter& Limiter, size_t Kind, const std::string& Line,
                               TLogLevel Level) {
  uint64_t suppressed = 0;
  if (!Limiter.Allow(Kind, NowMs(), suppressed)) return;
  if (suppressed > 0) {
    Log(Line + " (" + std::to_string(suppressed) + " similar lines suppressed)", Level);
  } else {
    Log(Line, Level);
  }
}

void TClientGuard::ClientLine(TClientLine Kind, const std::string& Line, TLogLevel Level) {
  LimitedLine(FLineLimiter, static_cast<size_t>(Kind), Line, Level);
}

bool TClientGuard::MalformedMessage(IWebSocketConnection& Connection,
                                    std::atomic<uint32_t>& Counter, TClientLine Kind,
                                    const std::string& Line) {
  CountCause(TGuardCause::gcMalformed);
  const uint32_t count = Counter.fetch_add(1) + 1;
  if (count < limits::kMaxMalformedMessages) {
    ClientLine(Kind, Line);
    return true;
  }
  if (count > limits::kMaxMalformedMessages) return false;  // already being closed
  CountCause(TGuardCause::gcMalformedClosed);
  FStats->Count(TLimitBreach::lbMalformedMessages);
  ClientLine(TClientLine::clMalformedClosed, "Closed " + Connection.PeerAddr() + ": " +
                                                 std::to_string(limits::kMaxMalformedMessages) +
                                                 " malformed messages (last: " + Line + ")");
  Connection.CloseWithStatus(wccPolicy);
  return false;
}

void TClientGuard::CountTokenRefused() { CountCause(TGuardCause::gcTokenRefused); }

void TClientGuard::Note(TGuardCause Cause, const std::string& Line) {
  CountCause(Cause);
  LimitedLine(FLogLimiter, static_cast<size_t>(Cause), Line, llWarning);
}

void TClientGuard::Attack(TGuardCause Cause, const std::string& PeerAddr, const std::string& What,
                          IWebSocketConnection* Connection) {
  const auto method = static_cast<TBlockIPMethod>(FBlockMethod.load());
  const char* action = method == mBlock       ? "put on the temporary block list"
                       : method == mBlockList ? "put on the permanent block list"
                                              : "disconnected";
  Note(Cause, "Attack from " + PeerAddr + ": " + What + "; " + action);
  if (Connection != nullptr) Connection->CloseWithStatus(wccPolicy);
  if (method == mBlock) {
    FIPManager.AddTempBlockIP(PeerAddr);  // closes the address's other connections
  } else if (method == mBlockList) {
    FIPManager.AddBlockIP(PeerAddr, /*SaveHere=*/false);
    {
      std::lock_guard<std::mutex> guard(FHousekeepingLock);
      FSavePending = true;
    }
    // Written by the housekeeping thread: no file work on an I/O thread.
    FHousekeepingWake.notify_all();
  }
}

bool TClientGuard::AdmitConnection(const std::string& PeerAddr) {
  if (FIPManager.IsBlockIP(PeerAddr)) {
    Note(TGuardCause::gcRefusedBlocked, "Refused " + PeerAddr + ": the address is blocked");
    return false;
  }
  const uint32_t windowSec = FConnectionATKSec.load();
  const uint32_t floodCount = FConnectionATKCount.load();
  const int32_t limit = FIPManager.MaxConnections();
  const std::string group = AddressGroupKey(PeerAddr);
  bool flood = false, over = false;
  {
    std::lock_guard<std::mutex> guard(FLock);
    flood = FFlood.Hit(group, NowMs(), uint64_t{windowSec} * 1000, floodCount);
    if (!flood) {
      auto it = FLive.find(group);
      if (limit > 0 && it != FLive.end() && it->second.Live >= limit) {
        over = true;
      } else {
        ++FLive[group].Live;
      }
    }
  }
  if (flood) {
    Attack(TGuardCause::gcFlood, PeerAddr,
           "more than " + std::to_string(floodCount) + " connections within " +
               std::to_string(windowSec) + " s (connection flood)",
           nullptr);
    return false;
  }
  if (over) {
    Note(TGuardCause::gcRefusedOverLimit,
         "Refused " + PeerAddr + ": " + (group == PeerAddr ? "it" : group) + " already holds " +
             std::to_string(limit) + " connections (MaxConnOfIPaddr)");
    return false;
  }
  return true;
}

void TClientGuard::ConnectionOpened(const std::shared_ptr<IAdmittedConnection>& Connection) {
  const std::string group = AddressGroupKey(Connection->AdmittedAddr());
  std::lock_guard<std::mutex> guard(FLock);
  FLive[group].Connections.emplace_back(Connection->AdmittedUID(), Connection);
}

void TClientGuard::ConnectionClosed(const std::string& PeerAddr, uint64_t UID) {
  const std::string group = AddressGroupKey(PeerAddr);
  std::lock_guard<std::mutex> guard(FLock);
  auto it = FLive.find(group);
  if (it == FLive.end()) return;
  auto& list = it->second.Connections;
  auto entry =
      std::find_if(list.begin(), list.end(), [UID](const auto& e) { return e.first == UID; });
  if (entry != list.end()) {
    *entry = std::move(list.back());
    list.pop_back();
  }
  if (--it->second.Live <= 0) FLive.erase(it);
}

void TClientGuard::AdmissionTimedOut(const std::string& PeerAddr, TAdmissionStage Stage) {
  Note(TGuardCause::gcTimeOut, "Client time-out " + PeerAddr + ": no token check passed within " +
                                   std::to_string(FClientTimeOut.load()) + " ms (" +
                                   StageText(Stage) + "); closed");
}

bool TClientGuard::CheckMessage(IWebSocketConnection& Connection, size_t Size) {
  const int32_t maxSize = FMaxClientPacketSize.load();
  if (FKickOverPacketSize.load() && maxSize > 0 && Size > static_cast<size_t>(maxSize)) {
    Attack(TGuardCause::gcOversize, Connection.PeerAddr(),
           "message of " + std::to_string(Size) + " bytes over MaxClientPacketSize " +
               std::to_string(maxSize),
           &Connection);
    return false;
  }
  const int32_t maxCount = FMaxClientMsgCount.load();
  if (maxCount > 0 && Connection.MessagesInThisRead() > static_cast<uint32_t>(maxCount)) {
    Attack(TGuardCause::gcMessageCount, Connection.PeerAddr(),
           "more than " + std::to_string(maxCount) + " messages in one receive (MaxClientMsgCount)",
           &Connection);
    return false;
  }
  return true;
}

int TClientGuard::LiveConnections(const std::string& PeerAddr) const {
  const std::string group = AddressGroupKey(PeerAddr);
  std::lock_guard<std::mutex> guard(FLock);
  auto it = FLive.find(group);
  return it == FLive.end() ? 0 : it->second.Live;
}

int TClientGuard::CloseBlocked(const std::string& Entry) {
  const TBlockListEntry entry = ParseBlockListEntry(Entry);
  if (entry.Text.empty()) return 0;  // refused by the list as well
  TBlockListMatcher matcher;
  matcher.Add(entry);
  std::vector<std::shared_ptr<IAdmittedConnection>> doomed;
  {
    std::lock_guard<std::mutex> guard(FLock);
    for (const auto& [group, live] : FLive) {
      for (const auto& [uid, weak] : live.Connections) {
        auto connection = weak.lock();
        if (connection && matcher.Matches(connection->AdmittedAddr())) {
          doomed.push_back(std::move(connection));
        }
      }
    }
  }
  // Closed outside the lock: each close reports back through ConnectionClosed.
  int closed = 0;
  for (const auto& connection : doomed) {
    if (connection->CloseAdmitted()) ++closed;
  }
  return closed;
}

void TClientGuard::SetStats(TGateWayStats* Stats) {
  FStats = Stats ? Stats : &FOwnStats;
  FFlood.SetStats(FStats);
}

void TClientGuard::CountCause(TGuardCause Cause) {
  auto i = static_cast<size_t>(Cause);
  if (i < kGuardCauseCount) TGateWayStats::Add(FStats->*kCauseCounters[i]);
}

uint64_t TClientGuard::Count(TGuardCause Cause) const {
  auto i = static_cast<size_t>(Cause);
  return i < kGuardCauseCount ? TGateWayStats::Value(FStats->*kCauseCounters[i]) : 0;
}

std::string_view TClientGuard::CauseName(TGuardCause Cause) {
  auto i = static_cast<size_t>(Cause);
  return i < kGuardCauseCount ? kCauseNames[i] : std::string_view{};
}

std::string TClientGuard::ZeroCountersText() {
  std::string text;
  for (size_t i = 0; i < kGuardCauseCount; ++i) {
    if (!text.empty()) text += ' ';
    text += std::string(kCauseNames[i]) + "=0";
  }
  return text;
}

std::string TClientGuard::CountersText() const {
  std::string text;
  for (size_t i = 0; i < kGuardCauseCount; ++i) {
    if (!text.empty()) text += ' ';
    text += std::string(kCauseNames[i]) + "=" + std::to_string(Count(static_cast<TGuardCause>(i)));
  }
  return text;
}

}  // namespace gw
