#include "core/GateWayServer.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <thread>

#include "codec/TokenHandshake.h"
#include "common/LogText.h"
#include "common/Platform.h"
#include "config/GateShare.h"
#include "core/GateWayMetrics.h"
#include "links/LogicSrvClient.h"
#include "links/LoginSrvClient.h"
#include "net/DescriptorLimit.h"
#include "net/IWebSocketServer.h"
#include "net/ListenProbe.h"
#include "net/ListenSocket.h"
#include "protocol/ClientMessageReader.h"

namespace gw {

namespace {

// A decimal integer filling the whole text, as the settings hold ports.
bool ParseDecimal(const std::string& text, int64_t& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && !text.empty();
}

}  // namespace

TGateWaySocketServer::TGateWaySocketServer(const TCustomGateWayConfig& Config)
    : FGatePort(Config.GatePort),
      FKeys(LoadDeploymentKeys()),
      FHandshakeTimes(TGateWayMetrics::HandshakeBuckets(Config.ClientTimeOut)) {
  std::string countError = ValidateWorkerCount(Config.WokerCount);
  if (!countError.empty()) throw std::runtime_error(countError);
  FLoginSrv = std::make_unique<TLoginSrvClient>("LoginSrvClient", Config.LoginSrvAddr,
                                                Config.LoginSrvPort, this);
  int64_t serverPort = kDefaultServerPort;
  if (!ParseDecimal(Config.ServerPort, serverPort) || serverPort < 0 || serverPort > 65535) {
    serverPort = kDefaultServerPort;
  }
  FLogicServer =
      std::make_unique<TLogicSrvClient>(Config.ServerAddr, static_cast<int32_t>(serverPort), this);
  FLogicServer->SetTraffic(&FStats);
  FLoginSrv->SetStats(&FStats);
  // A logic server silent (or not reading) for this long counts as lost; 0 turns it off.
  FLogicServer->SetServerTimeOut(static_cast<uint32_t>(std::max(0, Config.CheckServerTimeOutTime)));
  FGuard = std::make_shared<TClientGuard>(IPManager());
  FGuard->SetStats(&FStats);
  ApplyGuardSettings(Config);
  for (int32_t id = 0; id < Config.WokerCount; ++id) {
    auto worker = std::make_unique<TGateWayWorker>(id);
    worker->SetLogicServerClient(FLogicServer.get());
    worker->SetTraffic(&FStats);
    worker->SetClientGuard(FGuard.get());
    FWorkers.push_back(std::move(worker));
  }
}

TGateWaySocketServer::~TGateWaySocketServer() {
  Stop();
  FMetrics.reset();  // its scrapes read the workers and the links
  // Workers go before the links they send through; the links before the listener.
  FWorkers.clear();
  FLogicServer.reset();
  FLoginSrv.reset();
  FSocketServer.reset();
}

int TGateWaySocketServer::ListenerIoThreads() {
  const unsigned processors = std::thread::hardware_concurrency();  // 0: unknown
  return processors == 0 ? kListenerIoThreads
                         : std::min(kListenerIoThreads, static_cast<int>(processors));
}

uint16_t TGateWaySocketServer::ListenPort() const {
  return FSocketServer ? FSocketServer->Port() : 0;
}

uint16_t TGateWaySocketServer::MetricsPort() const { return FMetrics ? FMetrics->Port() : 0; }

std::string CidrListText(const std::vector<TCidr>& list) {
  std::string text;
  for (const TCidr& cidr : list) {
    char buf[INET6_ADDRSTRLEN] = {};
    inet_ntop(cidr.Family, cidr.Address, buf, sizeof(buf));
    if (!text.empty()) text += ',';
    text += std::string(buf) + "/" + std::to_string(cidr.PrefixBits);
  }
  return text;
}

void TGateWaySocketServer::ApplyGuardSettings(const TCustomGateWayConfig& Config) {
  FGuard->ApplySettings(Config);
  // Without KickOverPacketSize a bigger message is served as before, up to the
  // transport's own bound.
  size_t bound = limits::kMaxWsMessageSize;
  if (Config.KickOverPacketSize && Config.MaxClientPacketSize > 0) {
    bound = std::min(bound, static_cast<size_t>(Config.MaxClientPacketSize));
  }
  FClientMessageBound.store(bound);
  if (FSocketServer) FSocketServer->SetMaxMessageSize(bound);
}

void TGateWaySocketServer::SetTlsContext(PTlsContext Context) {
  // Said at start and at every reload, until the file is fixed.
  if (Context) {
    for (const std::string& warning : Context->Warnings()) Log(warning, llWarning);
  }
  FTlsContext = std::move(Context);
  if (FSocketServer) FSocketServer->SetTlsContext(FTlsContext);
}

void TGateWaySocketServer::Start() {
  if (!FInherited.Client.empty()) {
    // A take-over serves the port it is handed; the settings must not ask for another one.
    const uint16_t handed = ListenSocketPort(FInherited.Client.front());
    int64_t asked = 0;
    if (ParseDecimal(FGatePort, asked) && asked != 0 && asked != handed) {
      for (int socket : FInherited.Client) CloseListenSocket(socket);
      for (int socket : FInherited.Metrics) CloseListenSocket(socket);
      FInherited = {};
      throw EGateWayStartError(
          "网关服务启动失败 , 端口 " + FGatePort + " ,  --take-over",
          "--take-over: the client port changed: the running gateway serves port " +
              std::to_string(handed) + ", GatePort is " + FGatePort +
              "; a take-over keeps the port (stop the running gateway to change it)");
    }
  }
  if (!FEdge.Metrics) {
    // Handed over from a gateway with a metrics port, to one without: the port closes.
    for (int socket : FInherited.Metrics) CloseListenSocket(socket);
    FInherited.Metrics.clear();
  }
  if (FEdge.Metrics) {
    // First: a metrics port that cannot be bound fails the start before any client is
    // accepted.
    FMetrics = std::make_unique<TGateWayMetrics>(*this);
    std::vector<int> inherited;
    for (int socket : FInherited.Metrics) {
      // Only a socket on the port asked for is taken over; another is left to its old owner.
      if (ListenSocketPort(socket) == FEdge.MetricsPort || FEdge.MetricsPort == 0) {
        inherited.push_back(socket);
      } else {
        CloseListenSocket(socket);
      }
    }
    FInherited.Metrics.clear();
    if (!FMetrics->Start(FEdge.MetricsHost, FEdge.MetricsPort, std::move(inherited),
                         !FInherited.Client.empty())) {
      FMetrics.reset();
      throw EGateWayStartError("网关服务启动失败 , metrics " + FEdge.MetricsHost + ":" +
                                   std::to_string(FEdge.MetricsPort) + " ,  无法绑定。",
                               "the metrics address cannot be bound: " +
                                   ListenProbeText(FEdge.MetricsHost, FEdge.MetricsPort));
    }
    Log("Metrics 启动: " + FEdge.MetricsHost + ":" + std::to_string(FMetrics->Port()), llMessage);
  }
  FSocketServer = FListenerFactory(ListenerIoThreads());
  FSocketServer->SetTlsContext(FTlsContext);
  FSocketServer->SetMaxMessageSize(FClientMessageBound.load());
  // A refused announcement is judged as the complete message would have been: with
  // KickOverPacketSize an attack, with BlockMethod's consequences.
  FSocketServer->SetOversizeHandler([this](const PWebSocketConnection& c, uint64_t size) {
    return !FGuard->CheckMessage(*c, static_cast<size_t>(size));
  });
  FSocketServer->OnOpen([this](const PWebSocketConnection& c) { OnClientOpen(c); });
  // Text and binary messages are handled alike.
  FSocketServer->OnMessage([this](const PWebSocketConnection& c, TWsRequestType,
                                  const std::vector<uint8_t>& data) { OnClientMessage(c, data); });
  FSocketServer->OnClose([this](const PWebSocketConnection& c) { OnClientClose(c); });
  int64_t port = 0;
  if (!ParseDecimal(FGatePort, port)) {
    throw EGateWayStartError("'" + FGatePort + "' is not a valid integer value",
                             "GatePort '" + FGatePort + "' in GateWay.xml is not a port number");
  }
  if (port < 0 || port > 65535) {
    throw EGateWayStartError("'" + FGatePort + "' is not a valid port number",
                             "GatePort '" + FGatePort + "' in GateWay.xml is not a port number");
  }
  FSocketServer->SetPort(static_cast<uint16_t>(port));
  if (!FInherited.Client.empty()) {
    // Handed over by the gateway serving the port until now: accepting starts only once
    // this one can serve (BeginAccepting); meanwhile the other one still accepts.
    FSocketServer->SetListenSockets(std::move(FInherited.Client), true);
    FInherited.Client.clear();
  }
  // Every client holds a descriptor: as many as the system allows this process.
  if (const TDescriptorLimit fds = RaiseDescriptorLimit(); fds.Known) {
    Log("Descriptor limit (RLIMIT_NOFILE): " + std::to_string(fds.Soft), llMessage);
  }
  // The workers already pack what waits for a session into one message per send
  // pass; the system's own coalescing would only add delay on top.
  FSocketServer->SetNoDelay(true);
  if (FSendInterval > 0) {
    FSocketServer->SetMinTurnMicros(kGatherMicros);
    FLogicServer->SetMinTurnMicros(kGatherMicros);
  }
  FSocketServer->SetLogger(FLogger);
  FGuard->SetLogger(FLogger);
  FSocketServer->SetConnectionGuard(FGuard);
  FSocketServer->SetStats(&FStats);
  if (FEdge.ProxyFrom) {
    FSocketServer->SetProxyProtocol(*FEdge.ProxyFrom);
    Log("PROXY protocol expected from " + CidrListText(*FEdge.ProxyFrom), llMessage);
  }
  // One result per listening address; the start fails when any address could not be bound.
  int succeeded = 0, failed = 0;
  FSocketServer->Start([&](bool ok) { ++(ok ? succeeded : failed); });
  if (succeeded == 0 || failed > 0) {
    // An address that did bind must not go on accepting clients for a server whose
    // links and workers never start (and that the console frees on its next start).
    FSocketServer->Stop();
    FMetrics.reset();
    throw EGateWayStartError(
        "网关服务启动失败 , 端口 " + FGatePort + " ,  无法绑定。可能该端口已经被占用! ",
        "the client port cannot be bound: " +
            ListenProbeText(FSocketServer->Addr(), static_cast<uint16_t>(port)));
  }
  Log("SocketServer 启动: " + FGatePort, llMessage);
  FGuard->Start();
  FLoginSrv->SetLogger(FLogger);
  FLoginSrv->Start();
  FLogicServer->SetLogger(FLogger);
  FLogicServer->Start();
  for (auto& worker : FWorkers) {
    worker->SetLogger(FLogger);
    worker->Start();
  }
  FIsRuning.store(true);
}

void TGateWaySocketServer::BeginDrain(std::function<void()> OnClientsGone) {
  if (!FIsRuning.load()) return;
  FSocketServer->SetOnConnectionsEmptied(std::move(OnClientsGone));
  FDraining.store(true);
}

void TGateWaySocketServer::StopAccepting() {
  if (FSocketServer) FSocketServer->StopAccepting();
}

size_t TGateWaySocketServer::ClientConnections() const {
  return FSocketServer ? FSocketServer->ConnectionsCount() : 0;
}

void TGateWaySocketServer::BeginAccepting() {
  if (FMetrics) FMetrics->ResumeAccepting();
  if (FSocketServer) FSocketServer->ResumeAccepting();
}

TGateWaySocketServer::TListenSockets TGateWaySocketServer::ListenSockets() const {
  TListenSockets sockets;
  if (!FIsRuning.load()) return sockets;
  sockets.Client = FSocketServer->ListenSockets();
  if (FMetrics) sockets.Metrics = FMetrics->ListenSockets();
  return sockets;
}

void TGateWaySocketServer::ReleaseListeners() {
  if (FSocketServer) FSocketServer->ReleaseListens();
  if (FMetrics) FMetrics->ReleaseListens();
}

void TGateWaySocketServer::Stop() {
  if (!FIsRuning.load()) return;
  FStopping.store(true);
  // A drain's handler must not outlive this server's run.
  FSocketServer->SetOnConnectionsEmptied(nullptr);
  // Clients that answer their close frame are reported upstream by their close events
  // while the links still run normally; the rest are closed by the listener's stop.
  FSocketServer->CloseGracefully(FCloseGraceMs);
  // The links give up on a server that does not read before the listener's stop is
  // waited for (its close events append to them and must never wait on a peer); closing
  // every client still reports it upstream, delivered by the links' bounded final flush.
  FLoginSrv->BeginStop();
  FLogicServer->BeginStop();
  FSocketServer->Stop();
  FLoginSrv->Stop();
  FLogicServer->Stop();
  for (auto& worker : FWorkers) worker->Stop();
  FGuard->Stop();
  if (FMetrics) FMetrics->Stop();
  FIsRuning.store(false);
  FStopping.store(false);
  FDraining.store(false);
}

int32_t TGateWaySocketServer::SessionCount() const {
  int32_t count = 0;
  for (const auto& worker : FWorkers) count += worker->UserCount();
  return count;
}

TGateWayWorker* TGateWaySocketServer::ChooseWoker() {
  TGateWayWorker* best = nullptr;
  int32_t bound = kChooseWokerBound;
  for (auto& worker : FWorkers) {
    int32_t count = worker->UserCount();
    if (count < bound) {
      best = worker.get();
      bound = count;
    }
  }
  return best;
}

TGateWayWorker* TGateWaySocketServer::WorkerOf(uint32_t SessionHandle) {
  size_t id = SessionWorkerID(SessionHandle);
  return id < FWorkers.size() ? FWorkers[id].get() : nullptr;
}

void TGateWaySocketServer::OnClientOpen(const PWebSocketConnection& AConnection) {
  if (!FLogicServer->IsConnected()) {
    AConnection->CloseWithStatus(wccServerError);  // no game to relay to
    return;
  }
  PUserSession session = TUserSession::Create(AConnection);
  session->SetStats(&FStats);
  // Set before the session enters a table, which publishes it to the other threads
  // (the token never changes afterwards, so they read it without a lock).
  std::string token = CreateGuidText();
  session->SetToken(token);
  TGateWayWorker* worker = ChooseWoker();
  if (worker == nullptr) {
    FStats.Count(TLimitBreach::lbWorkerTableFull);
    Log("ChooseWoker = nil", llError);
    RefuseSession(AConnection, std::move(session));
    return;
  }
  uint32_t handle = 0;
  if (!worker->AddSession(session, handle)) {
    FStats.Count(TLimitBreach::lbWorkerTableFull);
    Log("Handle Out Close Socket" + AConnection->PeerAddr(), llWarning);
    RefuseSession(AConnection, std::move(session));
    return;
  }
  session->RecountStep();
  Log("客户端连接:" + AConnection->PeerAddr() + " , Token : " + token +
          ",Handle:" + std::to_string(handle) + ", Worker:" + std::to_string(worker->ID()),
      llDebug);
  SendToken(*worker, *session);
}

void TGateWaySocketServer::RefuseSession(const PWebSocketConnection& AConnection,
                                         PUserSession Session) {
  // No table holds the session, and its close event would only come after this open
  // event has returned: the close work is done here, and the event finds no session.
  // A refused client was never given its token: the close line names none.
  Session->SetToken({});
  Session->CountOut();
  Session->DetachFromConnection();
  AConnection->Close();
  ReportSessionClosed(*Session, AConnection->PeerAddr());
}

void TGateWaySocketServer::ReportSessionClosed(const TUserSession& Session,
                                               const std::string& PeerAddr) {
  const uint32_t handle = Session.Handle();
  Log("Client Close : " + PeerAddr + " Token:" + Session.TokenID() +
          " , Handle:" + std::to_string(handle),
      llDebug);
  switch (Session.SessionStep()) {
    case ssLogin:
      FLoginSrv->SendCloseSession(handle);
      break;
    case ssGame:
      FLogicServer->SendCloseSession(handle);
      break;
    case ssNone:
      break;
  }
}

void TGateWaySocketServer::SendToken(TGateWayWorker& Worker, TUserSession& Session) {
  // Through the worker's queue: the session's outgoing queue is its worker's own.
  Worker.PostSessionOutput(Session.Handle(),
                           MakeTokenChallengeMessage(ChallengeText(Session.TokenID(), FKeys)));
}

bool TGateWaySocketServer::CheckToken(const TUserSession& Session, std::string_view Answer) {
  if (Answer.size() > kMaxTokenText) FStats.Count(TLimitBreach::lbTokenAnswerTooLong);
  std::optional<std::string> received = DecodeTokenAnswer(Answer, FKeys);
  if (!received) return false;  // undecodable: refused without the mismatch line
  std::string expected = ExpectedTokenAnswer(Session.TokenID());
  if (TokenAnswerMatches(*received, expected)) return true;
  // The answer is the client's own text: escaped, so it can neither forge a line nor drive
  // the operator's terminal. A reconnect loop of wrong answers writes a line a second.
  FGuard->ClientLine(TClientLine::clTokenMismatch,
                     "授权校验失败:" + LogText(*received) + " -> " + expected);
  return false;
}

void TGateWaySocketServer::OnClientMessage(const PWebSocketConnection& AConnection,
                                           std::span<const uint8_t> AData) {
  TGateWayStats::Add(FStats.ClientBytesIn, AData.size());
  TGateWayStats::Add(FStats.ClientMessagesIn);
  TUserSession* session = TUserSession::FromConnection(*AConnection);
  if (session == nullptr) return;
  session->CountReceived(AData.size());
  if (!FGuard->CheckMessage(*AConnection, AData.size())) return;  // an attack: closed
  uint32_t handle = session->Handle();
  if (!ReadClientMessage(AData)) {
    FGuard->MalformedMessage(*AConnection, session->MalformedMessages(), TClientLine::clTooShort,
                             "收到的数据太短了:" + std::to_string(handle));
    return;
  }
  if (!session->TokenChecked()) {
    const TClientRead<std::string_view> answer = ReadTokenAnswer(AData);
    if (!answer) {
      FGuard->MalformedMessage(*AConnection, session->MalformedMessages(),
                               TClientLine::clEmptyAnswer,
                               "Token解码为空:" + std::to_string(handle));
      return;
    }
    if (CheckToken(*session, *answer)) {
      Log("授权验证成功:" + session->TokenID(), llDebug);
      session->MarkTokenChecked();
      FHandshakeTimes.Observe(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - session->OpenedAt())
              .count());
      AConnection->PassedAdmission();  // ClientTimeOut no longer applies
      FLoginSrv->RegisterSession(handle, session->IP());
    } else {
      FGuard->CountTokenRefused();
      FGuard->ClientLine(TClientLine::clUnauthorised,
                         "踢出连接,没经过授权的连接:" + AConnection->PeerAddr());
      // Frees the session: not touched afterwards. Its line is rate-limited like the above.
      CloseSessionWith(handle, "授权失败", wccPolicy, /*RateLimited=*/true);
    }
    return;
  }
  switch (session->SessionStep()) {
    case ssLogin: {
      const TClientRead<std::span<const uint8_t>> message = ReadLoginMessage(AData);
      if (!message) {
        // A "$" would end the login frame early and let the client forge frames of its own.
        // Counted, and its line limited: a client could reconnect and send it again and again.
        FStats.Count(TLimitBreach::lbLoginMessageDollar);
        FGuard->ClientLine(TClientLine::clLoginDollar,
                           FLoginSrv->Name() + " refused a client message holding \"$\" , " +
                               "SessionHandle : " + std::to_string(handle));
        CloseSessionWith(handle, "Client Message Holds $", wccNormal);  // frees the session
        return;
      }
      FLoginSrv->ForwardTo(handle, message->data(), static_cast<uint32_t>(message->size()));
      break;
    }
    case ssGame:
      // Read and acted on by the owning worker, in the order the client sent them.
      AddSessionMessage(handle, GM_GATE_CLIENTMSG, 0, AData.data(),
                        static_cast<uint32_t>(AData.size()));
      break;
    case ssNone:
      break;
  }
}

void TGateWaySocketServer::OnClientClose(const PWebSocketConnection& AConnection) {
  TUserSession* found = TUserSession::FromConnection(*AConnection);
  if (found == nullptr) return;
  uint32_t handle = found->Handle();
  TGateWayWorker* worker = WorkerOf(handle);
  if (worker == nullptr) {
    // Cannot happen: every attached session sits in the table of its handle's worker.
    Log("Client Close Session Worker Not Find " + std::to_string(SessionWorkerID(handle)),
        llWarning);
    return;
  }
  // Taking the session out of its table makes this the last owner (but for a send
  // still in flight): the session goes at the end of this event.
  PUserSession session = worker->RemoveSession(handle, found);
  if (!session) return;
  session->CountOut();
  ReportSessionClosed(*session, AConnection->PeerAddr());
  session->DetachFromConnection();
}

void TGateWaySocketServer::AddSessionMessage(uint32_t SessionHandle, int32_t Ident, int32_t Param,
                                             const void* Data, uint32_t Size) {
  if (TGateWayWorker* worker = WorkerOf(SessionHandle)) {
    worker->AddMessage(SessionHandle, Ident, Param, Data, Size);
  }
}

void TGateWaySocketServer::AddSessionMessageDirect(uint32_t SessionHandle, const void* Data,
                                                   uint32_t Size) {
  if (TGateWayWorker* worker = WorkerOf(SessionHandle)) {
    worker->AddSessionMessageDirect(SessionHandle, Data, Size);
  }
}

void TGateWaySocketServer::CloseSession(uint32_t SessionHandle, const std::string&,
                                        const std::string& Reason) {
  CloseSessionWith(SessionHandle, Reason, wccNormal);
}

void TGateWaySocketServer::CloseSessionWith(uint32_t SessionHandle, const std::string& Reason,
                                            uint16_t Code, bool RateLimited) {
  if (SessionHandle == 0) {
    Log("CloseSession SessionHandle = 0 ", llWarning);
    return;
  }
  TGateWayWorker* worker = WorkerOf(SessionHandle);
  if (worker == nullptr) {
    Log("CloseSession Worker Not Find " + std::to_string(SessionWorkerID(SessionHandle)),
        llWarning);
    return;
  }
  PUserSession session = worker->BeginCloseSession(SessionHandle, "CloseSession");
  if (!session) return;
  const std::string line = "CloseSession:" + session->TokenID() + ",原因:" + LogText(Reason);
  if (RateLimited) {
    FGuard->ClientLine(TClientLine::clRefusedClose, line);
  } else {
    Log(line, llWarning);
  }
  // Closed outside the worker's lock; the close event takes the session out of its
  // table and frees it.
  if (const PWebSocketConnection& connection = session->Connection()) {
    connection->CloseWithStatus(Code);
  }
}

void TGateWaySocketServer::ChangeSessionStep(uint32_t SessionHandle, TSessionStep SessionStep,
                                             bool IsGameSoftClose) {
  TGateWayWorker* worker = WorkerOf(SessionHandle);
  if (worker == nullptr) return;
  if (IsGameSoftClose) {
    // Queued behind the client's messages that came before it, so they still leave
    // under the handle it gives up; the worker does the rest in its message pass.
    worker->AddMessage(SessionHandle, GM_GATE_SOFTCLOSE, 0, nullptr, 0);
    return;
  }
  // The worker changes the step in its message pass and appends the registration under
  // its table lock: a close event, which takes the session out of the table under that
  // lock, either comes first (and nothing is registered) or sees the new step and reports
  // the close after it.
  worker->AddMessage(SessionHandle, GM_GATE_STEP, SessionStep, nullptr, 0);
}

void TGateWaySocketServer::HandOverSession(uint32_t SessionHandle, const void* Data,
                                           uint32_t Size) {
  TGateWayWorker* worker = WorkerOf(SessionHandle);
  if (worker == nullptr) return;
  // One message for the worker, which does it all in one step of its message pass: the
  // send pass cannot send the message before the step has changed (the client would
  // answer into the login step), and the logic server's first answers, which reach the
  // worker's queue only after the registration, land behind it.
  worker->AddMessage(SessionHandle, GM_GATE_HANDOVER, 0, Data, Size);
}

void TGateWaySocketServer::CloseAllSession(const std::string& Reason) {
  Log("CloseAllSession :" + Reason, llWarning);
  for (auto& worker : FWorkers) worker->AddMessage(0, GM_GATE_CLOSEALL, 0, nullptr, 0);
}

std::string TGateWaySocketServer::GetSessionRemoteAddr(uint32_t SessionHandle) {
  TGateWayWorker* worker = WorkerOf(SessionHandle);
  if (worker == nullptr) return {};
  // The same lookup as CloseSession's: the address is that of the session a following
  // CloseSession for this handle closes (none for a handle whose client has gone).
  PUserSession session = worker->GetSession(SessionHandle);
  return session ? session->IP() : std::string();
}

}  // namespace gw
