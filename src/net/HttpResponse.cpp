#include "net/HttpResponse.h"

namespace gw {

const char* THttpResponse::ReasonPhrase(int code) {
  switch (code) {
    case 100:
      return "Continue";
    case 101:
      return "Switching Protocols";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 413:
      return "Payload Too Large";
    case 426:
      return "Upgrade Required";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    default:
      return "Unknown";
  }
}

std::string THttpResponse::Build(const THttpRequest& request, const std::string& body,
                                 bool closing) {
  if (!FHeader.Find("Content-Type")) FHeader.Set("Content-Type", "text/html;charset=utf-8");
  if (!FHeader.Find("Connection"))
    FHeader.Set("Connection", request.KeepAlive() && !closing ? "keep-alive" : "close");
  FHeader.Set("Content-Length", std::to_string(body.size()));
  if (!FHeader.Find("Server")) FHeader.Set("Server", "GateHttpServer/2.0");
  // One of two fixed texts: nothing the client sent reaches the status line.
  const char* version = request.Version() == "HTTP/1.0" ? "HTTP/1.0" : "HTTP/1.1";
  std::string out = std::string(version) + " " + std::to_string(FStatusCode) + " " +
                    ReasonPhrase(FStatusCode) + "\r\n";
  for (const auto& field : FHeader.Fields()) out += field.first + ": " + field.second + "\r\n";
  out += "\r\n";
  out += body;
  return out;
}

}  // namespace gw
