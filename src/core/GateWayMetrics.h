// TGateWayMetrics: the gateway's face to operators' tools on a listener of its own
// (never the client port): GET /metrics answers a Prometheus text exposition (format
// 0.0.4) of the sessions, the client traffic, the links, the guard's and the limits'
// counters, the token handshake's duration, the workers' queues and the process;
// GET /healthz answers 200 while both links are up and the server is not stopping,
// 503 otherwise, for a load balancer's health check.
//
// Thread safety: Start and Stop belong to the gateway server's owner thread; the
// scrapes run on the listener's I/O thread and read only counters that are safe from
// any thread (relaxed atomics) and the workers' tables under their locks.
#pragma once

#include <memory>
#include <string>

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
  // cannot bind.
  bool Start(const std::string& Host, uint16_t Port);
  void Stop();
  uint16_t Port() const;

  // The exposition text a scrape gets.
  std::string MetricsText() const;
  // Whether the balancer should send new clients here.
  bool Healthy() const;

 private:
  TGateWaySocketServer& FServer;
  std::unique_ptr<THttpEndpointServer> FEndpoint;
};

}  // namespace gw
