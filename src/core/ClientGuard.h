// TClientGuard: the operator's protection settings, enforced at the edge. The WebSocket
// listener consults it for every accepted connection before any byte is read, and the
// gateway server for every client message:
//  - refused at accept (closed at once, counted): an address on the temporary or the
//    permanent block list (IsBlockIP, "prefix*" included); an address that already holds
//    MaxConnOfIPaddr live connections (the IP manager's limit; 0: none); an address that
//    opened more than ConnectionATKCount connections within ConnectionATKSec seconds
//    (either 0: no limit) — a connection flood, handled as an attack;
//  - ClientTimeOut: a connection that has not passed the token check within that many
//    milliseconds of its accept is closed with one line (the listener's I/O thread keeps
//    the deadline; the gateway clears it when the check passes);
//  - attacks: a message over MaxClientPacketSize (with KickOverPacketSize), more than
//    MaxClientMsgCount messages in one receive, a connection flood. BlockMethod decides:
//    mDisconnect closes, mBlock also puts the address on the temporary list, mBlockList
//    on the permanent list and saves BlockIPList.txt;
//  - every address put on a block list, by whoever, has its live connections closed;
//  - with ClearTempList, temporary blocks older than ClearTempBlockListTime end (checked
//    about once a second);
//  - at most one log line per cause per second, with the count of the lines held back;
//    a counter per cause on the server's set (SetStats). The per-message warnings of the gateway
//    server and its workers (ClientLine) are limited the same way, one line per kind per second;
//  - malformed messages (MalformedMessage) are counted per connection: at
//    limits::kMaxMalformedMessages the connection is closed with status 1008;
//  - IPv6 clients are counted per /64 (limits::kIPv6GroupPrefixBits) for MaxConnOfIPaddr
//    and the flood window; IPv4 clients per address (AddressGroupKey).
//
// Settings are copied by ApplySettings (on every start, reload and confirmed dialog) and
// apply to new connections and messages at once.
//
// Thread safety: ApplySettings, SetLogger, Start and Stop belong to the owner's thread;
// everything else is safe from any thread. Locks: FLock guards the live table and the
// flood windows and is never held while a connection is closed or the IP manager called.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/GateWayStats.h"
#include "common/LogRateLimiter.h"
#include "config/CustomGateWayConfig.h"
#include "config/GateIPManager.h"
#include "core/FloodWindow.h"
#include "logging/LogLevel.h"
#include "net/ConnectionGuard.h"
#include "net/IWebSocketConnection.h"

namespace gw {

// What the guard counts and logs.
enum class TGuardCause : uint8_t {
  gcRefusedBlocked,    // refused at accept: the address is blocked
  gcRefusedOverLimit,  // refused at accept: the address holds MaxConnOfIPaddr connections
  gcFlood,             // refused at accept: connection flood (an attack)
  gcTimeOut,           // closed: no token check passed within ClientTimeOut
  gcOversize,          // closed: message over MaxClientPacketSize (an attack)
  gcMessageCount,      // closed: over MaxClientMsgCount messages in one receive (an attack)
  gcMalformed,         // a malformed message (dropped)
  gcMalformedClosed,   // closed: limits::kMaxMalformedMessages malformed messages
  gcTokenRefused,      // closed: a wrong token answer
  Count
};

inline constexpr size_t kGuardCauseCount = static_cast<size_t>(TGuardCause::Count);

// The per-message log lines of the gateway server and its workers, each limited to one line
// per second (with the count of the lines held back).
enum class TClientLine : uint8_t {
  clTooShort,         // "收到的数据太短了:…"
  clEmptyAnswer,      // "Token解码为空:…"
  clUndecodable,      // a token answer that does not decode
  clTokenMismatch,    // "授权校验失败:… -> …"
  clUnauthorised,     // "踢出连接,没经过授权的连接:…"
  clRefusedClose,     // "CloseSession:…,原因:授权失败" of a refused token answer
  clWrongSize,        // "[错误]: 不正确的MoveMsg/AttackMsg 大小:…"
  clUnknownType,      // a game message of a type the gateway does not relay
  clMalformedClosed,  // a connection closed for its malformed messages
  clLogicTooShort,  // "逻辑服务器数据包长度不足…", "GM_LOGIC_GATE_… 数据长度不一致"
  clLoginDollar,  // "… refused a client message holding "$" …"
  Count
};

inline constexpr size_t kClientLineCount = static_cast<size_t>(TClientLine::Count);
class TClientGuard final : public IConnectionGuard,
                           public std::enable_shared_from_this<TClientGuard> {
 public:
  explicit TClientGuard(TGateIPManager& IPManager);
  ~TClientGuard() override;
  TClientGuard(const TClientGuard&) = delete;
  TClientGuard& operator=(const TClientGuard&) = delete;

  // Copies the protection settings; new connections and messages follow them at once.
  void ApplySettings(const TCustomGateWayConfig& Config);
  void SetLogger(TLogProc Logger) { FLogger = std::move(Logger); }
  // Starts the housekeeping thread (temporary blocks, held-back log counts, saves of the
  // block list) and starts closing the connections of addresses being blocked.
  void Start();
  void Stop();

  // For every client message, on its I/O thread, before it is handled: false when the
  // message is an attack (the connection is closed then and the message must be dropped).
  bool CheckMessage(IWebSocketConnection& Connection, size_t Size);

  // Writes a per-message line (client text in it already escaped with LogText), at most one
  // per kind per second; the next one names the lines held back, and the housekeeping reports
  // those of a kind that went quiet.
  void ClientLine(TClientLine Kind, const std::string& Line, TLogLevel Level = llWarning);
  // One malformed message of Connection, whose count so far is Counter (per connection):
  // counted (gcMalformed), its line written through ClientLine. At
  // limits::kMaxMalformedMessages the connection is closed with status 1008 (one line of
  // clMalformedClosed) and false is returned: the caller drops the connection's messages.
  bool MalformedMessage(IWebSocketConnection& Connection, std::atomic<uint32_t>& Counter,
                        TClientLine Kind, const std::string& Line);
  // Counts a refused token answer (gcTokenRefused).
  void CountTokenRefused();

  // IConnectionGuard
  bool AdmitConnection(const std::string& PeerAddr) override;
  void ConnectionOpened(const std::shared_ptr<IAdmittedConnection>& Connection) override;
  void ConnectionClosed(const std::string& PeerAddr, uint64_t UID) override;
  uint32_t AdmissionTimeoutMs() const override { return FClientTimeOut.load(); }
  void AdmissionTimedOut(const std::string& PeerAddr, TAdmissionStage Stage) override;

  // Live connections of an address's group (the address itself, or its IPv6 /64) as the guard
  // counts them.
  int LiveConnections(const std::string& PeerAddr) const;
  // Closes the live connections whose addresses a block list entry covers (as IsBlockIP
  // matches them). Returns how many it closed.
  int CloseBlocked(const std::string& Entry);

  // Where the guard counts: the server's set (null: a set of the guard's own, as before the
  // call). Before Start; the set must outlive the guard.
  void SetStats(TGateWayStats* Stats);
  // The counters on that set, any thread.
  uint64_t Count(TGuardCause Cause) const;
  // The counter's name as the summaries show it, e.g. "refused_blocked".
  static std::string_view CauseName(TGuardCause Cause);
  // "refused_blocked=0 refused_over_limit=0 flood=0 time_out=0 oversize=0 message_count=0"
  std::string CountersText() const;
  // The same text with every count 0 (no server runs).
  static std::string ZeroCountersText();

 private:
  struct TAddressConnections {
    int Live = 0;  // admitted and not yet closed
    // Usually one or a few per address: a short list costs far less per idle client than
    // a hash table of its own, and is searched only when a connection closes.
    std::vector<std::pair<uint64_t, std::weak_ptr<IAdmittedConnection>>> Connections;
  };

  // Counts, logs (rate-limited) and acts on an attack; closes Connection when given.
  void Attack(TGuardCause Cause, const std::string& PeerAddr, const std::string& What,
              IWebSocketConnection* Connection);
  void Note(TGuardCause Cause, const std::string& Line);
  void CountCause(TGuardCause Cause);
  // Logs the line unless its kind already had one this second; the next line that passes
  // says how many were held back.
  void LimitedLine(TLogRateLimiter& Limiter, size_t Kind, const std::string& Line, TLogLevel Level);
  void Log(const std::string& Text, TLogLevel Level) const {
    if (FLogger) FLogger(Text, Level);
  }
  void Housekeeping();
  void HousekeepingPass();

  TGateIPManager& FIPManager;
  TGateWayStats FOwnStats;
  TGateWayStats* FStats = &FOwnStats;
  TLogProc FLogger;
  TLogRateLimiter FLogLimiter{kGuardCauseCount};
  TLogRateLimiter FLineLimiter{kClientLineCount};

  std::atomic<uint32_t> FClientTimeOut{5000};
  std::atomic<int32_t> FMaxClientPacketSize{7000};
  std::atomic<bool> FKickOverPacketSize{true};
  std::atomic<int32_t> FMaxClientMsgCount{20};
  std::atomic<int32_t> FBlockMethod{mDisconnect};
  std::atomic<bool> FClearTempList{true};
  std::atomic<uint32_t> FClearTempBlockListTime{12000};
  std::atomic<uint32_t> FConnectionATKSec{0};
  std::atomic<uint32_t> FConnectionATKCount{0};

  mutable std::mutex FLock;                                    // guards FLive and FFlood
  std::unordered_map<std::string, TAddressConnections> FLive;  // by AddressGroupKey
  TFloodWindow FFlood;

  int FListenerId = 0;
  std::mutex FHousekeepingLock;  // guards FStopping and FSavePending
  std::condition_variable FHousekeepingWake;
  bool FStopping = false;
  bool FSavePending = false;
  std::thread FHousekeeping;
};

using PClientGuard = std::shared_ptr<TClientGuard>;

}  // namespace gw
