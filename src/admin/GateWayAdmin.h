// TGateWayAdmin: remote administration of a headless gateway (--admin ADDR:PORT): a JSON API
// under /api/ and the web console at "/", on a listener of its own (TAdminHttpServer: bearer
// tokens, slowed refusals, TLS beyond loopback). The API:
//   GET    /api/status                      version, uptime, links, sessions by step, rates,
//                                            guard counters, drain state, settings, history
//   GET    /api/sessions?q=&step=&limit=&after=   a page of sessions (handle order)
//   POST   /api/sessions/{handle}/kick      closes that one session (404 for a stale handle)
//   GET    /api/blocklist                   the permanent and the temporary list
//   POST   /api/blocklist {"address","list"}  adds an entry ("permanent" or "temporary")
//   DELETE /api/blocklist {"address","list"}  removes it
//   POST   /api/reload                      reloads the settings; what changed, what waits
//                                            for a restart, problems with file and line
//   POST   /api/drain                       starts a drain
//   GET    /api/log?after=&limit=           recent log lines after a sequence number
// Every change is logged with the token's name and the client's address. Bad input is
// answered 4xx with {"error": why} and changes nothing.
//
// Threads: requests arrive on the listener's I/O thread and are answered on the service's
// thread (the front-end's, where the settings are loaded and the server is started and
// stopped) through the runner the front-end gives; the answer goes back to the I/O thread.
// Tick belongs to the service's thread too. Start and Stop belong to the owner.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "admin/AdminConnection.h"
#include "admin/AdminHistory.h"
#include "admin/AdminHttpServer.h"
#include "admin/AdminTokens.h"
#include "net/TlsContext.h"

namespace gw {

class TServiceControl;
class TGateWaySocketServer;
class TJsonWriter;

class TGateWayAdmin {
 public:
  struct TOptions {
    std::string Host;
    uint16_t Port = 0;
    TAdminTokens Tokens;
    PTlsContext Tls;  // null: plain HTTP (loopback addresses only)
  };
  // Runs a task on the service's thread with the service; a task handed over after the
  // front-end stopped serving is dropped.
  using TServiceRunner = std::function<void(std::function<void(TServiceControl&)>)>;

  // One session as the API lists it.
  struct TSessionInfo {
    uint32_t Handle = 0;
    std::string Address;
    std::string Step;  // "token", "login", "game", "none"
    std::string Account;
    std::string PlayerName;
    double ConnectedSince = 0;  // seconds since the Unix epoch
    int32_t Worker = 0;
    uint64_t MessagesIn = 0, BytesIn = 0, MessagesOut = 0, BytesOut = 0;
  };

  TGateWayAdmin(TOptions Options, TServiceRunner Runner);
  ~TGateWayAdmin();
  TGateWayAdmin(const TGateWayAdmin&) = delete;
  TGateWayAdmin& operator=(const TGateWayAdmin&) = delete;

  // Opens the listener; false with `Error` (address and cause) when it cannot.
  bool Start(std::string& Error);
  void Stop();
  uint16_t Port() const;

  // The service's thread, often (every few hundred milliseconds): takes a sample for the
  // charts when one is due.
  void Tick(TServiceControl& Service);

  // The live sessions of `Server` (the one place the API reads them).
  static std::vector<TSessionInfo> SessionSnapshot(TGateWaySocketServer& Server);
  // The answer to POST /api/drain (the one place that starts a drain).
  static TAdminReply StartDrain(TServiceControl& Service, const TAdminRequest& Request);
  // Whether a host is reached only from this machine (127.0.0.0/8, ::1, localhost).
  static bool IsLoopbackHost(const std::string& Host);

  // The answer to one authenticated request, on the service's thread.
  TAdminReply Answer(TServiceControl& Service, const TAdminRequest& Request);

 private:
  void OnRequest(const TAdminRequest& Request, TAdminAnswer Answer);
  TAdminReply Status(TServiceControl& Service);
  TAdminReply Sessions(TServiceControl& Service, const TAdminRequest& Request);
  TAdminReply Kick(TServiceControl& Service, const TAdminRequest& Request,
                   const std::string& HandleText);
  TAdminReply BlockList();
  TAdminReply ChangeBlockList(const TAdminRequest& Request);
  TAdminReply Reload(TServiceControl& Service, const TAdminRequest& Request);
  static TAdminReply Log(const TAdminRequest& Request);
  void WriteSettings(TJsonWriter& W) const;

  const std::string FHost;
  const uint16_t FPortWanted;
  const bool FTls;
  TServiceRunner FRunner;
  std::unique_ptr<TAdminHttpServer> FServer;
  TAdminHistory FHistory;
};

}  // namespace gw
