// TGateWayMetrics: the gateway's face to operators' tools on a listener of its own
// (never the client port): GET /metrics answers a Prometheus text exposition (format
// 0.0.4) of the sessions, the client traffic, the links, the guard's and the limits'
// counters, the token handshake's duration, the workers' queues and the process;
// GET /healthz answers 200 "ok" while both links are up and the server is not stopping,
// 503 otherwise with what is wrong ("logic link down", "login link down", "stopping"), for
// a load balancer's health check and the operator reading it.
//
// The families and their order come from the server's counter set (common/GateWayStats.h);
// this class supplies the values read at the scrape (ReadValue).
//
// Thread safety: Start and Stop belong to the gateway server's owner thread; the
// scrapes run on the listener's I/O thread and read only counters that are safe from
// any thread (relaxed atomics), the links' states and the workers' queue depths.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/GateWayStats.h"
#include "net/HttpEndpointServer.h"

namespace gw {

class TGateWaySocketServer;

class TGateWayMetrics {
 public:
  explicit TGateWayMetrics(TGateWaySocketServer& Server);
  ~TGateWayMetrics();
  TGateWayMetrics(const TGateWayMetrics&) = delete;
  TGateWayMetrics& operator=(const TGateWayMetrics&) = delete;

  // Opens the listener on Host:Port (port 0: any free one, see Port). False when it
  // cannot bind. `Given`: listening sockets handed over by the process that served the port
  // until now, served instead of binding; with `Paused` accepting starts at ResumeAccepting.
  bool Start(const std::string& Host, uint16_t Port, std::vector<int> Given = {},
             bool Paused = false);
  void Stop();
  uint16_t Port() const;
  // The listener hand-over (see TSocketServer).
  void ResumeAccepting();
  std::vector<int> ListenSockets() const;
  void ReleaseListens();

  // The exposition text a scrape gets.
  std::string MetricsText() const;
  // Whether the balancer should send new clients here; when not, `Why` (if given) gets
  // one line per reason.
  bool Healthy(std::string* Why = nullptr) const;

  // The handshake histogram's upper bounds (seconds): fine steps up to a second, then
  // coarser ones up to the client time-out (ms; 0, no time-out: the setting's default),
  // so that slow handshakes are still told apart up to the point where they are cut off.
  static std::vector<double> HandshakeBuckets(int32_t ClientTimeOutMs);
  // "2027-03-01 12:00:00 UTC" (a certificate's expiry as the TLS context reports it) in
  // seconds since the Unix epoch; negative when the text is not of that form.
  static double UtcTextToEpochSeconds(const std::string& Text);

 private:
  void ReadValue(TStatRead Read, TStatSink& Sink) const;

  TGateWaySocketServer& FServer;
  std::unique_ptr<THttpEndpointServer> FEndpoint;
};

}  // namespace gw
