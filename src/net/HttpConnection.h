// THttpConnection: a connection of the HTTP request layer. It reads requests from the
// connection's bytes (THttpRequest), hands each complete one to the server's
// DoOnRequest and writes replies. A reply with a status above 399, or to a request
// that is not keep-alive, ends the connection once it has been sent; bytes after it
// are ignored.
//
// Thread safety: as TAbstractConnection; request parsing and replies run on the
// connection's I/O thread.
#pragma once

#include <memory>
#include <string>

#include "net/AbstractConnection.h"
#include "net/HttpRequest.h"
#include "net/HttpResponse.h"

namespace gw {

class THttpServer;

class THttpConnection : public TAbstractConnection {
 public:
  THttpConnection(THttpServer& owner, int socket, size_t maxHeaderSize, uint64_t maxPostDataSize);

  // Valid from the request's completion until the connection leaves HTTP.
  const THttpRequest& Request() const { return *FRequest; }
  // Made on first use and dropped with the request: an upgraded connection keeps neither.
  THttpResponse& Response() {
    if (!FResponse) FResponse = std::make_unique<THttpResponse>();
    return *FResponse;
  }

  // Sends the reply with `text` (UTF-8) as body; a status above 399 or a request that
  // is not keep-alive disconnects once it has been sent, a failed send closes.
  void ReplyStatus(int statusCode, const std::string& text);
  // The body is the code's standard reason phrase.
  void ReplyStatus(int statusCode);
  // Answers a malformed request 400 with `reason` as body (counted, and logged at most
  // once a second) and ends the connection.
  void RefuseRequest(const std::string& reason);

 protected:
  void HandleReceived(const uint8_t* data, size_t size) override;
  // The request was answered by a protocol switch: the bytes that follow belong to it.
  virtual bool SwitchedProtocol() const { return false; }
  virtual void HandleSwitchedBytes(const uint8_t* data, size_t size) {
    (void)data;
    (void)size;
  }
  // The request just handed to DoOnRequest is answered later (from a timer or another
  // thread): the bytes behind it go to HoldBytes instead of being read as the next request,
  // until the answer has been sent and the subclass hands them back to HandleReceived.
  virtual bool AnswerPending() const { return false; }
  virtual void HoldBytes(const uint8_t* data, size_t size) {
    (void)data;
    (void)size;
  }
  // After a protocol switch the request object is no longer needed.
  void DropRequest() {
    FRequest.reset();
    FResponse.reset();
  }

 private:
  void ParseRequestBytes(const uint8_t* data, size_t size);

  std::unique_ptr<THttpRequest> FRequest;
  std::unique_ptr<THttpResponse> FResponse;
  bool FHttpFinished = false;  // a reply that ends the connection has been sent
};

}  // namespace gw
