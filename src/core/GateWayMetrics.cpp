#include "core/GateWayMetrics.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "common/BuildInfo.h"
#include "common/MetricsWriter.h"
#include "common/PeerLimits.h"
#include "common/Platform.h"
#include "config/GateWayConfigure.h"
#include "core/ClientGuard.h"
#include "core/ConfigReloadRecord.h"
#include "core/GateWayServer.h"
#include "core/ServiceControl.h"
#include "links/LogicSrvClient.h"
#include "links/LoginSrvClient.h"
#include "net/SockAddrText.h"
#include "net/SocketApi.h"

namespace gw {

namespace {

// Why a client connection was turned away (or closed before it was served), and the
// counter behind each reason.
struct TRefusal {
  std::string_view Reason;
  bool FromGuard;
  TGuardCause Cause;
  TLimitBreach Breach;
};

constexpr std::array<TRefusal, 7> kRefusals = {{
    {"blocked", true, TGuardCause::gcRefusedBlocked, {}},
    {"over_limit", true, TGuardCause::gcRefusedOverLimit, {}},
    {"flood", true, TGuardCause::gcFlood, {}},
    {"time_out", true, TGuardCause::gcTimeOut, {}},
    {"no_descriptor", false, {}, TLimitBreach::lbAcceptNoDescriptor},
    {"proxy_untrusted_source", false, {}, TLimitBreach::lbProxyUntrustedSource},
    {"proxy_header_invalid", false, {}, TLimitBreach::lbProxyHeaderInvalid},
}};

// The attacks the guard acts on.
constexpr std::array<TGuardCause, 3> kAttacks = {TGuardCause::gcFlood, TGuardCause::gcOversize,
                                                 TGuardCause::gcMessageCount};

double Relaxed(const std::atomic<uint64_t>& counter) {
  return static_cast<double>(counter.load(std::memory_order_relaxed));
}

}  // namespace

TGateWayMetrics::TGateWayMetrics(TGateWaySocketServer& Server) : FServer(Server) {}

TGateWayMetrics::~TGateWayMetrics() { Stop(); }

bool TGateWayMetrics::Start(const std::string& Host, uint16_t Port, std::vector<int> Given,
                            bool Paused) {
  FEndpoint = std::make_unique<THttpEndpointServer>(1);
  if (!Given.empty()) FEndpoint->SetListenSockets(std::move(Given), Paused);
  FEndpoint->Handle("/metrics", [this] {
    return TEndpointReply{200, "text/plain; version=0.0.4; charset=utf-8", MetricsText()};
  });
  FEndpoint->Handle("/healthz", [this] {
    std::string why;
    return Healthy(&why) ? TEndpointReply{200, "text/plain; charset=utf-8", "ok\n"}
                         : TEndpointReply{503, "text/plain; charset=utf-8", why};
  });
  FEndpoint->SetServerAddr(Host);
  FEndpoint->SetServerPort(Port);
  bool ok = true;
  FEndpoint->StartServer([&ok](bool success) { ok = ok && success; });
  if (!ok) {
    FEndpoint->StopServer();
    FEndpoint.reset();
  }
  return ok;
}

void TGateWayMetrics::Stop() {
  if (FEndpoint) FEndpoint->StopServer();
  FEndpoint.reset();
}

uint16_t TGateWayMetrics::Port() const { return FEndpoint ? FEndpoint->ServerPort() : 0; }

void TGateWayMetrics::ResumeAccepting() {
  if (FEndpoint) FEndpoint->ResumeAccepting();
}

std::vector<int> TGateWayMetrics::ListenSockets() const {
  return FEndpoint ? FEndpoint->ListenSockets() : std::vector<int>{};
}

void TGateWayMetrics::ReleaseListens() {
  if (FEndpoint) FEndpoint->ReleaseListens();
}

uint16_t TGateWayMetrics::SocketPort(int Socket) {
  sockaddr_storage local{};
  std::string host;
  uint16_t port = 0;
  if (SocketLocalAddress(Socket, local)) SockAddrText(local, host, port);
  return port;
}

bool TGateWayMetrics::Healthy(std::string* Why) const {
  std::string why;
  if (!FServer.IsRuning()) {
    why += "not serving\n";
  } else if (FServer.IsStopping()) {
    why += "stopping\n";
  } else if (FServer.IsDraining()) {
    why += "draining\n";
  }
  if (!FServer.LogicServer().IsConnected()) why += "logic link down\n";
  if (!FServer.LoginServer().IsConnected()) why += "login link down\n";
  if (Why) *Why = why;
  return why.empty();
}

std::vector<double> TGateWayMetrics::HandshakeBuckets(int32_t ClientTimeOutMs) {
  if (ClientTimeOutMs <= 0) ClientTimeOutMs = TGateWayConfigure().ClientTimeOut;
  const double timeOut = static_cast<double>(std::max(ClientTimeOutMs, 1000)) / 1000.0;
  std::vector<double> bounds(TMetricsHistogram::kBounds.begin(), TMetricsHistogram::kBounds.end());
  for (double bound : {2.5, 5.0, 10.0, 30.0, 60.0, 120.0, 300.0, 600.0}) {
    if (bound >= timeOut) break;
    bounds.push_back(bound);
  }
  if (timeOut > bounds.back()) bounds.push_back(timeOut);
  return bounds;
}

double TGateWayMetrics::UtcTextToEpochSeconds(const std::string& Text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char zone[4] = {};
  if (std::sscanf(Text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d %3s", &year, &month, &day, &hour, &minute,
                  &second, zone) != 7 ||
      std::string_view(zone) != "UTC") {
    return -1;
  }
  const std::chrono::year_month_day date{std::chrono::year(year),
                                         std::chrono::month(static_cast<unsigned>(month)),
                                         std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok()) return -1;
  const auto days = std::chrono::sys_days(date).time_since_epoch();
  return static_cast<double>(std::chrono::duration_cast<std::chrono::seconds>(days).count()) +
         hour * 3600.0 + minute * 60.0 + second;
}

std::string TGateWayMetrics::MetricsText() const {
  TMetricsWriter w;
  // Sessions, by how far they got: the token check, the login server, the game.
  int64_t token = 0, login = 0, game = 0;
  for (int32_t i = 0; i < FServer.WokerCount(); ++i) {
    for (const TGateWayWorker::TSessionView& session : FServer.Worker(i).Sessions()) {
      if (!session.TokenChecked) {
        ++token;
      } else if (session.Step == ssGame) {
        ++game;
      } else {
        ++login;
      }
    }
  }
  w.Family("gateway_sessions", "gauge", "Live client sessions.");
  w.Sample("gateway_sessions", static_cast<double>(FServer.SessionCount()));
  w.Family("gateway_sessions_by_step", "gauge",
           "Live client sessions by step: token check, login server, game.");
  w.Sample("gateway_sessions_by_step", static_cast<double>(token), {{"step", "token"}});
  w.Sample("gateway_sessions_by_step", static_cast<double>(login), {{"step", "login"}});
  w.Sample("gateway_sessions_by_step", static_cast<double>(game), {{"step", "game"}});

  const TGateWayTraffic& traffic = FServer.Traffic();
  w.Family("gateway_client_messages_received_total", "counter",
           "WebSocket messages received from clients.");
  w.Sample("gateway_client_messages_received_total", Relaxed(traffic.ClientMessagesIn));
  w.Family("gateway_client_messages_sent_total", "counter",
           "WebSocket messages sent to clients (a batch of game messages is one).");
  w.Sample("gateway_client_messages_sent_total", Relaxed(traffic.ClientMessagesOut));
  w.Family("gateway_client_bytes_received_total", "counter",
           "Payload bytes received from clients.");
  w.Sample("gateway_client_bytes_received_total", Relaxed(traffic.ClientBytesIn));
  w.Family("gateway_client_bytes_sent_total", "counter", "Payload bytes sent to clients.");
  w.Sample("gateway_client_bytes_sent_total", Relaxed(traffic.ClientBytesOut));

  w.Family("gateway_logic_link_up", "gauge", "1 while the logic server link is connected.");
  w.Sample("gateway_logic_link_up", FServer.LogicServer().IsConnected() ? 1 : 0);
  w.Family("gateway_login_link_up", "gauge", "1 while the login server link is connected.");
  w.Sample("gateway_login_link_up", FServer.LoginServer().IsConnected() ? 1 : 0);
  w.Family("gateway_logic_link_reconnects_total", "counter",
           "Times the logic server link connected again after a loss.");
  w.Sample("gateway_logic_link_reconnects_total",
           static_cast<double>(FServer.LogicServer().Reconnects()));
  w.Family("gateway_login_link_reconnects_total", "counter",
           "Times the login server link connected again after a loss.");
  w.Sample("gateway_login_link_reconnects_total",
           static_cast<double>(FServer.LoginServer().Reconnects()));

  w.Family("gateway_refused_connections_total", "counter",
           "Client connections refused or closed before they were served, by reason.");
  for (const TRefusal& refusal : kRefusals) {
    const uint64_t count =
        refusal.FromGuard ? TClientGuard::Count(refusal.Cause) : LimitBreaches(refusal.Breach);
    w.Sample("gateway_refused_connections_total", static_cast<double>(count),
             {{"reason", refusal.Reason}});
  }
  w.Sample("gateway_refused_connections_total",
           static_cast<double>(LimitBreaches(TLimitBreach::lbProxyHeaderTimeOut)),
           {{"reason", "proxy_header_time_out"}});
  w.Family("gateway_attacks_total", "counter", "Attacks the guard acted on, by cause.");
  for (TGuardCause cause : kAttacks) {
    w.Sample("gateway_attacks_total", static_cast<double>(TClientGuard::Count(cause)),
             {{"cause", TClientGuard::CauseName(cause)}});
  }
  w.Family("gateway_client_faults_total", "counter",
           "Client faults the guard counted, by cause: malformed messages, connections closed "
           "for them, refused token answers.");
  for (TGuardCause cause :
       {TGuardCause::gcMalformed, TGuardCause::gcMalformedClosed, TGuardCause::gcTokenRefused}) {
    w.Sample("gateway_client_faults_total", static_cast<double>(TClientGuard::Count(cause)),
             {{"cause", TClientGuard::CauseName(cause)}});
  }
  w.Family("gateway_limit_breaches_total", "counter",
           "Times a bound held against a peer was hit, by bound.");
  for (size_t i = 0; i < kLimitBreachCount; ++i) {
    const auto breach = static_cast<TLimitBreach>(i);
    w.Sample("gateway_limit_breaches_total", static_cast<double>(LimitBreaches(breach)),
             {{"limit", LimitBreachName(breach)}});
  }

  w.Family("gateway_handshake_seconds", "histogram",
           "Time from a client's WebSocket open to its passed token check.");
  w.Histogram("gateway_handshake_seconds", FServer.HandshakeTimes());

  w.Family("gateway_worker_queue_depth", "gauge",
           "Messages waiting on a worker's queue for its next pass.");
  for (int32_t i = 0; i < FServer.WokerCount(); ++i) {
    const std::string id = std::to_string(i);
    w.Sample("gateway_worker_queue_depth", static_cast<double>(FServer.Worker(i).QueueDepth()),
             {{"worker", id}});
  }

  // A drain: the sessions it still waits for (0 when there is none).
  const bool draining = FServer.IsDraining();
  w.Family("gateway_draining", "gauge",
           "1 while the gateway drains: no new clients, live sessions relayed until they leave.");
  w.Sample("gateway_draining", draining ? 1 : 0);
  w.Family("gateway_drain_sessions_remaining", "gauge",
           "Sessions a drain still waits for (0 when not draining).");
  w.Sample("gateway_drain_sessions_remaining",
           draining ? static_cast<double>(FServer.SessionCount()) : 0);

  w.Family("gateway_build_info", "gauge", "The running build: version and commit.");
  w.Sample("gateway_build_info", 1, {{"version", BuildVersion()}, {"commit", BuildCommit()}});
  w.Family("gateway_development_keys", "gauge",
           "1 while the handshake uses the built-in development keys every client developer "
           "knows (no GateKeys.txt).");
  w.Sample("gateway_development_keys", FServer.UsesDevelopmentKeys() ? 1 : 0);
  if (PTlsContext tls = TServiceControl::TlsContext()) {
    const double expiry = UtcTextToEpochSeconds(tls->NotAfter());
    if (expiry >= 0) {
      w.Family("gateway_tls_certificate_expiry_timestamp_seconds", "gauge",
               "When the client port's certificate expires (seconds since the epoch).");
      w.Sample("gateway_tls_certificate_expiry_timestamp_seconds", expiry);
    }
  }
  const TConfigReloadRecord::TState reload = TConfigReloadRecord::Last();
  if (reload.Recorded) {
    w.Family("gateway_config_last_reload_successful", "gauge",
             "1 when the last load of the settings (start or reload) succeeded.");
    w.Sample("gateway_config_last_reload_successful", reload.Successful ? 1 : 0);
    w.Family("gateway_config_last_reload_timestamp_seconds", "gauge",
             "When the settings were last loaded or tried (seconds since the epoch).");
    w.Sample("gateway_config_last_reload_timestamp_seconds", reload.TimestampSeconds);
  }

  w.Family("process_cpu_seconds_total", "counter", "User and system CPU time of the process.");
  w.Sample("process_cpu_seconds_total", ProcessCpuSeconds());
  w.Family("process_resident_memory_bytes", "gauge", "Resident memory of the process.");
  w.Sample("process_resident_memory_bytes", static_cast<double>(ProcessResidentBytes()));
  w.Family("process_start_time_seconds", "gauge",
           "Start time of the process since the Unix epoch in seconds.");
  w.Sample("process_start_time_seconds", ProcessStartTimeSeconds());
  // Where the system has no descriptor table (Windows), both lines are left out.
  if (const int64_t open = ProcessOpenDescriptors(); open >= 0) {
    w.Family("process_open_fds", "gauge", "Number of open file descriptors.");
    w.Sample("process_open_fds", static_cast<double>(open));
  }
  if (const int64_t max = ProcessMaxDescriptors(); max >= 0) {
    w.Family("process_max_fds", "gauge", "Maximum number of open file descriptors.");
    w.Sample("process_max_fds", static_cast<double>(max));
  }
  return w.Text();
}

}  // namespace gw
