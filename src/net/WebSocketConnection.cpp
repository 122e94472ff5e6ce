#include "net/WebSocketConnection.h"

#include <chrono>
#include <exception>

#include "common/PeerLimits.h"
#include "net/NetDiagLog.h"
#include "net/NetWebSocketServer.h"
#include "net/WsFrame.h"

namespace gw {

namespace {
constexpr uint16_t kCloseProtocolError = 1002;
}  // namespace

TWebSocketConnection::TWebSocketConnection(TNetWebSocketServer& owner, int socket,
                                           size_t maxHeaderSize)
    : THttpConnection(owner, socket, maxHeaderSize, 0), FServer(owner) {}

PWebSocketConnection TWebSocketConnection::Self() {
  return std::static_pointer_cast<TWebSocketConnection>(shared_from_this());
}

PWebSocketConnection TWebSocketConnection::CallbackTarget() { return Self(); }

void TWebSocketConnection::WsSend(const void* data, size_t count, TWsSendCallback callback) {
  if (data == nullptr) count = 0;  // no bytes: an empty message, and a header that says so
  uint8_t head[kWsMaxServerHeader];
  size_t headLen = MakeFrameHeader(head, wsoBinary, true, count);
  static const uint8_t kNothing = 0;
  const uint8_t* bytes = data != nullptr ? static_cast<const uint8_t*>(data) : &kNothing;
  Send(head, headLen, bytes, count, {}, std::move(callback));
}

void TWebSocketConnection::SendFrame(uint8_t opCode, std::vector<uint8_t> payload,
                                     TWsSendCallback callback, bool last) {
  uint8_t head[kWsMaxServerHeader];
  size_t headLen = MakeFrameHeader(head, opCode, true, payload.size());
  Send(head, headLen, nullptr, 0, std::move(payload), std::move(callback), last);
}

void TWebSocketConnection::WsSendBytes(std::vector<uint8_t> data, TWsSendCallback callback) {
  SendFrame(wsoBinary, std::move(data), std::move(callback));
}

void TWebSocketConnection::WsSendText(std::string text, TWsSendCallback callback) {
  SendFrame(wsoText, std::vector<uint8_t>(text.begin(), text.end()), std::move(callback));
}

void TWebSocketConnection::WsClose() { StartClose(0, false); }

void TWebSocketConnection::CloseWithStatus(uint16_t code) {
  if (!IsWebSocket()) {
    CloseConnection();
    return;
  }
  StartClose(code, false);
}

void TWebSocketConnection::StartClose(uint16_t code, bool closeWhenSent) {
  FServerClosing.store(true);
  if (FWsSendClose.exchange(1) != 0) {
    // Our close frame is already out or queued (or the client's close is being answered).
    if (closeWhenSent) CloseConnection();
    return;
  }
  // The grace for a client that never answers (or never reads the close frame at all).
  std::weak_ptr<TAbstractConnection> weak = shared_from_this();
  // The server's set outlives its I/O threads, which run the timer.
  TGateWayStats* stats = &Owner().Stats();
  PostAfter(std::chrono::milliseconds(limits::kWsCloseAnswerMs), [weak, stats] {
    PAbstractConnection connection = weak.lock();
    if (!connection || connection->IsClosed()) return;
    stats->Count(TLimitBreach::lbWsCloseUnanswered);
    connection->CloseConnection();
  });
  std::vector<uint8_t> payload;
  if (code != 0) payload = {static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)};
  TWsSendCallback done;
  if (closeWhenSent) {
    done = [](const PWebSocketConnection& c, bool) {
      if (c) c->Close();
    };
  }
  SendFrame(wsoClose, std::move(payload), std::move(done), true);
}

void TWebSocketConnection::SendQueueFull() {
  Owner().Stats().Count(TLimitBreach::lbWsQueuedBytes);
  FServer.LogWarning("WebSocket send queue of " + PeerAddrText() + " over " +
                     std::to_string(MaxQueuedBytes()) + " bytes, connection closed");
  StartClose(wccPolicy, true);
}

bool TWebSocketConnection::StartWebSocket(const std::string& acceptKey, size_t maxMessageSize) {
  THttpResponse& response = Response();
  response.Header().Set("Upgrade", "websocket");
  response.Header().Set("Connection", "Upgrade");
  response.Header().Set("Sec-WebSocket-Accept", acceptKey);
  response.SetStatusCode(101);
  std::string reply = response.Build(Request(), "");
  FParser.emplace(maxMessageSize, kDefaultClientFrames);
  FIsWebSocket.store(true);
  // Written at once, so the open event runs before any message of this connection.
  response.Reset();  // an idle connection keeps nothing of its HTTP past
  if (!SendNow(reply)) {
    CloseConnection();
    return false;
  }
  // A failing open handler closes the connection; the exception must not turn into an
  // HTTP reply on a stream that already speaks WebSocket.
  try {
    THandlerScope scope(*this);
    if (scope.Entered()) FServer.FireOpen(Self());
  } catch (const std::exception& e) {
    TNetDiagLog::HandlerException("TNetWebSocketServer", &e);
    FailConnection(wccServerError);
    return false;
  } catch (...) {
    TNetDiagLog::HandlerException("TNetWebSocketServer", nullptr);
    FailConnection(wccServerError);
    return false;
  }
  return true;
}

void TWebSocketConnection::HandleSwitchedBytes(const uint8_t* data, size_t size) {
  if (FWsFailed || !FParser) return;
  // The owner may have changed the bound since the last read (a settings reload).
  FParser->SetMaxMessageSize(FServer.MaxMessageSize());
  TWsParseResult result = FParser->Feed(data, size, *this);
  switch (result) {
    case wprOk:
    case wprClosed:
    case wprStopped:
      break;
    case wprTooBig: {
      Owner().Stats().Count(TLimitBreach::lbWsMessageTooBig);
      const uint64_t announced = FParser->RefusedSize();
      const size_t bound = FParser->MaxMessageSize();
      FailConnection(wccTooBig);
      // The owner may treat it as its own case (an attack); otherwise one line here,
      // rate-limited: every such client would otherwise write one.
      if (!FServer.FireOversize(Self(), announced)) {
        FServer.LogMessageTooBig("WebSocket message larger than " + std::to_string(bound) +
                                 " bytes from " + PeerAddrText() + " (" +
                                 std::to_string(announced) + " announced), connection closed");
      }
      break;
    }
    case wprProtocolError:
      Owner().Stats().Count(TLimitBreach::lbWsProtocolError);
      FailConnection(kCloseProtocolError);
      break;
  }
}

void TWebSocketConnection::FailConnection(uint16_t code) {
  FWsFailed = true;
  StartClose(code, true);
}

bool TWebSocketConnection::OnWsMessage(TWsRequestType type, const std::vector<uint8_t>& data) {
  // After this side's close frame the client may still send until it answers; its
  // messages are no longer wanted.
  if (FServerClosing.load()) return !IsClosed();
  bool failed = false;
  {
    THandlerScope scope(*this);
    if (!scope.Entered()) return false;
    CountDrainMessage();
    try {
      FServer.FireMessage(Self(), type, data);
    } catch (const std::exception& e) {
      TNetDiagLog::HandlerException("TIocpSocketEngine", &e);
      failed = true;
    } catch (...) {
      TNetDiagLog::HandlerException("TIocpSocketEngine", nullptr);
      failed = true;
    }
  }
  if (failed) {
    FailConnection(wccServerError);
    return false;
  }
  return !IsClosed();
}

bool TWebSocketConnection::OnWsPing(const uint8_t* payload, size_t size) {
  // A client that pings without reading would make its unsent pongs pile up without
  // bound; past a small backlog a ping goes unanswered (RFC 6455 5.5.3 lets a pong
  // answer only some of the pings).
  if (FPendingPongs.load() >= limits::kMaxPendingPongs) {
    Owner().Stats().Count(TLimitBreach::lbPongsPending);
    return !IsClosed();
  }
  FPendingPongs.fetch_add(1);
  // The callback runs from this connection's own flush or close, so `this` is alive.
  SendFrame(wsoPong, std::vector<uint8_t>(payload, payload + size),
            [this](const PWebSocketConnection&, bool) { FPendingPongs.fetch_sub(1); });
  return !IsClosed();
}

void TWebSocketConnection::OnWsClose() {
  if (FWsSendClose.exchange(1) != 0) {
    Disconnect();  // we had sent our close frame: the handshake is complete
    return;
  }
  // The empty close frame browsers expect back; nothing is sent after it.
  SendFrame(
      wsoClose, {}, [this](const PWebSocketConnection&, bool) { Disconnect(); }, true);
}

}  // namespace gw
