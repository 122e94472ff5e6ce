#include "core/GateWayMetrics.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "common/MetricsWriter.h"
#include "common/Platform.h"
#include "common/PeerLimits.h"
#include "core/ClientGuard.h"
#include "core/GateWayServer.h"
#include "links/LogicSrvClient.h"
#include "links/LoginSrvClient.h"

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

bool TGateWayMetrics::Start(const std::string& Host, uint16_t Port) {
  FEndpoint = std::make_unique<THttpEndpointServer>(1);
  FEndpoint->Handle("/metrics", [this] {
    return TEndpointReply{200, "text/plain; version=0.0.4; charset=utf-8", MetricsText()};
  });
  FEndpoint->Handle("/healthz", [this] {
    return Healthy() ? TEndpointReply{200, "text/plain; charset=utf-8", "ok\n"}
                     : TEndpointReply{503, "text/plain; charset=utf-8", "not serving\n"};
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

bool TGateWayMetrics::Healthy() const {
  return FServer.IsRuning() && !FServer.IsStopping() && FServer.LogicServer().IsConnected() &&
         FServer.LoginServer().IsConnected();
}

std::string TGateWayMetrics::MetricsText() const {
  TMetricsWriter w;
  // Sessions, by how far they got: the token check, the login server, the game.
  int64_t token = 0, login = 0, game = 0;
  for (int32_t i = 0; i < FServer.WokerCount(); ++i) {
    FServer.Worker(i).ForEachSession([&](const TUserSession& session) {
      if (!session.TokenChecked.load()) {
        ++token;
      } else if (session.SessionStep() == ssGame) {
        ++game;
      } else {
        ++login;
      }
    });
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

  w.Family("process_cpu_seconds_total", "counter", "User and system CPU time of the process.");
  w.Sample("process_cpu_seconds_total", ProcessCpuSeconds());
  w.Family("process_resident_memory_bytes", "gauge", "Resident memory of the process.");
  w.Sample("process_resident_memory_bytes", static_cast<double>(ProcessResidentBytes()));
  return w.Text();
}

}  // namespace gw
