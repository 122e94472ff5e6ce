#include "admin/GateWayAdmin.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>

#include "admin/AdminLogRing.h"
#include "admin/AdminWebFiles.h"
#include "admin/JsonValue.h"
#include "admin/JsonWriter.h"
#include "common/BuildInfo.h"
#include "common/LogText.h"
#include "common/PeerLimits.h"
#include "common/Platform.h"
#include "config/BlockListEntry.h"
#include "config/GateShare.h"
#include "config/GateWayConfigure.h"
#include "core/ClientGuard.h"
#include "core/GateWayServer.h"
#include "core/ServiceControl.h"
#include "links/LogicSrvClient.h"
#include "links/LoginSrvClient.h"
#include "logging/Logger.h"

namespace gw {

namespace {

TAdminReply JsonReply(int Status, const TJsonWriter& W) {
  return {Status, "application/json", W.Text(), {}};
}

TAdminReply ErrorReply(int Status, const std::string& Why) {
  TJsonWriter w;
  w.BeginObject().Key("error").String(Why).EndObject();
  return JsonReply(Status, w);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The value of `Name` in a query text ("a=1&b=2"); empty when absent.
std::string QueryValue(const std::string& Query, std::string_view Name) {
  size_t at = 0;
  while (at <= Query.size()) {
    size_t end = Query.find('&', at);
    if (end == std::string::npos) end = Query.size();
    const std::string_view pair(Query.data() + at, end - at);
    const size_t eq = pair.find('=');
    if (PercentDecode(pair.substr(0, eq)) == Name) {
      return eq == std::string_view::npos ? std::string() : PercentDecode(pair.substr(eq + 1));
    }
    at = end + 1;
  }
  return {};
}

// A decimal number of at most `Max`; nullopt for anything else.
std::optional<uint64_t> ParseCount(const std::string& Text, uint64_t Max) {
  if (Text.empty() || Text.size() > 20) return std::nullopt;
  uint64_t value = 0;
  for (char c : Text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > Max) return std::nullopt;
  }
  return value;
}

std::string StepName(const TGateWayWorker::TSessionView& Session) {
  if (!Session.TokenChecked) return "token";
  switch (Session.Step) {
    case ssLogin:
      return "login";
    case ssGame:
      return "game";
    case ssNone:
      break;
  }
  return "none";
}

const char* LevelName(TLogLevel Level) {
  switch (Level) {
    case llFatal:
      return "fatal";
    case llError:
      return "error";
    case llWarning:
      return "warning";
    case llDebug:
      return "debug";
    case llMessage:
      break;
  }
  return "info";
}

double NowEpochSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// A moment of the steady clock as seconds since the Unix epoch (for the operator's "since").
double EpochSecondsOf(std::chrono::steady_clock::time_point At) {
  const double age = std::chrono::duration<double>(std::chrono::steady_clock::now() - At).count();
  return NowEpochSeconds() - age;
}

// A "list" member: "permanent" (the default) or "temporary"; nullopt for anything else.
std::optional<bool> PermanentList(const TJsonValue& Body, std::string& Error) {
  const TJsonValue* list = Body.Find("list");
  if (list == nullptr) return true;
  if (list->IsString() && list->AsString() == "permanent") return true;
  if (list->IsString() && list->AsString() == "temporary") return false;
  Error = "\"list\" must be \"permanent\" or \"temporary\"";
  return std::nullopt;
}

bool Listed(bool Permanent, const std::string& Text) {
  bool found = false;
  const TIPEarchProc visit = [&](int, const TSockaddr* entry) {
    if (entry->IPaddr == Text) found = true;
  };
  if (Permanent) {
    IPManager().EarchBlockIPs(visit);
  } else {
    IPManager().EarchTempBlockIPs(visit);
  }
  return found;
}

}  // namespace

TGateWayAdmin::TGateWayAdmin(TOptions Options, TServiceRunner Runner)
    : FHost(Options.Host),
      FPortWanted(Options.Port),
      FTls(Options.Tls != nullptr),
      FRunner(std::move(Runner)),
      FServer(std::make_unique<TAdminHttpServer>(std::move(Options.Tokens))) {
  if (Options.Tls) FServer->SetTlsContext(Options.Tls);
  for (const TAdminWebFile& file : AdminWebFiles()) {
    FServer->AddFile(file.Path, file.ContentType, file.Body);
    if (std::string_view(file.Path) == "/index.html") {
      FServer->AddFile("/", file.ContentType, file.Body);
    }
  }
  FServer->SetHandler(
      [this](const TAdminRequest& request, TAdminAnswer answer) { OnRequest(request, answer); });
}

TGateWayAdmin::~TGateWayAdmin() { Stop(); }

bool TGateWayAdmin::IsLoopbackHost(const std::string& Host) {
  return Host == "localhost" || Host == "::1" || Host.starts_with("127.");
}

bool TGateWayAdmin::Start(std::string& Error) {
  FServer->SetServerAddr(FHost);
  FServer->SetServerPort(FPortWanted);
  bool ok = true;
  FServer->StartServer([&ok](bool success) { ok = ok && success; });
  if (!ok) {
    FServer->StopServer();
    Error = "--admin " + FHost + ":" + std::to_string(FPortWanted) + ": cannot listen there";
    return false;
  }
  TLogger::LogInfo("Admin: API and web console on " + std::string(FTls ? "https" : "http") + "://" +
                   (FHost.find(':') != std::string::npos ? "[" + FHost + "]" : FHost) + ":" +
                   std::to_string(FServer->ServerPort()) + "/");
  return true;
}

void TGateWayAdmin::Stop() {
  if (FServer) FServer->StopServer();
}

uint16_t TGateWayAdmin::Port() const { return FServer ? FServer->ServerPort() : 0; }

void TGateWayAdmin::OnRequest(const TAdminRequest& Request, TAdminAnswer Answer) {
  // The log ring is safe from any thread: the tail never waits for the service's thread.
  if (Request.Path == "/api/log") {
    Answer(Request.Method == "GET" || Request.Method == "HEAD"
               ? Log(Request)
               : ErrorReply(405, "/api/log is read with GET"));
    return;
  }
  FRunner([this, Request, Answer](TServiceControl& service) {
    TAdminReply reply;
    try {
      reply = this->Answer(service, Request);
    } catch (const std::exception& e) {
      reply = ErrorReply(500, e.what());
    }
    Answer(std::move(reply));
  });
}

TAdminReply TGateWayAdmin::Answer(TServiceControl& Service, const TAdminRequest& Request) {
  const std::string& path = Request.Path;
  const std::string& method = Request.Method;
  const bool read = method == "GET" || method == "HEAD";
  const auto wrongMethod = [&](const char* allowed) {
    TAdminReply reply = ErrorReply(405, path + " takes " + allowed);
    reply.Headers.emplace_back("Allow", allowed);
    return reply;
  };
  if (path == "/api/status") return read ? Status(Service) : wrongMethod("GET");
  if (path == "/api/sessions") return read ? Sessions(Service, Request) : wrongMethod("GET");
  if (path.starts_with("/api/sessions/") && path.ends_with("/kick")) {
    const std::string handle =
        path.substr(14, path.size() - 14 - 5);  // between "/api/sessions/" and "/kick"
    return method == "POST" ? Kick(Service, Request, handle) : wrongMethod("POST");
  }
  if (path == "/api/blocklist") {
    if (read) return BlockList();
    if (method == "POST" || method == "DELETE") return ChangeBlockList(Request);
    return wrongMethod("GET, POST, DELETE");
  }
  if (path == "/api/reload")
    return method == "POST" ? Reload(Service, Request) : wrongMethod("POST");
  if (path == "/api/drain") {
    return method == "POST" ? StartDrain(Service, Request) : wrongMethod("POST");
  }
  return ErrorReply(404, "no such API: " + path);
}

void TGateWayAdmin::Tick(TServiceControl& Service) {
  const uint64_t now = TIoEventThread::MonotonicMs();
  if (!FHistory.Due(now)) return;
  TAdminHistory::TSample sample;
  sample.Time = NowEpochSeconds();
  if (TGateWaySocketServer* server = Service.Server(); server && server->IsRuning()) {
    sample.Sessions = server->SessionCount();
    sample.MessagesIn = server->Traffic().ClientMessagesIn.load(std::memory_order_relaxed);
    sample.MessagesOut = server->Traffic().ClientMessagesOut.load(std::memory_order_relaxed);
  }
  constexpr std::array<TGuardCause, 4> kCauses = {TGuardCause::gcRefusedBlocked,
                                                  TGuardCause::gcRefusedOverLimit,
                                                  TGuardCause::gcFlood, TGuardCause::gcTimeOut};
  if (TGateWaySocketServer* server = Service.Server(); server && server->IsRuning()) {
    for (size_t i = 0; i < kCauses.size(); ++i)
      sample.Refused[i] = server->Guard().Count(kCauses[i]);
  }
  FHistory.Add(sample, now);
}

std::vector<TGateWayAdmin::TSessionInfo> TGateWayAdmin::SessionSnapshot(
    TGateWaySocketServer& Server) {
  // Each worker answers through its own queue with a copy of what the list shows: no lock
  // a worker needs for its sends is held meanwhile.
  std::vector<TSessionInfo> sessions;
  const auto steadyNow = std::chrono::steady_clock::now();
  const double epochNow = NowEpochSeconds();
  for (int32_t i = 0; i < Server.WokerCount(); ++i) {
    for (const TGateWayWorker::TSessionView& session : Server.Worker(i).Sessions()) {
      const double age = std::chrono::duration<double>(steadyNow - session.OpenedAt).count();
      sessions.push_back({session.Handle, session.IP, StepName(session), session.Account,
                          session.PlayerName, epochNow - age, i, session.MessagesIn,
                          session.BytesIn, session.MessagesOut, session.BytesOut});
    }
  }
  return sessions;
}

TAdminReply TGateWayAdmin::StartDrain(TServiceControl& Service, const TAdminRequest& Request) {
  TGateWaySocketServer* server = Service.Server();
  if (server == nullptr || !server->IsRuning())
    return ErrorReply(409, "the service is not running");
  if (Service.IsDraining()) return ErrorReply(409, "a drain is already under way");
  TLogger::LogWarning("Admin: " + Request.TokenName + " from " + Request.Peer + " starts a drain");
  // The same drain a stop request starts: the balancer sees "draining", the sessions are
  // relayed until they leave or the drain's time is over, then the gateway stops.
  if (!Service.StartDrain("admin API, " + Request.TokenName + " from " + Request.Peer))
    return ErrorReply(409, "no drain started: the service is stopping");
  const TDrainOptions& options = TServiceControl::DrainOptions();
  TJsonWriter w;
  w.BeginObject();
  w.Key("draining").Bool(true);
  w.Key("seconds").Unsigned(options.Seconds);
  w.Key("notice_seconds").Unsigned(options.NoticeSeconds);
  w.EndObject();
  return JsonReply(202, w);
}

void TGateWayAdmin::WriteSettings(TJsonWriter& W) const {
  const TGateWayConfigure& c = GateWayConfig();
  const TEdgeOptions& edge = TServiceControl::EdgeOptions();
  std::string blockMethod = std::to_string(static_cast<int>(c.BlockMethod));
  if (c.BlockMethod >= 0 && static_cast<size_t>(c.BlockMethod) < kBlockIPMethodNames.size()) {
    blockMethod = kBlockIPMethodNames[static_cast<size_t>(c.BlockMethod)];
  }
  W.Key("settings").BeginObject();
  W.Key("client_port").String(c.GatePort);
  W.Key("logic_server").String(c.ServerAddr + ":" + c.ServerPort);
  W.Key("login_server").String(c.LoginSrvAddr + ":" + std::to_string(c.LoginSrvPort));
  W.Key("workers").Integer(c.WokerCount);
  W.Key("send_interval_ms").Unsigned(TServiceControl::SendInterval());
  W.Key("max_connections_per_address").Integer(c.MaxConnOfIPaddr);
  W.Key("connection_attack_count").Integer(c.ConnectionATKCount);
  W.Key("connection_attack_seconds").Integer(c.ConnectionATKSec);
  W.Key("client_time_out_ms").Integer(c.ClientTimeOut);
  W.Key("max_client_packet_size").Integer(c.MaxClientPacketSize);
  W.Key("max_client_message_count").Integer(c.MaxClientMsgCount);
  W.Key("block_method").String(blockMethod);
  W.Key("clear_temporary_list").Bool(c.ClearTempList);
  W.Key("clear_temporary_list_ms").Integer(c.ClearTempBlockListTime);
  PTlsContext tls = TServiceControl::TlsContext();
  W.Key("tls").String(tls ? tls->Subject() + ", expires " + tls->NotAfter() : "off");
  W.Key("proxy_protocol").String(edge.ProxyFrom ? CidrListText(*edge.ProxyFrom) : "off");
  W.Key("metrics").String(edge.Metrics ? edge.MetricsHost + ":" + std::to_string(edge.MetricsPort)
                                       : "off");
  W.Key("admin").String(FHost + ":" + std::to_string(Port()) + (FTls ? " (https)" : " (http)"));
  W.EndObject();
}

TAdminReply TGateWayAdmin::Status(TServiceControl& Service) {
  TJsonWriter w;
  w.BeginObject();
  w.Key("version").String(BuildVersion());
  w.Key("commit").String(BuildCommit());
  const double started = ProcessStartTimeSeconds();
  w.Key("started_at").Number(started);
  w.Key("uptime_s").Number(std::max(0.0, NowEpochSeconds() - started));
  TGateWaySocketServer* server = Service.Server();
  const bool serving = server != nullptr && server->IsRuning();
  w.Key("serving").Bool(serving);
  w.Key("stopping").Bool(serving && server->IsStopping());
  w.Key("drain").BeginObject();
  w.Key("available").Bool(true);
  w.Key("state").String(Service.IsDraining() ? "draining" : "none");
  w.Key("seconds").Unsigned(TServiceControl::DrainOptions().Seconds);
  w.Key("notice_seconds").Unsigned(TServiceControl::DrainOptions().NoticeSeconds);
  w.EndObject();
  const TGateWayConfigure& c = GateWayConfig();
  w.Key("links").BeginObject();
  w.Key("logic").BeginObject();
  w.Key("up").Bool(serving && server->LogicServer().IsConnected());
  w.Key("address").String(c.ServerAddr + ":" + c.ServerPort);
  w.Key("reconnects").Unsigned(serving ? server->LogicServer().Reconnects() : 0);
  if (serving && server->LogicServer().IsConnected())
    w.Key("since").Number(EpochSecondsOf(server->LogicServer().UpSince()));
  w.EndObject();
  w.Key("login").BeginObject();
  w.Key("up").Bool(serving && server->LoginServer().IsConnected());
  w.Key("address").String(c.LoginSrvAddr + ":" + std::to_string(c.LoginSrvPort));
  w.Key("reconnects").Unsigned(serving ? server->LoginServer().Reconnects() : 0);
  if (serving && server->LoginServer().IsConnected())
    w.Key("since").Number(EpochSecondsOf(server->LoginServer().UpSince()));
  w.EndObject();
  w.EndObject();
  int64_t token = 0, login = 0, game = 0, none = 0;
  if (serving) {
    for (const TSessionInfo& session : SessionSnapshot(*server)) {
      if (session.Step == "token") {
        ++token;
      } else if (session.Step == "login") {
        ++login;
      } else if (session.Step == "game") {
        ++game;
      } else {
        ++none;
      }
    }
  }
  w.Key("sessions").BeginObject();
  w.Key("total").Integer(token + login + game + none);
  w.Key("token").Integer(token).Key("login").Integer(login).Key("game").Integer(game);
  w.Key("none").Integer(none);
  w.EndObject();
  w.Key("traffic").BeginObject();
  if (serving) {
    const TGateWayTraffic& t = server->Traffic();
    w.Key("client_messages_in").Unsigned(t.ClientMessagesIn.load(std::memory_order_relaxed));
    w.Key("client_messages_out").Unsigned(t.ClientMessagesOut.load(std::memory_order_relaxed));
    w.Key("client_bytes_in").Unsigned(t.ClientBytesIn.load(std::memory_order_relaxed));
    w.Key("client_bytes_out").Unsigned(t.ClientBytesOut.load(std::memory_order_relaxed));
  }
  w.EndObject();
  w.Key("guard").BeginObject();
  for (size_t i = 0; i < kGuardCauseCount; ++i) {
    const auto cause = static_cast<TGuardCause>(i);
    w.Key(TClientGuard::CauseName(cause)).Unsigned(serving ? server->Guard().Count(cause) : 0);
  }
  w.EndObject();
  w.Key("admin_auth_refused").Unsigned(FServer->AuthRefusals());
  WriteSettings(w);
  w.Key("history");
  FHistory.Write(w);
  w.EndObject();
  return JsonReply(200, w);
}

TAdminReply TGateWayAdmin::Sessions(TServiceControl& Service, const TAdminRequest& Request) {
  const std::string q = QueryValue(Request.Query, "q");
  const std::string step = QueryValue(Request.Query, "step");
  const std::string limitText = QueryValue(Request.Query, "limit");
  const std::string afterText = QueryValue(Request.Query, "after");
  if (!step.empty() && step != "token" && step != "login" && step != "game" && step != "none") {
    return ErrorReply(400, "step must be token, login, game or none");
  }
  uint64_t limit = 100;
  if (!limitText.empty()) {
    const auto value = ParseCount(limitText, limits::kMaxAdminSessionsPage);
    if (!value || *value == 0) {
      return ErrorReply(400, "limit must be 1 to " + std::to_string(limits::kMaxAdminSessionsPage));
    }
    limit = *value;
  }
  uint64_t after = 0;
  if (!afterText.empty()) {
    const auto value = ParseCount(afterText, UINT32_MAX);
    if (!value) return ErrorReply(400, "after must be a session handle");
    after = *value;
  }
  std::vector<TSessionInfo> sessions;
  if (TGateWaySocketServer* server = Service.Server(); server && server->IsRuning()) {
    sessions = SessionSnapshot(*server);
  }
  std::erase_if(sessions, [&](const TSessionInfo& s) {
    if (!step.empty() && s.Step != step) return true;
    if (q.empty()) return false;
    return !s.Address.starts_with(q) && s.Account.find(q) == std::string::npos &&
           s.PlayerName.find(q) == std::string::npos;
  });
  std::sort(sessions.begin(), sessions.end(),
            [](const TSessionInfo& a, const TSessionInfo& b) { return a.Handle < b.Handle; });
  TJsonWriter w;
  w.BeginObject();
  w.Key("total").Unsigned(sessions.size());
  w.Key("sessions").BeginArray();
  uint64_t shown = 0;
  uint32_t last = 0;
  bool more = false;
  for (const TSessionInfo& s : sessions) {
    if (s.Handle <= after) continue;
    if (shown == limit) {
      more = true;
      break;
    }
    w.BeginObject();
    w.Key("handle").Unsigned(s.Handle);
    w.Key("address").String(s.Address);
    w.Key("step").String(s.Step);
    w.Key("account").String(s.Account);
    w.Key("player").String(s.PlayerName);
    w.Key("connected_since").Number(s.ConnectedSince);
    w.Key("worker").Integer(s.Worker);
    w.Key("messages_in").Unsigned(s.MessagesIn).Key("bytes_in").Unsigned(s.BytesIn);
    w.Key("messages_out").Unsigned(s.MessagesOut).Key("bytes_out").Unsigned(s.BytesOut);
    w.EndObject();
    ++shown;
    last = s.Handle;
  }
  w.EndArray();
  w.Key("next");
  if (more) {
    w.Unsigned(last);
  } else {
    w.Null();
  }
  w.EndObject();
  return JsonReply(200, w);
}

TAdminReply TGateWayAdmin::Kick(TServiceControl& Service, const TAdminRequest& Request,
                                const std::string& HandleText) {
  const auto handle = ParseCount(HandleText, UINT32_MAX);
  if (!handle || *handle == 0)
    return ErrorReply(400, "'" + HandleText + "' is not a session handle");
  TGateWaySocketServer* server = Service.Server();
  if (server == nullptr || !server->IsRuning())
    return ErrorReply(409, "the service is not running");
  const auto h = static_cast<uint32_t>(*handle);
  const int32_t worker = SessionWorkerID(h);
  // The whole handle (worker, generation, slot) must name a live session: a slot reused
  // since the handle was listed carries another generation and is never closed for it.
  PUserSession session;
  if (worker < server->WokerCount()) session = server->Worker(worker).GetSession(h);
  if (!session) return ErrorReply(404, "no live session with handle " + std::to_string(h));
  const std::string address = session->IP();
  session.reset();
  TLogger::LogWarning("Admin: " + Request.TokenName + " from " + Request.Peer + " kicked session " +
                      std::to_string(h) + " (" + address + ")");
  server->CloseSession(h, "", "admin kick by " + Request.TokenName);
  TJsonWriter w;
  w.BeginObject().Key("kicked").Unsigned(h).Key("address").String(address).EndObject();
  return JsonReply(200, w);
}

TAdminReply TGateWayAdmin::BlockList() {
  TJsonWriter w;
  w.BeginObject();
  const auto list = [&](const char* name, bool permanent) {
    w.Key(name).BeginArray();
    const TIPEarchProc visit = [&](int, const TSockaddr* entry) { w.String(entry->IPaddr); };
    if (permanent) {
      IPManager().EarchBlockIPs(visit);
    } else {
      IPManager().EarchTempBlockIPs(visit);
    }
    w.EndArray();
  };
  list("permanent", true);
  list("temporary", false);
  w.EndObject();
  return JsonReply(200, w);
}

TAdminReply TGateWayAdmin::ChangeBlockList(const TAdminRequest& Request) {
  std::string error;
  const std::optional<TJsonValue> body = TJsonValue::Parse(Request.Body, error);
  if (!body) return ErrorReply(400, "malformed JSON: " + error);
  if (!body->IsObject()) return ErrorReply(400, "a JSON object expected");
  const TJsonValue* address = body->Find("address");
  if (address == nullptr || !address->IsString()) {
    return ErrorReply(400, "\"address\" (a string) expected");
  }
  const std::optional<bool> permanent = PermanentList(*body, error);
  if (!permanent) return ErrorReply(400, error);
  const TBlockListEntry entry = ParseBlockListEntry(address->AsString());
  if (entry.Kind == TBlockEntryKind::bkInvalid) return ErrorReply(400, entry.Problem);
  if (entry.Kind == TBlockEntryKind::bkNone) return ErrorReply(400, "\"address\" is empty");
  const char* listName = *permanent ? "permanent" : "temporary";
  const std::string who = Request.TokenName + " from " + Request.Peer;
  TJsonWriter w;
  if (Request.Method == "DELETE") {
    if (!Listed(*permanent, entry.Text)) {
      return ErrorReply(404, entry.Text + " is not on the " + listName + " block list");
    }
    TLogger::LogWarning("Admin: " + who + " removed " + entry.Text + " from the " + listName +
                        " block list");
    bool saved = true;
    if (*permanent) {
      IPManager().RemoveBlockIP(entry.Text);
      saved = IPManager().SaveBlockIPList();
    } else {
      IPManager().RemoveTempBlockIP(entry.Text);
    }
    w.BeginObject().Key("removed").String(entry.Text).Key("list").String(listName);
    if (*permanent) w.Key("saved").Bool(saved);
    w.EndObject();
    return JsonReply(saved ? 200 : 500, w);
  }
  TLogger::LogWarning("Admin: " + who + " added " + entry.Text + " to the " + listName +
                      " block list");
  bool saved = true;
  if (*permanent) {
    // Saved here as the console saves it: the answer says whether the file has it.
    IPManager().AddBlockIP(entry.Text, false);
  } else {
    IPManager().AddTempBlockIP(entry.Text);
  }
  if (!Listed(*permanent, entry.Text)) {
    return ErrorReply(409, "the " + std::string(listName) + " block list is full (" +
                               std::to_string(limits::kMaxBlockListEntries) + " entries)");
  }
  if (*permanent) saved = IPManager().SaveBlockIPList();
  w.BeginObject().Key("added").String(entry.Text).Key("list").String(listName);
  if (!entry.Problem.empty()) w.Key("warning").String(entry.Problem);
  if (*permanent) w.Key("saved").Bool(saved);
  w.EndObject();
  return JsonReply(saved ? 200 : 500, w);
}

TAdminReply TGateWayAdmin::Reload(TServiceControl& Service, const TAdminRequest& Request) {
  TLogger::LogWarning("Admin: " + Request.TokenName + " from " + Request.Peer +
                      " reloads the settings");
  TConfigReloadResult result;
  try {
    result = Service.LoadConfig();
  } catch (const std::exception& e) {
    TLogger::LogError(std::string("OnException:") + e.what());
    return ErrorReply(500, e.what());
  }
  // As SIGHUP: a renewed certificate is taken up whatever became of the settings.
  const bool certificate = Service.ReloadTlsCertificate();
  TJsonWriter w;
  w.BeginObject();
  w.Key("ok").Bool(result.Ok);
  w.Key("restart_needed").Bool(result.RestartNeeded());
  w.Key("certificate_reloaded").Bool(certificate);
  w.Key("changes").BeginArray();
  for (const TSettingChange& change : result.Changes) {
    w.BeginObject();
    w.Key("name").String(change.Name).Key("old").String(change.Old).Key("new").String(change.New);
    w.Key("at_next_start").Bool(change.AtNextStart);
    w.Key("text").String(FormatSettingChange(change));
    w.EndObject();
  }
  w.EndArray();
  w.Key("problems").BeginArray();
  for (const TSettingsProblem& problem : result.Problems) {
    w.BeginObject();
    w.Key("severity").String(problem.Severity == TSettingsSeverity::Error ? "error" : "warning");
    w.Key("file").String(problem.File).Key("line").Integer(problem.Line);
    w.Key("text").String(problem.Text);
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  return JsonReply(result.Ok ? 200 : 422, w);
}

TAdminReply TGateWayAdmin::Log(const TAdminRequest& Request) {
  const std::string afterText = QueryValue(Request.Query, "after");
  const std::string limitText = QueryValue(Request.Query, "limit");
  uint64_t after = 0;
  uint64_t limit = 200;
  if (!afterText.empty()) {
    const auto value = ParseCount(afterText, UINT64_MAX / 2);
    if (!value) return ErrorReply(400, "after must be a line number");
    after = *value;
  }
  if (!limitText.empty()) {
    const auto value = ParseCount(limitText, limits::kAdminLogRingLines);
    if (!value || *value == 0) {
      return ErrorReply(400, "limit must be 1 to " + std::to_string(limits::kAdminLogRingLines));
    }
    limit = *value;
  }
  const TAdminLogRing& ring = TAdminLogRing::Instance();
  TJsonWriter w;
  w.BeginObject();
  w.Key("last").Unsigned(ring.LastSeq());
  w.Key("lines").BeginArray();
  for (const TAdminLogRing::TLine& line : ring.Since(after, limit)) {
    w.BeginObject();
    w.Key("seq").Unsigned(line.Seq).Key("level").String(LevelName(line.Level));
    w.Key("text").String(line.Text);
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  return JsonReply(200, w);
}

}  // namespace gw
