// TNetWebSocketServer: the WebSocket server (RFC 6455) on top of the HTTP layer. It
// upgrades requests whose Connection field contains "Upgrade" and whose Upgrade field
// contains "websocket" (both ignoring case, repeated fields taken as one list; a
// Sec-WebSocket-Version other than 13 is answered 426 naming 13, a request without
// Sec-WebSocket-Key 400), answers 404 to everything else, and raises open, message and close
// events to every registered handler in registration order.
//
// Thread safety: see IWebSocketServer. Handler lists are copied on registration, so
// raising an event takes its list's lock only to pick up the current copy.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "net/HandlerList.h"
#include "net/HttpServer.h"
#include "net/IWebSocketServer.h"

namespace gw {

class TWebSocketConnection;

class TNetWebSocketServer final : public THttpServer, public IWebSocketServer {
 public:
  explicit TNetWebSocketServer(int ioThreads);
  ~TNetWebSocketServer() override;

  IWebSocketServer& OnOpen(TWsOnOpen callback) override;
  IWebSocketServer& OnMessage(TWsOnMessage callback) override;
  IWebSocketServer& OnClose(TWsOnClose callback) override;

  uint16_t Port() const override { return ServerPort(); }
  void SetPort(uint16_t port) override { SetServerPort(port); }
  std::string Addr() const override { return ServerAddr(); }
  void SetAddr(const std::string& addr) override { SetServerAddr(addr); }
  void SetMaxMessageSize(size_t bytes) override { FMaxMessageSize.store(bytes); }
  size_t MaxMessageSize() const { return FMaxMessageSize.load(); }
  void SetOversizeHandler(TWsOnOversize handler) override { FOnOversize = std::move(handler); }
  void SetMaxHeaderSize(size_t bytes) override { SetMaxHeaderSizeBytes(bytes); }
  void SetMaxQueuedBytes(size_t bytes) override { FMaxQueuedBytes.store(bytes); }
  void SetNoDelay(bool on) override { SetTcpNoDelay(on); }
  void SetMinTurnMicros(uint32_t micros) override { TSocketServer::SetMinTurnMicros(micros); }
  void SetLogger(TLogProc logger) override;
  void SetConnectionGuard(PConnectionGuard guard) override {
    TSocketServer::SetConnectionGuard(std::move(guard));
  }
  void SetTlsContext(PTlsContext context) override {
    TSocketServer::SetTlsContext(std::move(context));
  }
  void SetStats(TGateWayStats* stats) override { TSocketServer::SetStats(stats); }

  void SetProxyProtocol(std::vector<TCidr> trustedFrom) override {
    TSocketServer::SetProxyProtocol(std::move(trustedFrom));
  }

  void Start(TStartCallback callback) override { StartServer(callback); }
  void Stop() override { StopServer(); }
  void CloseGracefully(uint32_t graceMs) override {
    TSocketServer::CloseGracefully(std::chrono::milliseconds(graceMs));
  }
  void StopAccepting() override { CloseAllListens(); }
  void SetListenSockets(std::vector<int> sockets, bool paused) override {
    TSocketServer::SetListenSockets(std::move(sockets), paused);
  }
  void ResumeAccepting() override { TSocketServer::ResumeAccepting(); }
  std::vector<int> ListenSockets() const override { return TSocketServer::ListenSockets(); }
  void ReleaseListens() override { TSocketServer::ReleaseListens(); }
  void SetOnConnectionsEmptied(std::function<void()> handler) override {
    TSocketServer::SetOnConnectionsEmptied(std::move(handler));
  }
  bool Active() const override { return IsStarted(); }
  size_t ConnectionsCount() const override { return ConnectionCount(); }
  int IoThreads() const override { return EffectiveIoThreads(); }

  void FireOpen(const PWebSocketConnection& connection);
  void FireMessage(const PWebSocketConnection& connection, TWsRequestType type,
                   const std::vector<uint8_t>& data);
  void FireClose(const PWebSocketConnection& connection);
  void LogWarning(const std::string& text);
  // The oversize handler's answer (false without one).
  bool FireOversize(const PWebSocketConnection& connection, uint64_t announcedSize);
  // A warning about a refused message, at most one line a second.
  void LogMessageTooBig(const std::string& text) { LogRefusal(rkMessageTooBig, text); }

 protected:
  PAbstractConnection NewConnection(int socket) override;
  void DoOnRequest(THttpConnection& connection) override;
  void HandleDisconnected(TAbstractConnection& connection) override;

 private:
  // Read on every event, on the I/O threads: no lock there.
  THandlerList<TWsOnOpen> FOnOpenEvents;
  THandlerList<TWsOnMessage> FOnMessageEvents;
  THandlerList<TWsOnClose> FOnCloseEvents;
  std::mutex FLoggerLock;  // guards FLogger
  TLogProc FLogger;
  TWsOnOversize FOnOversize;  // set before Start
  std::atomic<size_t> FMaxMessageSize{kDefaultMaxMessageSize};
  std::atomic<size_t> FMaxQueuedBytes{kDefaultMaxQueuedBytes};
};

}  // namespace gw
