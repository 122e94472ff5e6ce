// A small HTTP server for operators' tools on a listener of its own (metrics scrapes,
// a balancer's health check): GET (and HEAD) of a registered path runs its handler
// on an I/O thread and sends what it returns; anything else is 404 or 405. It holds at
// most limits::kMaxMetricsConnections connections, closes one idle for
// limits::kMetricsIdleMs, and renders each path at most limits::kMetricsRendersPerSecond
// times a second (beyond that the last reply is sent again), so no scraper can make it
// cost the gateway much.
//
// Thread safety: Handle belongs to the owner and comes before Start; handlers run on
// the I/O threads and must be safe from them.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "net/HttpServer.h"

namespace gw {

struct TEndpointReply {
  int StatusCode = 200;
  std::string ContentType = "text/plain; charset=utf-8";
  std::string Body;
};

class THttpEndpointServer : public THttpServer {
 public:
  explicit THttpEndpointServer(int ioThreads = 1);
  ~THttpEndpointServer() override;

  void Handle(const std::string& path, std::function<TEndpointReply()> handler);

 protected:
  void DoOnRequest(THttpConnection& connection) override;

 private:
  struct TEndpoint {
    std::function<TEndpointReply()> Handler;
    // The render budget (a token bucket) and the last render; guarded by FLock.
    double Tokens = limits::kMetricsRendersPerSecond;
    uint64_t RefilledMs = 0;
    bool Rendered = false;
    TEndpointReply Last;
  };
  // The reply for `endpoint`: rendered anew, or the last one when the budget is spent.
  TEndpointReply Render(TEndpoint& endpoint);

  std::map<std::string, TEndpoint> FHandlers;  // filled before Start
  std::mutex FLock;                            // guards the render state of every endpoint
};

}  // namespace gw
