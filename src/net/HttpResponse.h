// THttpResponse: the status and header fields of one reply and the text it is sent
// as. Before writing, a missing Content-Type becomes "text/html;charset=utf-8", a
// missing Connection follows the request's keep-alive, Content-Length is the body
// length and a missing Server is "GateHttpServer/2.0".
//
// Thread safety: none; one response object belongs to one connection.
#pragma once

#include <string>

#include "net/HttpRequest.h"

namespace gw {

class THttpResponse {
 public:
  int StatusCode() const { return FStatusCode; }
  void SetStatusCode(int code) { FStatusCode = code; }
  THttpHeader& Header() { return FHeader; }
  void Reset() {
    FStatusCode = 200;
    FHeader.Clear();
  }

  // Header text and body as sent for `request`: its version when that is HTTP/1.0,
  // otherwise HTTP/1.1.
  // `closing`: the connection ends after this reply, so it says "Connection: close".
  std::string Build(const THttpRequest& request, const std::string& body, bool closing = false);

  static const char* ReasonPhrase(int code);

 private:
  int FStatusCode = 200;
  THttpHeader FHeader;
};

}  // namespace gw
