// A small HTTP server for operators' tools on a listener of its own (metrics scrapes,
// a balancer's health check): GET (and HEAD) of a registered path runs its handler
// on an I/O thread and sends what it returns; anything else is 404 or 405.
//
// Thread safety: Handle belongs to the owner and comes before Start; handlers run on
// the I/O threads and must be safe from them.
#pragma once

#include <functional>
#include <map>
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
  std::map<std::string, std::function<TEndpointReply()>> FHandlers;
};

}  // namespace gw
