#include "admin/AdminHttpServer.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#include "admin/JsonWriter.h"
#include "common/PeerLimits.h"
#include "logging/Logger.h"

namespace gw {

namespace {

TAdminReply ErrorReply(int Status, const std::string& Why) {
  TJsonWriter w;
  w.BeginObject().Key("error").String(Why).EndObject();
  return {Status, "application/json", w.Text(), {}};
}

// The token of an "Authorization: Bearer TOKEN" field; empty when there is none.
std::string BearerToken(const THttpHeader& Header) {
  const std::string value = Header.Value("Authorization");
  constexpr std::string_view kScheme = "bearer ";
  if (value.size() <= kScheme.size()) return {};
  for (size_t i = 0; i < kScheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(value[i])) != kScheme[i]) return {};
  }
  std::string token = value.substr(kScheme.size());
  while (!token.empty() && token.front() == ' ') token.erase(token.begin());
  return token;
}

}  // namespace

TAdminHttpServer::TAdminHttpServer(TAdminTokens Tokens)
    : THttpServer(1), FTokens(std::move(Tokens)) {
  SetRequestWait(limits::kAdminIdleMs, TLimitBreach::lbAdminIdleTimeOut);
  SetConnectionCap(limits::kMaxAdminConnections, limits::kClientDescriptorReserve,
                   TLimitBreach::lbAdminConnections);
  SetMaxPostDataSize(limits::kMaxAdminRequestBody);
  SetRefusalLog([](const std::string& line) { TLogger::LogWarning("Admin: " + line); });
}

TAdminHttpServer::~TAdminHttpServer() { StopServer(); }

void TAdminHttpServer::AddFile(std::string Path, std::string ContentType, std::string_view Body) {
  FFiles[std::move(Path)] = {std::move(ContentType), Body};
}

PAbstractConnection TAdminHttpServer::NewConnection(int socket) {
  return std::make_shared<TAdminConnection>(*this, socket, MaxHeaderSize(), MaxPostDataSize());
}

int TAdminHttpServer::AuthDelayMs(uint32_t Failures) {
  const uint32_t doublings = std::min<uint32_t>(Failures == 0 ? 0 : Failures - 1, 16);
  return std::min<int64_t>(int64_t{limits::kAdminAuthDelayBaseMs} << doublings,
                           limits::kAdminAuthDelayMaxMs);
}

uint64_t TAdminHttpServer::AuthRefusals() const {
  std::lock_guard<std::mutex> guard(FRefusedLock);
  return FRefusals;
}

int TAdminHttpServer::NoteRefusal(const std::string& Peer, uint32_t& Failures) {
  CountLimitBreach(TLimitBreach::lbAdminAuthRefused);
  const uint64_t now = TIoEventThread::MonotonicMs();
  std::lock_guard<std::mutex> guard(FRefusedLock);
  ++FRefusals;
  if (FRefused.size() >= limits::kMaxAdminAuthAddresses && !FRefused.contains(Peer)) {
    // The stalest address is forgotten: a scan from many addresses cannot grow the table.
    auto stalest = std::min_element(FRefused.begin(), FRefused.end(), [](auto& a, auto& b) {
      return a.second.LastMs < b.second.LastMs;
    });
    FRefused.erase(stalest);
    CountLimitBreach(TLimitBreach::lbAdminAuthTableFull);
  }
  TRefused& refused = FRefused[Peer];
  if (refused.LastMs != 0 && now - refused.LastMs > uint64_t{limits::kAdminAuthForgetMs}) {
    refused.Failures = 0;
  }
  refused.LastMs = now;
  Failures = ++refused.Failures;
  return AuthDelayMs(Failures);
}

void TAdminHttpServer::Send(TAdminConnection& Connection, const TAdminReply& Reply) {
  THttpHeader& header = Connection.Response().Header();
  header.Set("Content-Type", Reply.ContentType);
  header.Set("Cache-Control", "no-store");
  header.Set("Content-Security-Policy", kContentSecurityPolicy);
  header.Set("X-Content-Type-Options", "nosniff");
  header.Set("X-Frame-Options", "DENY");
  header.Set("Referrer-Policy", "no-referrer");
  for (const auto& [name, value] : Reply.Headers) header.Set(name, value);
  const bool head = Connection.Request().Method() == "HEAD";
  Connection.ReplyStatus(Reply.Status, head ? std::string() : Reply.Body);
}

void TAdminHttpServer::DoOnRequest(THttpConnection& connection) {
  auto& admin = static_cast<TAdminConnection&>(connection);
  const THttpRequest& request = connection.Request();
  const std::string& method = request.Method();
  const std::string& path = request.Path();
  if (!path.starts_with("/api/")) {
    const auto found = FFiles.find(path);  // the map is not changed after Start
    if (found == FFiles.end()) {
      Send(admin, ErrorReply(404, "no such page: " + path));
    } else if (method != "GET" && method != "HEAD") {
      TAdminReply reply = ErrorReply(405, "the page is read with GET");
      reply.Headers.emplace_back("Allow", "GET, HEAD");
      Send(admin, reply);
    } else {
      Send(admin, {200, found->second.ContentType, std::string(found->second.Body), {}});
    }
    return;
  }
  const std::string token = BearerToken(request.Header());
  const std::string* name = token.empty() ? nullptr : FTokens.Match(token);
  const std::string peer = connection.PeerAddrText();
  if (name == nullptr) {
    uint32_t failures = 0;
    const int delay = NoteRefusal(peer, failures);
    TLogger::LogWarning("Admin: refused " + method + " " + path + " from " + peer + ": " +
                        (token.empty() ? "no bearer token" : "an unknown token") + " (" +
                        std::to_string(failures) + " in a row from there, answered after " +
                        std::to_string(delay) + " ms)");
    TAdminReply reply = ErrorReply(401, "a valid bearer token is required");
    reply.Headers.emplace_back("WWW-Authenticate", "Bearer realm=\"gateway admin\"");
    TAdminAnswer answer = admin.Defer(&TAdminHttpServer::Send);
    // The answer waits on the connection's own thread; nothing sleeps.
    if (TIoEventThread* thread = connection.Thread()) {
      thread->PostAfter(std::chrono::milliseconds(delay),
                        [answer, reply]() mutable { answer(std::move(reply)); });
    } else {
      answer(std::move(reply));
    }
    return;
  }
  TAdminRequest info;
  info.Method = method;
  info.Path = path;
  const std::string& raw = request.RawPathAndParams();
  if (const size_t q = raw.find('?'); q != std::string::npos) info.Query = raw.substr(q + 1);
  info.Body = request.Body();
  info.Peer = peer;
  info.TokenName = *name;
  TAdminAnswer answer = admin.Defer(&TAdminHttpServer::Send);
  if (!FHandler) {
    answer(ErrorReply(503, "the admin API is not ready"));
    return;
  }
  try {
    FHandler(info, answer);
  } catch (const std::exception& e) {
    answer(ErrorReply(500, e.what()));
  }
}

}  // namespace gw
