#include "net/HttpEndpointServer.h"

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
  FHandlers[path] = std::move(handler);
}

void THttpEndpointServer::DoOnRequest(THttpConnection& connection) {
  const THttpRequest& request = connection.Request();
  const auto found = FHandlers.find(request.Path());
  if (found == FHandlers.end()) {
    connection.ReplyStatus(404);
    return;
  }
  if (request.Method() != "GET" && request.Method() != "HEAD") {
    connection.Response().Header().Set("Allow", "GET, HEAD");
    connection.ReplyStatus(405);
    return;
  }
  TEndpointReply reply;
  try {
    reply = found->second();
  } catch (const std::exception& e) {
    reply = {500, "text/plain; charset=utf-8", std::string(e.what()) + "\n"};
  }
  connection.Response().Header().Set("Content-Type", reply.ContentType);
  connection.Response().Header().Set("Cache-Control", "no-store");
  connection.ReplyStatus(reply.StatusCode, request.Method() == "HEAD" ? std::string() : reply.Body);
}

}  // namespace gw
