#include "net/HttpEndpointServer.h"

#include <algorithm>
#include <exception>

#include "net/HttpConnection.h"

namespace gw {

THttpEndpointServer::THttpEndpointServer(int ioThreads) : THttpServer(ioThreads) {
  // Operators' tools ask and go: an idle connection is closed soon, and the listener's
  // share of descriptors is small and never the client port's last ones.
  SetRequestWait(limits::kMetricsIdleMs, TLimitBreach::lbMetricsIdleTimeOut);
  SetConnectionCap(limits::kMaxMetricsConnections, limits::kClientDescriptorReserve,
                   TLimitBreach::lbMetricsConnections);
}

THttpEndpointServer::~THttpEndpointServer() { StopServer(); }

void THttpEndpointServer::Handle(const std::string& path, std::function<TEndpointReply()> handler) {
  FHandlers[path].Handler = std::move(handler);
}

TEndpointReply THttpEndpointServer::Render(TEndpoint& endpoint) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    const uint64_t now = TIoEventThread::MonotonicMs();
    constexpr double kRate = limits::kMetricsRendersPerSecond;
    endpoint.Tokens = std::min(kRate, endpoint.Tokens + (now - endpoint.RefilledMs) * kRate / 1000);
    endpoint.RefilledMs = now;
    if (endpoint.Tokens < 1 && endpoint.Rendered) {
      Stats().Count(TLimitBreach::lbMetricsRenderReused);
      return endpoint.Last;
    }
    endpoint.Tokens -= 1;
  }
  TEndpointReply reply;
  try {
    reply = endpoint.Handler();
  } catch (const std::exception& e) {
    reply = {500, "text/plain; charset=utf-8", std::string(e.what()) + "\n"};
  }
  std::lock_guard<std::mutex> guard(FLock);
  endpoint.Last = reply;
  endpoint.Rendered = true;
  return reply;
}

void THttpEndpointServer::DoOnRequest(THttpConnection& connection) {
  const THttpRequest& request = connection.Request();
  const auto found = FHandlers.find(request.Path());  // the map is not changed after Start
  if (found == FHandlers.end()) {
    connection.ReplyStatus(404);
    return;
  }
  if (request.Method() != "GET" && request.Method() != "HEAD") {
    connection.Response().Header().Set("Allow", "GET, HEAD");
    connection.ReplyStatus(405);
    return;
  }
  const TEndpointReply reply = Render(found->second);
  connection.Response().Header().Set("Content-Type", reply.ContentType);
  connection.Response().Header().Set("Cache-Control", "no-store");
  connection.ReplyStatus(reply.StatusCode, request.Method() == "HEAD" ? std::string() : reply.Body);
}

}  // namespace gw
