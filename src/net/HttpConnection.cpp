#include "net/HttpConnection.h"

#include <cassert>
#include <exception>

#include "common/PeerLimits.h"
#include "net/HttpServer.h"

namespace gw {

THttpConnection::THttpConnection(THttpServer& owner, int socket, size_t maxHeaderSize,
                                 uint64_t maxPostDataSize)
    : TAbstractConnection(owner, socket, ctAccept),
      FRequest(std::make_unique<THttpRequest>(maxHeaderSize, maxPostDataSize)) {}

void THttpConnection::ReplyStatus(int statusCode, const std::string& text) {
  THttpResponse& response = Response();
  response.SetStatusCode(statusCode);
  bool endAfter = statusCode > 399 || !FRequest->KeepAlive();
  if (endAfter) FHttpFinished = true;
  // A reply that ends the connection says so: the client must not send another request.
  std::string reply = response.Build(*FRequest, text, endAfter);
  std::vector<uint8_t> bytes(reply.begin(), reply.end());
  // The callback runs from this connection's own flush or close, so `this` is alive.
  Send(nullptr, 0, nullptr, 0, std::move(bytes),
       [this, endAfter](const PWebSocketConnection&, bool ok) {
         if (!ok) {
           CloseConnection();
         } else if (endAfter) {
           Disconnect();
         }
       });
}

void THttpConnection::RefuseRequest(const std::string& reason) {
  Owner().Stats().Count(TLimitBreach::lbHttpRequestInvalid);
  static_cast<THttpServer&>(Owner()).LogRefusal(
      TSocketServer::rkRequestInvalid,
      "Answered 400 to " + PeerAddrText() + ": " + reason + " Connection closed");
  ReplyStatus(400, reason);
}

void THttpConnection::ReplyStatus(int statusCode) {
  ReplyStatus(statusCode, THttpResponse::ReasonPhrase(statusCode));
}

void THttpConnection::HandleReceived(const uint8_t* data, size_t size) {
  assert(OnOwnThread());
  if (SwitchedProtocol()) {
    HandleSwitchedBytes(data, size);
  } else {
    ParseRequestBytes(data, size);
  }
}

void THttpConnection::ParseRequestBytes(const uint8_t* data, size_t size) {
  auto& server = static_cast<THttpServer&>(Owner());
  while (size > 0 && !FHttpFinished && !IsClosed()) {
    size_t used = 0;
    THttpParseResult result = FRequest->Parse(data, size, used);
    data += used;
    size -= used;
    switch (result) {
      case hprNeedMore:
        return;
      case hprHeaderTooLarge:
        Owner().Stats().Count(TLimitBreach::lbHttpHeaderTooBig);
        ReplyStatus(400, "Request header too large.");
        return;
      case hprMethodInvalid:
        Owner().Stats().Count(TLimitBreach::lbHttpRequestInvalid);
        ReplyStatus(400, "Request method invalid.");
        return;
      case hprPostDataTooLarge:
        Owner().Stats().Count(TLimitBreach::lbHttpBodyTooLarge);
        ReplyStatus(400, "Post data too large.");
        return;
      case hprBadRequestLine:
        Owner().Stats().Count(TLimitBreach::lbHttpRequestInvalid);
        ReplyStatus(400, "Request line invalid.");
        return;
      case hprBadChunk:
        Owner().Stats().Count(FRequest->ChunkLineTooLong() ? TLimitBreach::lbHttpChunkLineTooLong
                                                           : TLimitBreach::lbHttpRequestInvalid);
        ReplyStatus(400, "Bad chunk size.");
        return;
      case hprBadHeader:
        RefuseRequest(FRequest->HeaderError());
        return;
      case hprDone:
        break;
    }
    if (FResponse) FResponse->Reset();
    try {
      server.DoOnRequest(*this);
    } catch (const std::exception& e) {
      ReplyStatus(500, e.what());
      return;
    }
    if (SwitchedProtocol()) {
      ClearStepDeadline();  // the request's time is over; the new protocol has its own rules
      DropRequest();
      // Bytes the client sent right behind the upgrade request belong to the new protocol.
      if (size > 0 && !IsClosed()) HandleSwitchedBytes(data, size);
      return;
    }
    // The next request on a kept-alive connection has the same time as the first.
    if (!FHttpFinished) ArmStepDeadline(server.RequestWaitMs());
    if (AnswerPending()) {
      if (size > 0 && !IsClosed()) HoldBytes(data, size);
      return;
    }
  }
}
}  // namespace gw
