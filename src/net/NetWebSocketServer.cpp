#include "net/NetWebSocketServer.h"

#include <strings.h>

#include <cctype>
#include <cstring>

#include "net/WebSocketConnection.h"
#include "net/WsFrame.h"

namespace gw {

namespace {

bool ContainsNoCase(const std::string& text, const char* word) {
  size_t n = std::strlen(word);
  if (text.size() < n) return false;
  for (size_t i = 0; i + n <= text.size(); ++i) {
    if (strncasecmp(text.data() + i, word, n) == 0) return true;
  }
  return false;
}

// The key is a 16-byte nonce in base64 (RFC 6455 §4.2.1): 22 characters of the base64
// alphabet and "==".
bool IsWebSocketKey(const std::string& key) {
  if (key.size() != 24 || key.compare(22, 2, "==") != 0) return false;
  for (size_t i = 0; i < 22; ++i) {
    const char c = key[i];
    const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (!alphabet) return false;
  }
  return true;
}

}  // namespace

TNetWebSocketServer::TNetWebSocketServer(int ioThreads) : THttpServer(ioThreads) {
  SetRefusalLog([this](const std::string& line) { LogWarning(line); });
}

TNetWebSocketServer::~TNetWebSocketServer() { StopServer(); }

IWebSocketServer& TNetWebSocketServer::OnOpen(TWsOnOpen callback) {
  FOnOpenEvents.Add(std::move(callback));
  return *this;
}

IWebSocketServer& TNetWebSocketServer::OnMessage(TWsOnMessage callback) {
  FOnMessageEvents.Add(std::move(callback));
  return *this;
}

IWebSocketServer& TNetWebSocketServer::OnClose(TWsOnClose callback) {
  FOnCloseEvents.Add(std::move(callback));
  return *this;
}

void TNetWebSocketServer::SetLogger(TLogProc logger) {
  std::lock_guard<std::mutex> guard(FLoggerLock);
  FLogger = std::move(logger);
}

void TNetWebSocketServer::LogWarning(const std::string& text) {
  TLogProc logger;
  {
    std::lock_guard<std::mutex> guard(FLoggerLock);
    logger = FLogger;
  }
  if (logger) logger(text, llWarning);
}

bool TNetWebSocketServer::FireOversize(const PWebSocketConnection& connection,
                                       uint64_t announcedSize) {
  return FOnOversize && FOnOversize(connection, announcedSize);
}

void TNetWebSocketServer::FireOpen(const PWebSocketConnection& connection) {
  for (const auto& handler : FOnOpenEvents.Current()) {
    if (handler) handler(connection);
  }
}

void TNetWebSocketServer::FireMessage(const PWebSocketConnection& connection, TWsRequestType type,
                                      const std::vector<uint8_t>& data) {
  for (const auto& handler : FOnMessageEvents.Current()) {
    if (handler) handler(connection, type, data);
  }
}

void TNetWebSocketServer::FireClose(const PWebSocketConnection& connection) {
  for (const auto& handler : FOnCloseEvents.Current()) {
    if (handler) handler(connection);
  }
}

PAbstractConnection TNetWebSocketServer::NewConnection(int socket) {
  auto connection = std::make_shared<TWebSocketConnection>(*this, socket, MaxHeaderSize());
  connection->SetMaxQueuedBytes(FMaxQueuedBytes.load());
  return connection;
}

void TNetWebSocketServer::DoOnRequest(THttpConnection& connection) {
  const THttpRequest& request = connection.Request();
  const THttpHeader& header = request.Header();
  // Repeated fields count as one list: "Connection: keep-alive" on one line and
  // "Connection: Upgrade" on the next still ask for the upgrade.
  if (!ContainsNoCase(header.Joined("Connection"), "upgrade") ||
      !ContainsNoCase(header.Joined("Upgrade"), "websocket")) {
    THttpServer::DoOnRequest(connection);
    return;
  }
  // Only version 13 is spoken; the reply names it so the client may retry with it.
  if (header.Joined("Sec-WebSocket-Version") != "13") {
    connection.Response().Header().Set("Sec-WebSocket-Version", "13");
    connection.ReplyStatus(426);
    return;
  }
  std::string key = header.Value("Sec-WebSocket-Key");
  if (key.empty()) {
    Stats().Count(TLimitBreach::lbHttpRequestInvalid);
    connection.ReplyStatus(400, "Sec-WebSocket-Key missing.");
    return;
  }
  if (!IsWebSocketKey(key) || header.Joined("Sec-WebSocket-Key") != key) {
    connection.RefuseRequest("Sec-WebSocket-Key invalid.");
    return;
  }
  static_cast<TWebSocketConnection&>(connection).StartWebSocket(WsAcceptKey(key), MaxMessageSize());
}

void TNetWebSocketServer::HandleDisconnected(TAbstractConnection& connection) {
  auto& ws = static_cast<TWebSocketConnection&>(connection);
  if (!ws.IsWebSocket()) return;
  FireClose(std::static_pointer_cast<TWebSocketConnection>(ws.shared_from_this()));
}

PWebSocketServer CreateWebSocketServer(int ioThreads) {
  return std::make_shared<TNetWebSocketServer>(ioThreads);
}

}  // namespace gw
