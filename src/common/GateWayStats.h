// TGateWayStats: every counter and gauge of one gateway server, declared once in
// GW_GATEWAY_STATS below. The list gives, in the order a scrape shows them, each metric
// family (name, type, label, help text, the README's description) followed by its series:
//  - COUNTER(Member, label value): a counter stored here (a member of that name);
//  - GAUGE(Member, label value): a gauge stored here, moved as things happen (never
//    computed by walking sessions at a scrape);
//  - SHOWN(Member, label value): a counter of this list shown once more under another
//    family (a connection flood is both a refusal and an attack);
//  - BREACH(...): the bounds of common/PeerLimits.h, one series each (GW_LIMIT_BREACHES);
//    SHOWN_BREACH(Id, label value) shows one of them under another family;
//  - READ(Id, label value): a value its owner reads at the scrape (a link's state, the
//    process's figures, a histogram) through the reader given to Render.
// From the list come the members, the exposition (Render) and the README's metric table
// (ReadmeTable, printed by `gatekit metrics-table`). A new metric is one more line.
//
// A server owns one set and hands a pointer to its listener, links, guard and workers
// before it starts them; a component made without one counts on a set of its own, so a
// test reads exactly what its own objects counted.
//
// Thread safety: every counter and gauge is a relaxed atomic, bumped and read from any
// thread (no ordering is needed: the figures are only shown). Render and ReadmeTable
// touch nothing shared.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/MetricsWriter.h"
#include "common/PeerLimits.h"

namespace gw {

// clang-format off
#define GW_GATEWAY_STATS(FAMILY, COUNTER, GAUGE, SHOWN, BREACH, SHOWN_BREACH, READ)                \
  FAMILY("gateway_sessions", "gauge", "", "",                                                     \
         "Live client sessions.", "live client sessions")                                         \
  READ(rdSessions, "")                                                                            \
  FAMILY("gateway_sessions_by_step", "gauge", "step", "",                                         \
         "Live client sessions by step: token check, login server, game.",                        \
         "sessions by how far they got")                                                          \
  GAUGE(SessionsToken, "token")                                                                   \
  GAUGE(SessionsLogin, "login")                                                                   \
  GAUGE(SessionsGame, "game")                                                                     \
  FAMILY("gateway_client_messages_received_total", "counter", "", "",                             \
         "WebSocket messages received from clients.", "client messages received")                 \
  COUNTER(ClientMessagesIn, "")                                                                   \
  FAMILY("gateway_client_messages_sent_total", "counter", "", "",                                 \
         "WebSocket messages sent to clients (a batch of game messages is one).",                 \
         "WebSocket messages sent to clients (a batch of game messages is one)")                  \
  COUNTER(ClientMessagesOut, "")                                                                  \
  FAMILY("gateway_client_bytes_received_total", "counter", "", "",                                \
         "Payload bytes received from clients.", "payload bytes received from clients")           \
  COUNTER(ClientBytesIn, "")                                                                      \
  FAMILY("gateway_client_bytes_sent_total", "counter", "", "",                                    \
         "Payload bytes sent to clients.", "payload bytes sent to clients")                       \
  COUNTER(ClientBytesOut, "")                                                                     \
  FAMILY("gateway_logic_bytes_received_total", "counter", "", "",                                 \
         "Bytes received from the logic server.", "bytes received from the logic server")         \
  COUNTER(LogicBytesIn, "")                                                                       \
  FAMILY("gateway_logic_bytes_sent_total", "counter", "", "",                                     \
         "Bytes sent to the logic server.", "bytes sent to the logic server")                     \
  COUNTER(LogicBytesOut, "")                                                                      \
  FAMILY("gateway_logic_link_up", "gauge", "", "",                                                \
         "1 while the logic server link is connected.",                                           \
         "1 while the link to the logic server is connected")                                     \
  READ(rdLogicLinkUp, "")                                                                         \
  FAMILY("gateway_login_link_up", "gauge", "", "",                                                \
         "1 while the login server link is connected.",                                           \
         "1 while the link to the login server is connected")                                     \
  READ(rdLoginLinkUp, "")                                                                         \
  FAMILY("gateway_logic_link_reconnects_total", "counter", "", "",                                \
         "Times the logic server link connected again after a loss.",                             \
         "times the logic link was connected again after a loss")                                 \
  COUNTER(LogicLinkReconnects, "")                                                                \
  FAMILY("gateway_login_link_reconnects_total", "counter", "", "",                                \
         "Times the login server link connected again after a loss.",                             \
         "times the login link was connected again after a loss")                                 \
  COUNTER(LoginLinkReconnects, "")                                                                \
  FAMILY("gateway_refused_connections_total", "counter", "reason", "",                            \
         "Client connections refused or closed before they were served, by reason.",              \
         "connections refused or closed before their token check, by reason")                     \
  COUNTER(RefusedBlocked, "blocked")                                                              \
  COUNTER(RefusedOverLimit, "over_limit")                                                         \
  COUNTER(Flood, "flood")                                                                         \
  COUNTER(TokenTimeOut, "time_out")                                                               \
  SHOWN_BREACH(lbAcceptNoDescriptor, "no_descriptor")                                             \
  SHOWN_BREACH(lbProxyUntrustedSource, "proxy_untrusted_source")                                  \
  SHOWN_BREACH(lbProxyHeaderInvalid, "proxy_header_invalid")                                      \
  SHOWN_BREACH(lbProxyHeaderTimeOut, "proxy_header_time_out")                                     \
  FAMILY("gateway_attacks_total", "counter", "cause", "",                                         \
         "Attacks the guard acted on, by cause.", "attacks the guard acted on")                   \
  SHOWN(Flood, "flood")                                                                           \
  COUNTER(Oversize, "oversize")                                                                   \
  COUNTER(MessageCount, "message_count")                                                          \
  FAMILY("gateway_client_faults_total", "counter", "cause", "",                                   \
         "Client faults the guard counted, by cause: malformed messages, connections closed "     \
         "for them, refused token answers.",                                                      \
         "malformed client messages, clients closed for them, refused token answers")             \
  COUNTER(Malformed, "malformed")                                                                 \
  COUNTER(MalformedClosed, "malformed_closed")                                                    \
  COUNTER(TokenRefused, "token_refused")                                                          \
  FAMILY("gateway_limit_breaches_total", "counter", "limit",                                      \
         "`limit`: every bound of `src/common/PeerLimits.h` (listed below)",              \
         "Times a bound held against a peer was hit, by bound.",                                  \
         "times a bound held against a peer was hit")                                             \
  GW_LIMIT_BREACHES(BREACH)                                                                       \
  FAMILY("gateway_handshake_seconds", "histogram", "", "",                                        \
         "Time from a client's WebSocket open to its passed token check.",                        \
         "from the WebSocket open to the passed token check; buckets from 10 µs up to "           \
         "`ClientTimeOut`")                                                                       \
  READ(rdHandshakeSeconds, "")                                                                    \
  FAMILY("gateway_worker_queue_depth", "gauge", "worker", "`worker`",                             \
         "Messages waiting on a worker's queue for its next pass.",                               \
         "messages waiting for a worker's next pass")                                             \
  READ(rdWorkerQueueDepth, "")                                                                    \
  FAMILY("gateway_draining", "gauge", "", "",                                                    \
         "1 while the gateway drains: no new clients, live sessions relayed until they leave.",   \
         "1 while a drain runs (`--drain-seconds`, SIGTERM, the console's stop, the admin API)")  \
  READ(rdDraining, "")                                                                            \
  FAMILY("gateway_drain_sessions_remaining", "gauge", "", "",                                    \
         "Sessions a drain still waits for (0 when not draining).",                               \
         "sessions a drain still waits for; 0 when none runs")                                    \
  READ(rdDrainSessionsRemaining, "")                                                              \
  FAMILY("gateway_build_info", "gauge", "", "`version`, `commit`",                                \
         "The running build: version and commit.", "1; names the running build")                  \
  READ(rdBuildInfo, "")                                                                           \
  FAMILY("gateway_development_keys", "gauge", "", "",                                            \
         "1 while the handshake uses the built-in development keys every client developer "       \
         "knows (no GateKeys.txt).",                                                              \
         "1 while the built-in development handshake keys are in use")                            \
  READ(rdDevelopmentKeys, "")                                                                     \
  FAMILY("gateway_tls_certificate_expiry_timestamp_seconds", "gauge", "", "",                     \
         "When the client port's certificate expires (seconds since the epoch).",                 \
         "the client port certificate's end of validity (with TLS only)")                         \
  READ(rdTlsCertificateExpiry, "")                                                                \
  FAMILY("gateway_config_last_reload_successful", "gauge", "", "",                                \
         "1 when the last load of the settings (start or reload) succeeded.",                     \
         "1 when the last load of the settings (the start's, or a reload) took, 0 when it was "   \
         "refused")                                                                               \
  READ(rdConfigReloadSuccessful, "")                                                              \
  FAMILY("gateway_config_last_reload_timestamp_seconds", "gauge", "", "",                         \
         "When the settings were last loaded or tried (seconds since the epoch).",                \
         "when that was")                                                                         \
  READ(rdConfigReloadTimestamp, "")                                                               \
  FAMILY("process_cpu_seconds_total", "counter", "", "",                                          \
         "User and system CPU time of the process.", "user and system CPU time")                  \
  READ(rdProcessCpuSeconds, "")                                                                   \
  FAMILY("process_resident_memory_bytes", "gauge", "", "",                                        \
         "Resident memory of the process.", "resident memory")                                    \
  READ(rdProcessResidentMemory, "")                                                               \
  FAMILY("process_start_time_seconds", "gauge", "", "",                                           \
         "Start time of the process since the Unix epoch in seconds.",                            \
         "when the process started (Unix time)")                                                  \
  READ(rdProcessStartTime, "")                                                                    \
  FAMILY("process_open_fds", "gauge", "", "",                                                     \
         "Number of open file descriptors.", "open descriptors (not on Windows)")                 \
  READ(rdProcessOpenFds, "")                                                                      \
  FAMILY("process_max_fds", "gauge", "", "",                                                      \
         "Maximum number of open file descriptors.",                                              \
         "the process's descriptor limit (not on Windows)")                                       \
  READ(rdProcessMaxFds, "")
// clang-format on

// The values read at a scrape by the owner of a set (READ lines above).
enum class TStatRead : uint8_t {
#define GW_STAT_IGNORE(...)
#define GW_STAT_READ_ID(Id, Label) Id,
  GW_GATEWAY_STATS(GW_STAT_IGNORE, GW_STAT_IGNORE, GW_STAT_IGNORE, GW_STAT_IGNORE, GW_STAT_IGNORE,
                   GW_STAT_IGNORE, GW_STAT_READ_ID)
#undef GW_STAT_READ_ID
#undef GW_STAT_IGNORE
      Count
};

// Where a READ line's samples go: each Sample (or the Histogram) belongs to the family the
// line stands in; a family with no sample is left out of the exposition.
class TStatSink {
 public:
  virtual ~TStatSink() = default;
  virtual void Sample(double Value, TMetricLabels Labels = {}) = 0;
  virtual void Histogram(const TMetricsHistogram& Histogram) = 0;
};

class TGateWayStats {
 public:
  using TReader = std::function<void(TStatRead, TStatSink&)>;

  TGateWayStats() = default;
  TGateWayStats(const TGateWayStats&) = delete;
  TGateWayStats& operator=(const TGateWayStats&) = delete;

#define GW_STAT_IGNORE(...)
#define GW_STAT_MEMBER(Member, Label) std::atomic<uint64_t> Member{0};
  GW_GATEWAY_STATS(GW_STAT_IGNORE, GW_STAT_MEMBER, GW_STAT_MEMBER, GW_STAT_IGNORE, GW_STAT_IGNORE,
                   GW_STAT_IGNORE, GW_STAT_IGNORE)
#undef GW_STAT_MEMBER
#undef GW_STAT_IGNORE

  // Relaxed adds and reads (a gauge goes down by adding -1; Gauge reads it signed).
  static void Add(std::atomic<uint64_t>& Counter, uint64_t Amount = 1) {
    Counter.fetch_add(Amount, std::memory_order_relaxed);
  }
  static void Move(std::atomic<uint64_t>& Gauge, int64_t Delta) {
    Gauge.fetch_add(static_cast<uint64_t>(Delta), std::memory_order_relaxed);
  }
  static uint64_t Value(const std::atomic<uint64_t>& Counter) {
    return Counter.load(std::memory_order_relaxed);
  }
  static int64_t Gauge(const std::atomic<uint64_t>& Gauge) {
    return static_cast<int64_t>(Gauge.load(std::memory_order_relaxed));
  }

  // One breach of a bound this server holds (see GW_LIMIT_BREACHES).
  void Count(TLimitBreach Breach);
  // This set's own count of a breach.
  uint64_t Breaches(TLimitBreach Breach) const;
  // What a scrape shows: this set's count and the process's (CountLimitBreach).
  uint64_t BreachesWithProcess(TLimitBreach Breach) const;

  // The exposition of every line of the list: stored values from this set, READ lines from
  // `Reader`.
  void Render(TMetricsWriter& Writer, const TReader& Reader) const;

  // The README's metric table (Markdown), one row per family, and its table of the bounds.
  static std::string ReadmeTable();
  static std::string ReadmeLimitsTable();
  // `Readme` with both tables put between their markers ("<!-- metrics-table -->" …
  // "<!-- end metrics-table -->", the same for "limits-table"), each line indented as its
  // marker. Empty when a marker is missing.
  static std::string UpdateReadme(const std::string& Readme);

 private:
  std::array<std::atomic<uint64_t>, kLimitBreachCount> FBreaches{};
};

}  // namespace gw
