// TAdminHttpServer: the admin listener's HTTP layer on an I/O thread of its own. It serves
// the web console's files built into the program (GET/HEAD, no token: they hold no data),
// and hands every request under /api/ that carries a valid bearer token
// ("Authorization: Bearer TOKEN") to the API handler with the token's name. A request
// without a valid token is refused 401 after a delay that grows with the refusals its
// address had lately (limits::kAdminAuthDelayBaseMs doubling up to kAdminAuthDelayMaxMs,
// from a timer: no thread waits), counted and logged with the address. Every answer carries
// "Cache-Control: no-store" and a Content-Security-Policy that lets the page run only its
// own files and talk only to this listener; no answer sets a cookie. Bounded like the metrics
// listener: kMaxAdminConnections connections, kAdminIdleMs without a request, request bodies
// of kMaxAdminRequestBody bytes.
//
// Thread safety: the setters come before StartServer; the handler runs on the I/O thread
// and answers through the function it is given (any thread).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "admin/AdminConnection.h"
#include "admin/AdminTokens.h"
#include "net/HttpServer.h"

namespace gw {

struct TAdminRequest {
  std::string Method;
  std::string Path;   // percent-decoded, without the query
  std::string Query;  // the text after "?", as sent
  std::string Body;
  std::string Peer;       // the client's address
  std::string TokenName;  // whose token it carried
};

class TAdminHttpServer : public THttpServer {
 public:
  using THandler = std::function<void(const TAdminRequest&, TAdminAnswer)>;
  static constexpr char kContentSecurityPolicy[] =
      "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
      "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

  explicit TAdminHttpServer(TAdminTokens Tokens);
  ~TAdminHttpServer() override;

  // A file of the web console: `Path` ("/" for the page) answered with `Body`.
  void AddFile(std::string Path, std::string ContentType, std::string_view Body);
  void SetHandler(THandler Handler) { FHandler = std::move(Handler); }
  // The delay before the refusal of the `Failures`th refused request in a row of an address.
  static int AuthDelayMs(uint32_t Failures);
  // Refusals answered so far (all addresses).
  uint64_t AuthRefusals() const;

 protected:
  PAbstractConnection NewConnection(int socket) override;
  void DoOnRequest(THttpConnection& connection) override;

 private:
  struct TFile {
    std::string ContentType;
    std::string_view Body;
  };
  struct TRefused {
    uint32_t Failures = 0;
    uint64_t LastMs = 0;
  };
  // Counts a refusal of `Peer` and returns the delay of its answer.
  int NoteRefusal(const std::string& Peer, uint32_t& Failures);
  static void Send(TAdminConnection& Connection, const TAdminReply& Reply);

  const TAdminTokens FTokens;
  THandler FHandler;                    // set before Start
  std::map<std::string, TFile> FFiles;  // filled before Start
  mutable std::mutex FRefusedLock;      // guards FRefused and FRefusals
  std::unordered_map<std::string, TRefused> FRefused;
  uint64_t FRefusals = 0;
};

}  // namespace gw
