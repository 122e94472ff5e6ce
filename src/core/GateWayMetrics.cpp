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

namespace gw {

TGateWayMetrics::TGateWayMetrics(TGateWaySocketServer& Server) : FServer(Server) {}

TGateWayMetrics::~TGateWayMetrics() { Stop(); }

bool TGateWayMetrics::Start(const std::string& Host, uint16_t Port, std::vector<int> Given,
                            bool Paused) {
  FEndpoint = std::make_unique<THttpEndpointServer>(1);
  if (!Given.empty()) FEndpoint->SetListenSockets(std::move(Given), Paused);
  FEndpoint->SetStats(&FServer.Stats());
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
  FServer.Stats().Render(w, [this](TStatRead Read, TStatSink& Sink) { ReadValue(Read, Sink); });
  return w.Text();
}

void TGateWayMetrics::ReadValue(TStatRead Read, TStatSink& Sink) const {
  switch (Read) {
    case TStatRead::rdSessions:
      Sink.Sample(static_cast<double>(FServer.SessionCount()));
      break;
    case TStatRead::rdLogicLinkUp:
      Sink.Sample(FServer.LogicServer().IsConnected() ? 1 : 0);
      break;
    case TStatRead::rdLoginLinkUp:
      Sink.Sample(FServer.LoginServer().IsConnected() ? 1 : 0);
      break;
    case TStatRead::rdHandshakeSeconds:
      Sink.Histogram(FServer.HandshakeTimes());
      break;
    case TStatRead::rdWorkerQueueDepth:
      for (int32_t i = 0; i < FServer.WokerCount(); ++i) {
        const std::string id = std::to_string(i);
        Sink.Sample(static_cast<double>(FServer.Worker(i).QueueDepth()), {{"worker", id}});
      }
      break;
    case TStatRead::rdDraining:
      Sink.Sample(FServer.IsDraining() ? 1 : 0);
      break;
    case TStatRead::rdDrainSessionsRemaining:
      Sink.Sample(FServer.IsDraining() ? static_cast<double>(FServer.SessionCount()) : 0);
      break;
    case TStatRead::rdBuildInfo:
      Sink.Sample(1, {{"version", BuildVersion()}, {"commit", BuildCommit()}});
      break;
    case TStatRead::rdDevelopmentKeys:
      Sink.Sample(FServer.UsesDevelopmentKeys() ? 1 : 0);
      break;
    case TStatRead::rdTlsCertificateExpiry:
      if (PTlsContext tls = TServiceControl::TlsContext()) {
        const double expiry = UtcTextToEpochSeconds(tls->NotAfter());
        if (expiry >= 0) Sink.Sample(expiry);
      }
      break;
    case TStatRead::rdConfigReloadSuccessful:
      if (const TConfigReloadRecord::TState reload = TConfigReloadRecord::Last(); reload.Recorded) {
        Sink.Sample(reload.Successful ? 1 : 0);
      }
      break;
    case TStatRead::rdConfigReloadTimestamp:
      if (const TConfigReloadRecord::TState reload = TConfigReloadRecord::Last(); reload.Recorded) {
        Sink.Sample(reload.TimestampSeconds);
      }
      break;
    case TStatRead::rdProcessCpuSeconds:
      Sink.Sample(ProcessCpuSeconds());
      break;
    case TStatRead::rdProcessResidentMemory:
      Sink.Sample(static_cast<double>(ProcessResidentBytes()));
      break;
    case TStatRead::rdProcessStartTime:
      Sink.Sample(ProcessStartTimeSeconds());
      break;
    // Where the system has no descriptor table (Windows), both families are left out.
    case TStatRead::rdProcessOpenFds:
      if (const int64_t open = ProcessOpenDescriptors(); open >= 0) {
        Sink.Sample(static_cast<double>(open));
      }
      break;
    case TStatRead::rdProcessMaxFds:
      if (const int64_t max = ProcessMaxDescriptors(); max >= 0) {
        Sink.Sample(static_cast<double>(max));
      }
      break;
    case TStatRead::Count:
      break;
  }
}

}  // namespace gw
