#include "net/HttpServer.h"

namespace gw {

THttpServer::THttpServer(int ioThreads) : TSocketServer(ioThreads) {
  SetRequestWait(limits::kHttpRequestWaitMs, TLimitBreach::lbHttpRequestTimeOut);
}

THttpServer::~THttpServer() { StopServer(); }

PAbstractConnection THttpServer::NewConnection(int socket) {
  return std::make_shared<THttpConnection>(*this, socket, MaxHeaderSize(), MaxPostDataSize());
}

void THttpServer::DoOnRequest(THttpConnection& connection) { connection.ReplyStatus(404); }

}  // namespace gw
