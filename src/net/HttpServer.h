// THttpServer: the HTTP request layer on top of the socket engine. Its connections
// parse requests and pass each complete one to DoOnRequest, which answers 404 "Not
// Found" unless a subclass handles it; a handler that throws is answered 500 with
// the exception's message. Header size is limited (16 KiB by default, 400 "Request
// header too large." beyond it); body size is unlimited by default (bodies are
// counted, not stored).
//
// Thread safety: as TSocketServer; DoOnRequest runs on the connection's I/O thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/PeerLimits.h"
#include "net/HttpConnection.h"
#include "net/SocketServer.h"

namespace gw {

class THttpServer : public TSocketServer {
 public:
  static constexpr size_t kDefaultMaxHeaderSize = limits::kMaxHttpHeaderSize;

  explicit THttpServer(int ioThreads);
  ~THttpServer() override;

  size_t MaxHeaderSize() const { return FMaxHeaderSize.load(); }
  void SetMaxHeaderSizeBytes(size_t bytes) { FMaxHeaderSize.store(bytes); }
  uint64_t MaxPostDataSize() const { return FMaxPostDataSize.load(); }
  void SetMaxPostDataSize(uint64_t bytes) { FMaxPostDataSize.store(bytes); }

 protected:
  friend class THttpConnection;
  PAbstractConnection NewConnection(int socket) override;
  virtual void DoOnRequest(THttpConnection& connection);

 private:
  std::atomic<size_t> FMaxHeaderSize{kDefaultMaxHeaderSize};
  std::atomic<uint64_t> FMaxPostDataSize{0};
};

}  // namespace gw
