// TAdminConnection: a connection of the admin listener. Its answer may come later than the
// request (a reload runs on the service's thread, a refused token is answered after a
// delay): Defer marks the request as waiting and returns the one way to answer it, which
// may be called from any thread; the answer is sent on the connection's I/O thread, and
// bytes the client sent meanwhile (at most limits::kMaxAdminHeldBytes, else the
// connection is closed) are read after it. An answer for a connection closed meanwhile is
// dropped.
//
// Thread safety: Defer and the request belong to the I/O thread; the answer function is
// safe from any thread (once).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/HttpConnection.h"

namespace gw {

class THttpServer;

// One answer of the admin listener.
struct TAdminReply {
  int Status = 200;
  std::string ContentType = "application/json";
  std::string Body;
  std::vector<std::pair<std::string, std::string>> Headers;  // besides the listener's own
};

using TAdminAnswer = std::function<void(TAdminReply)>;

class TAdminConnection : public THttpConnection {
 public:
  TAdminConnection(THttpServer& owner, int socket, size_t maxHeaderSize, uint64_t maxPostDataSize);

  // Marks the current request as answered later; `decorate` adds the listener's common
  // headers to the answer on the I/O thread. The returned function sends it.
  TAdminAnswer Defer(std::function<void(TAdminConnection&, const TAdminReply&)> send);

 protected:
  bool AnswerPending() const override { return FPending; }
  void HoldBytes(const uint8_t* data, size_t size) override;
  void HandleReceived(const uint8_t* data, size_t size) override;

 private:
  // On the I/O thread: the deferred answer goes out, then the held bytes are read.
  void Finish();

  bool FPending = false;       // I/O thread only
  std::vector<uint8_t> FHeld;  // I/O thread only
};

}  // namespace gw
