#include "net/SocketServer.h"

#include <cassert>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/PeerLimits.h"
#include "common/Platform.h"
#include "net/DescriptorLimit.h"
#include "net/NetDiagLog.h"
#include "net/SockAddrText.h"
#include "net/SocketApi.h"

namespace gw {

namespace {

constexpr int kKeepAliveIdle = 5;      // seconds of silence before the first probe
constexpr int kKeepAliveInterval = 3;  // seconds between probes
constexpr int kKeepAliveCount = 5;

int DefaultIoThreads() {
  unsigned n = std::thread::hardware_concurrency();
  return static_cast<int>((n == 0 ? 1 : n) * 2 + 1);
}

// The peer's address as numeric text, as the connection will report it.
std::string PeerAddressOf(int socket) {
  sockaddr_storage addr{};
  std::string text;
  uint16_t port = 0;
  if (SocketPeerAddress(socket, addr)) SockAddrText(addr, text, port);
  return text;
}

}  // namespace

TSocketServer::TSocketServer(int ioThreads)
    : FIoThreadCount(ioThreads > 0 ? ioThreads : DefaultIoThreads()) {}

TSocketServer::~TSocketServer() {
  StopServer();
  PlatformEnd();
}

std::string TSocketServer::ServerAddr() const {
  std::lock_guard<std::mutex> guard(FAddrLock);
  return FAddr;
}

void TSocketServer::SetServerAddr(const std::string& addr) {
  std::lock_guard<std::mutex> guard(FAddrLock);
  FAddr = addr;
}

void TSocketServer::SetTlsContext(PTlsContext context) {
  std::lock_guard<std::mutex> guard(FTlsLock);
  FTlsContext = std::move(context);
}

PTlsContext TSocketServer::TlsContext() const {
  std::lock_guard<std::mutex> guard(FTlsLock);
  return FTlsContext;
}

PAbstractConnection TSocketServer::NewConnection(int socket) {
  return std::make_shared<TAbstractConnection>(*this, socket, ctAccept);
}

size_t TSocketServer::ConnectionCount() const {
  std::lock_guard<std::mutex> guard(FConnectionsLock);
  return FConnections.size();
}

size_t TSocketServer::ListensCount() const {
  std::lock_guard<std::mutex> guard(FListensLock);
  return FListens.size();
}

std::vector<PAbstractConnection> TSocketServer::Connections() const {
  std::lock_guard<std::mutex> guard(FConnectionsLock);
  std::vector<PAbstractConnection> out;
  out.reserve(FConnections.size());
  for (const auto& entry : FConnections) out.push_back(entry.second);
  return out;
}

void TSocketServer::CloseAllConnections() {
  for (const PAbstractConnection& connection : Connections()) connection->CloseConnection();
}

void TSocketServer::CloseAllListens() {
  std::vector<std::shared_ptr<TAbstractListen>> listens;
  {
    std::lock_guard<std::mutex> guard(FListensLock);
    for (const auto& entry : FListens) listens.push_back(entry.second);
  }
  // A socket another process may hold too must not be shut down: that would end its
  // listening as well.
  const bool shared = FListensShared.load();
  for (const auto& listen : listens) shared ? listen->Release() : listen->Close();
}

void TSocketServer::CloseAll() {
  CloseAllListens();
  CloseAllConnections();
}

void TSocketServer::DisconnectAll() {
  for (const PAbstractConnection& connection : Connections()) connection->Disconnect();
}

void TSocketServer::StartLoop() {
  if (!FIoThreads.empty()) return;
  PlatformStart();
  TNetDiagLog::Start();
  for (int i = 0; i < FIoThreadCount; ++i) {
    auto thread = std::make_unique<TIoEventThread>(i);
    if (!thread->Open()) continue;  // logged; the others carry the load
    thread->SetDeadlineHandler([this](uint64_t uid) { AdmissionDeadlineDue(uid); });
    thread->SetMinTurnMicros(FMinTurnMicros);
    thread->Start();
    FIoThreads.push_back(std::move(thread));
  }
}

void TSocketServer::StopLoop() {
  if (FIoThreads.empty()) return;
  for (const auto& thread : FIoThreads) {
    if (thread->IsCurrent()) throw std::logic_error("不能在IO线程中执行StopLoop!");
  }
  CloseAll();
  while (ConnectionCount() > 0 || ListensCount() > 0) {
    SleepMs(1);
    CloseAll();
  }
  for (const auto& thread : FIoThreads) thread->RequestStop();
  for (const auto& thread : FIoThreads) thread->Join();
  // A connection accepted while the threads were ending is closed here.
  CloseAllConnections();
  FIoThreads.clear();
  std::lock_guard<std::mutex> guard(FListensLock);
  FRetiredListens.clear();
}

void TSocketServer::StartServer(const std::function<void(bool)>& callback) {
  if (FStarted.exchange(true)) {
    if (callback) callback(false);
    return;
  }
  for (const auto& thread : FIoThreads) {
    if (thread->IsCurrent()) throw std::logic_error("不能在IO线程中执行StartLoop!");
  }
  StartLoop();
  if (FIoThreads.empty()) {
    FStarted.store(false);
    if (callback) callback(false);
    return;
  }
  const TListenCallback done = [this, &callback](TAbstractListen* listen, bool success) {
    if (!success) {
      FStarted.store(false);
    } else if (listen != nullptr && (FPort.load() == 0 || !FGivenListens.empty())) {
      FPort.store(listen->LocalPort());
    }
    if (callback) callback(success);
  };
  if (FGivenListens.empty()) {
    Listen(ServerAddr(), FPort.load(), done);
  } else {
    AdoptListens(done);
  }
}

void TSocketServer::SetListenSockets(std::vector<int> sockets, bool paused) {
  FGivenListens = std::move(sockets);
  FAcceptPaused = paused;
}

void TSocketServer::AdoptListens(const TListenCallback& callback) {
  FListensShared.store(true);
  std::vector<int> sockets = std::move(FGivenListens);
  FGivenListens.clear();
  for (size_t i = 0; i < sockets.size(); ++i) {
    sockaddr_storage local{};
    if (!SocketLocalAddress(sockets[i], local)) {
      TNetDiagLog::SystemError("TIocpSocketEngine.Listen.getsockname", SocketLastSystemError());
      for (size_t k = i; k < sockets.size(); ++k) SocketClose(sockets[k]);
      callback(nullptr, false);
      return;
    }
    SocketSetNonBlocking(sockets[i]);
    auto listen = std::make_shared<TAbstractListen>(*this, sockets[i], local.ss_family, SOCK_STREAM,
                                                    IPPROTO_TCP);
    listen->UpdateAddr();
    const bool joined = FAcceptPaused || WatchListen(listen);
    {
      std::lock_guard<std::mutex> guard(FListensLock);
      FListens.emplace(listen->UID(), listen);
    }
    if (!joined) {
      listen->Close();
      for (size_t k = i + 1; k < sockets.size(); ++k) SocketClose(sockets[k]);
      callback(nullptr, false);
      return;
    }
    callback(listen.get(), true);
  }
}

void TSocketServer::ResumeAccepting() {
  std::lock_guard<std::mutex> guard(FListensLock);
  if (!FAcceptPaused) return;
  FAcceptPaused = false;
  for (const auto& entry : FListens) {
    if (!entry.second->IsClosed()) WatchListen(entry.second);
  }
}

std::vector<int> TSocketServer::ListenSockets() const {
  FListensShared.store(true);
  std::lock_guard<std::mutex> guard(FListensLock);
  std::vector<int> sockets;
  for (const auto& entry : FListens) {
    if (entry.second->IsClosed()) continue;
    // Under the lock, the descriptor cannot be closed meanwhile: the copy is of this socket.
    const int copy = SocketDuplicate(entry.second->Socket());
    if (copy >= 0) sockets.push_back(copy);
  }
  return sockets;
}

void TSocketServer::ReleaseListens() {
  FListensShared.store(true);
  std::vector<std::shared_ptr<TAbstractListen>> listens;
  {
    std::lock_guard<std::mutex> guard(FListensLock);
    for (const auto& entry : FListens) listens.push_back(entry.second);
  }
  for (const auto& listen : listens) listen->Release();
}

void TSocketServer::ListenReleased(TAbstractListen& listen) {
  {
    // Every accept takes this lock and looks at the listener under it: once it is taken
    // here, an accept under way has ended and no later one touches the released socket.
    std::lock_guard<std::mutex> guard(FAcceptLock);
  }
  ListenRemoved(listen);
}

void TSocketServer::SetOnConnectionsEmptied(std::function<void()> handler) {
  std::lock_guard<std::mutex> guard(FEmptiedLock);
  FOnEmptied = std::move(handler);
}

void TSocketServer::StopServer() {
  CloseAll();
  StopLoop();
  FStarted.store(false);
}

void TSocketServer::Listen(const std::string& host, uint16_t port,
                           const TListenCallback& callback) {
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  std::string portText = std::to_string(port);
  int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), portText.c_str(), &hints, &list);
  if (rc != 0) {
    // The resolver's own code and text, in the same form as a system error.
    char head[64];
    std::snprintf(head, sizeof(head), "System Error.  Code: %d(%.4X), ", rc,
                  static_cast<unsigned>(rc));
    TNetDiagLog::Write(std::string("TIocpSocketEngine.Listen.GetAddrInfo : ") + head +
                       gai_strerror(rc));
    callback(nullptr, false);
    return;
  }
  uint16_t sharedPort = port;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (sharedPort != 0) {
      if (ai->ai_family == AF_INET) {
        reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_port = htons(sharedPort);
      } else if (ai->ai_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(ai->ai_addr)->sin6_port = htons(sharedPort);
      }
    }
    bool skip = false;
    const int fd = OpenListenSocket(*ai, host.empty(), skip);
    if (skip) continue;  // a family this host lacks, while serving every local address
    if (fd < 0) {
      callback(nullptr, false);
      break;
    }
    auto listen = std::make_shared<TAbstractListen>(*this, fd, ai->ai_family, ai->ai_socktype,
                                                    ai->ai_protocol);
    listen->UpdateAddr();
    const bool joined = WatchListen(listen);
    {
      std::lock_guard<std::mutex> guard(FListensLock);
      FListens.emplace(listen->UID(), listen);
    }
    if (!joined) {
      listen->Close();
      callback(nullptr, false);
      break;
    }
    callback(listen.get(), true);
    if (sharedPort == 0) sharedPort = listen->LocalPort();
  }
  freeaddrinfo(list);
}

void TSocketServer::ListenRemoved(TAbstractListen& listen) {
  // Under the lock, so a resting listener is not put back after it was removed.
  std::lock_guard<std::mutex> guard(FListensLock);
  UnwatchListen(listen);
  auto it = FListens.find(listen.UID());
  if (it != FListens.end()) {
    FRetiredListens.push_back(std::move(it->second));
    FListens.erase(it);
  }
}

void TSocketServer::AcceptOne(int fd) {
  if (FMaxConnections > 0 &&
      (ConnectionCount() >= FMaxConnections || DescriptorsNearLimit(fd, FDescriptorReserve))) {
    Stats().Count(FCapBreach);
    SocketRefuse(fd);
    return;
  }
  if (FProxyProtocol) {
    // Only the balancers may speak for a client; the guard hears of the connection
    // once its header has named the client.
    sockaddr_storage peer{};
    if (!SocketPeerAddress(fd, peer) || !CidrListContains(FProxyFrom, peer)) {
      Stats().Count(TLimitBreach::lbProxyUntrustedSource);
      LogRefusal(rkUntrusted, "Refused " + PeerAddressOf(fd) +
                                  ": not a trusted balancer (--proxy-from) for the PROXY protocol");
      SocketRefuse(fd);
      return;
    }
  } else if (FGuard && !FGuard->AdmitConnection(PeerAddressOf(fd))) {
    SocketRefuse(fd);
    return;
  }
  std::unique_ptr<TTlsSession> tls;
  if (PTlsContext context = TlsContext()) {
    tls = std::make_unique<TTlsSession>(std::move(context));
    if (!tls->Valid()) {
      TNetDiagLog::Write("TIocpSocketEngine._HandleAccept.SSL_new : " + tls->FailureText());
      SocketRefuse(fd);
      return;
    }
  }
  SocketSetKeepAlive(fd, kKeepAliveIdle, kKeepAliveInterval, kKeepAliveCount);
  if (FNoDelay) SocketSetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  PAbstractConnection connection = NewConnection(fd);
  const bool tlsOn = tls != nullptr;
  if (tls) connection->StartTls(std::move(tls));
  uint32_t next = FNextThread.fetch_add(1, std::memory_order_relaxed);
  connection->Attach(FIoThreads[next % FIoThreads.size()].get());
  // Addresses are fixed before the connection becomes visible to other threads.
  connection->ReadAddresses();
  if (FProxyProtocol) {
    connection->ExpectProxyHeader();
  } else if (FGuard) {
    // Before the connection is visible: its close cannot be reported ahead of this.
    (void)connection->SetGuardAdmitted();  // cannot fail: nobody else sees it yet
    FGuard->ConnectionOpened(connection);
  }
  {
    std::lock_guard<std::mutex> guard(FConnectionsLock);
    FConnections.emplace(connection->UID(), connection);
    // Closed meanwhile by the guard (its address was just blocked): its removal from the
    // table may have come first, so it must not stay listed.
    if (connection->IsClosed()) {
      FConnections.erase(connection->UID());
      return;
    }
  }
  // After it is in the table: a deadline that fires at once closes a listed connection.
  const uint32_t timeoutMs = FGuard ? FGuard->AdmissionTimeoutMs() : 0;
  if (timeoutMs > 0) {
    const uint64_t due = TIoEventThread::MonotonicMs() + timeoutMs;
    connection->ArmAdmissionDeadline(due);
    connection->Thread()->AddDeadline(due, connection->UID());
  }
  // Whatever the admission deadline (none at all when ClientTimeOut is 0), the first step
  // has its own: a header, handshake or request that never comes must not hold the
  // connection without end.
  connection->ArmStepDeadline(FProxyProtocol ? limits::kProxyHeaderWaitMs
                              : tlsOn        ? limits::kTlsHandshakeWaitMs
                                             : FRequestWaitMs);
  connection->MarkConnected();
  HandleConnected(*connection);
  if (!connection->RegisterWithThread()) connection->CloseConnection();
}

void TSocketServer::ConnectionRemoved(TAbstractConnection& connection) {
  bool emptied;
  {
    std::lock_guard<std::mutex> guard(FConnectionsLock);
    emptied = FConnections.erase(connection.UID()) > 0 && FConnections.empty();
  }
  if (emptied) {
    FConnectionsEmptied.notify_all();
    std::lock_guard<std::mutex> guard(FEmptiedLock);
    if (FOnEmptied) FOnEmptied();
  }
  // The address is read only after the admission was seen: a proxied connection's
  // address is written on its I/O thread before it is admitted.
  if (FGuard && connection.TakeGuardRelease()) {
    FGuard->ConnectionClosed(connection.PeerAddrText(), connection.UID());
  }
}

void TSocketServer::CloseGracefully(std::chrono::milliseconds grace) {
  for (const auto& thread : FIoThreads) {
    if (thread->IsCurrent()) throw std::logic_error("不能在IO线程中执行StopLoop!");
  }
  CloseAllListens();
  for (const PAbstractConnection& connection : Connections()) connection->CloseGoingAway();
  std::unique_lock<std::mutex> lock(FConnectionsLock);
  FConnectionsEmptied.wait_for(lock, grace, [this] { return FConnections.empty(); });
}

bool TSocketServer::ProxyHeaderDone(TAbstractConnection& connection,
                                    TProxyHeaderStage::TResult result) {
  switch (result) {
    case TProxyHeaderStage::prsWaiting:
      return true;
    case TProxyHeaderStage::prsInvalid:
      Stats().Count(TLimitBreach::lbProxyHeaderInvalid);
      LogRefusal(rkInvalidHeader, "Closed a connection from " + connection.PeerAddrText() +
                                      ": its first bytes are not a valid PROXY protocol header");
      connection.CloseConnection();
      return false;
    case TProxyHeaderStage::prsUnknown:
      // The balancer could not name the client: nobody the rules could be applied to.
      connection.CloseConnection();
      return false;
    case TProxyHeaderStage::prsLocal:
      // The balancer's own health check: served like a client at the balancer's address
      // (the connection's own), so the check sees the port answer as clients do.
    case TProxyHeaderStage::prsRelayed:
      break;
  }
  if (!FGuard) {
    connection.ClearAdmissionDeadline();  // it was only the header's
    return !connection.IsClosed();
  }
  const std::string& address = connection.PeerAddrText();
  if (!FGuard->AdmitConnection(address)) {
    connection.CloseConnection();
    return false;
  }
  PAbstractConnection self = connection.shared_from_this();
  FGuard->ConnectionOpened(self);
  // Closed by another thread meanwhile (the service stopping): its removal did not
  // report it, so the place is given back here.
  if (!connection.SetGuardAdmitted()) {
    FGuard->ConnectionClosed(address, connection.UID());
    return false;
  }
  // The deadline was only the header's: the guard has none of its own.
  if (FGuard->AdmissionTimeoutMs() == 0) connection.ClearAdmissionDeadline();
  return !connection.IsClosed();
}

void TSocketServer::LogRefusal(TRefusalKind kind, const std::string& line) {
  if (!FRefusalLog) return;
  // One line a second per kind at most: a stream of bad connections must not flood the
  // log (they are all counted); the next line says how many were held back.
  const uint64_t now = TIoEventThread::MonotonicMs() + 1;  // 0 means "never logged"
  uint64_t last = FLastRefusalLogMs[kind].load();
  if ((last != 0 && now - last < 1000) ||
      !FLastRefusalLogMs[kind].compare_exchange_strong(last, now)) {
    FRefusalsNotLogged[kind].fetch_add(1);
    return;
  }
  const uint64_t held = FRefusalsNotLogged[kind].exchange(0);
  FRefusalLog(held == 0 ? line : line + " (" + std::to_string(held) + " similar lines suppressed)");
}

void TSocketServer::AdmissionDeadlineDue(uint64_t uid) {
  PAbstractConnection connection;
  {
    std::lock_guard<std::mutex> guard(FConnectionsLock);
    auto it = FConnections.find(uid);
    if (it == FConnections.end()) return;  // closed meanwhile
    connection = it->second;
  }
  connection->AdmissionDeadlinePassed();
}

void TSocketServer::StepTimedOut(TAbstractConnection& connection) {
  if (connection.AwaitingProxyHeader()) {
    AdmissionTimedOut(connection);  // the same line and counter as under the guard's deadline
    return;
  }
  if (connection.IsTls() && !connection.TlsEstablished()) {
    Stats().Count(TLimitBreach::lbTlsHandshakeTimeOut);
    LogRefusal(rkTlsTimeOut, "Closed a connection from " + connection.PeerAddrText() +
                                 ": TLS handshake not finished within " +
                                 std::to_string(limits::kTlsHandshakeWaitMs / 1000) + " s");
    return;
  }
  Stats().Count(FRequestTimeOutBreach);
  LogRefusal(rkRequestTimeOut, "Closed a connection from " + connection.PeerAddrText() +
                                   ": no complete HTTP request within " +
                                   std::to_string(FRequestWaitMs / 1000) + " s");
}

void TSocketServer::AdmissionTimedOut(TAbstractConnection& connection) {
  if (connection.AwaitingProxyHeader()) {
    // The guard never admitted it: the balancer (or a peer posing as one) sent no header.
    Stats().Count(TLimitBreach::lbProxyHeaderTimeOut);
    LogRefusal(rkHeaderTimeOut, "Closed a connection from " + connection.PeerAddrText() +
                                    ": no complete PROXY protocol header in time");
    return;
  }
  if (FGuard) FGuard->AdmissionTimedOut(connection.PeerAddrText(), connection.AdmissionStage());
}

}  // namespace gw
