// TWebSocketConnection: a client connection of the WebSocket server. Until the
// upgrade it is an HTTP connection; the server's DoOnRequest answers the upgrade
// (StartWebSocket), after which every byte goes to the frame parser. Pings are
// answered with pongs, a client close with an empty close frame and a disconnect; a
// message over the size limit or a protocol error is answered with a close frame
// (1009 / 1002) and closes the connection. The server's own closes send a close frame
// with a status code (CloseWithStatus) and nothing after it.
//
// Thread safety: every IWebSocketConnection operation is safe from any thread;
// frame parsing runs on the connection's I/O thread.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/HttpConnection.h"
#include "net/IWebSocketConnection.h"
#include "net/WsFrameParser.h"

namespace gw {

class TNetWebSocketServer;

class TWebSocketConnection final : public THttpConnection,
                                   public IWebSocketConnection,
                                   private IWsFrameSink {
 public:
  TWebSocketConnection(TNetWebSocketServer& owner, int socket, size_t maxHeaderSize);

  // IWebSocketConnection
  void* GetUserObject() const override { return UserData(); }
  void SetUserObject(void* userObject) override { SetUserData(userObject); }
  std::string PeerAddr() const override { return PeerAddrText(); }
  void Close() override { CloseConnection(); }
  void CloseWithStatus(uint16_t code) override;
  void WsSend(const void* data, size_t count, TWsSendCallback callback) override;
  void WsSendBytes(std::vector<uint8_t> data, TWsSendCallback callback) override;
  void WsSendText(std::string text, TWsSendCallback callback) override;
  void PassedAdmission() override { ClearAdmissionDeadline(); }
  uint32_t MessagesInThisRead() const override { return DrainMessages(); }
  TAdmissionStage AdmissionStage() const override {
    return IsWebSocket() ? asUnanswered : THttpConnection::AdmissionStage();
  }

  bool IsWebSocket() const { return FIsWebSocket.load(); }
  // Starts the closing handshake from this side with a close frame without status;
  // the connection stays open until the client answers with its close frame, or for
  // limits::kWsCloseAnswerMs at most.
  void WsClose();

  // Answers the upgrade request and raises the open event; false when the reply could
  // not be written (the connection is then closed).
  bool StartWebSocket(const std::string& acceptKey, size_t maxMessageSize);

 protected:
  bool SwitchedProtocol() const override { return FIsWebSocket.load(); }
  void HandleSwitchedBytes(const uint8_t* data, size_t size) override;
  PWebSocketConnection CallbackTarget() override;
  void SendQueueFull() override;
  // An upgraded connection gets a close frame (1001) and the usual time to answer it; a
  // plain one is just closed.
  void CloseGoingAway() override {
    if (IsWebSocket()) {
      CloseWithStatus(wccGoingAway);
    } else {
      CloseConnection();
    }
  }
  // An upgraded connection gets a close frame (1008) first; a plain one is just closed.
  void CloseRefused() override {
    if (IsWebSocket()) {
      CloseWithStatus(wccPolicy);
    } else {
      CloseConnection();
    }
  }

 private:
  PWebSocketConnection Self();
  void SendFrame(uint8_t opCode, std::vector<uint8_t> payload, TWsSendCallback callback,
                 bool last = false);
  // Sends this side's close frame with `code` (no payload when 0), the last frame of
  // the connection, and stops raising message events. `closeWhenSent`: close as soon as
  // it went out (a failed connection); otherwise wait for the client's answer. Either
  // way the socket is closed after limits::kWsCloseAnswerMs.
  void StartClose(uint16_t code, bool closeWhenSent);
  // Sends a close frame with `code`, then closes the connection.
  void FailConnection(uint16_t code);

  // IWsFrameSink
  bool OnWsMessage(TWsRequestType type, const std::vector<uint8_t>& data) override;
  bool OnWsPing(const uint8_t* payload, size_t size) override;
  void OnWsClose() override;

  TNetWebSocketServer& FServer;
  std::atomic<bool> FIsWebSocket{false};
  std::atomic<int> FWsSendClose{0};  // a close frame has been sent or is being sent
  // Pongs queued but not yet written; pings beyond limits::kMaxPendingPongs go unanswered.
  std::atomic<int> FPendingPongs{0};
  bool FWsFailed = false;                   // I/O thread only: ignore the client's further bytes
  std::atomic<bool> FServerClosing{false};  // this side started the close: no more messages
  // Kept in the connection itself rather than allocated apart: one allocation per
  // connection instead of two. Made at the upgrade.
  std::optional<TWsFrameParser> FParser;
};

}  // namespace gw
