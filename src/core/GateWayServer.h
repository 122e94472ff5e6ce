// TGateWaySocketServer: the client-facing heart of the gateway. It owns the
// WebSocket listener, the login server link, the logic server link and the
// workers; turns every accepted connection into a user session on the least
// loaded worker, proves the client with the token handshake, relays its messages
// to the login or the logic server by the session's step, and implements the
// gateway server interface through which the links report back.
//
// Thread safety: the interface operations (AddSessionMessage, CloseSession, ...)
// and the client events (OnClientOpen/OnClientMessage/OnClientClose) are safe
// from any thread. Create, SetLogger, Start, Stop and destruction belong to the
// owner's thread (the service control). For one connection the transport
// delivers open, messages and close one at a time and in that order.
//
// Handles: every call that names a session from outside its worker (the links' data,
// hand-over and close commands, the console's kick) reaches only the session that
// handle names: worker, generation and slot must all match (or the handle is the one
// the session had before its last soft close). A late call for a client that has
// gone never reaches the next client in its slot; it is dropped with one debug line.
//
// Locks: the server has none of its own. What changes a session (its step, a hand-over,
// output for its client, the token challenge) goes to the session's worker as one
// message on its queue; the worker acts on it in its message pass under its table lock,
// with a link's send lock taken inside it (worker lock first, never the reverse), so the
// hand-over registration always precedes the close of that handle. Looking a session up
// (GetSessionRemoteAddr, CloseSession) takes the worker's table lock briefly; connections
// are closed with no lock held.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/DeploymentKeys.h"
#include "common/MetricsWriter.h"
#include "config/CustomGateWayConfig.h"
#include "core/ClientGuard.h"
#include "core/GateWayWorker.h"
#include "gate/GateWaySocketServerInterface.h"
#include "gate/GateWayTraffic.h"
#include "logging/LogLevel.h"
#include "net/IWebSocketConnection.h"
#include "net/IWebSocketServer.h"
#include "net/ProxyHeader.h"

namespace gw {

class TGateWayMetrics;
class TLogicSrvClient;
class TLoginSrvClient;

// How the gateway sits in a deployment (the program's command line).
struct TEdgeOptions {
  // Clients come through load balancers at these addresses with a PROXY protocol header
  // (none: clients connect directly).
  std::optional<std::vector<TCidr>> ProxyFrom;
  // The metrics and health listener (MetricsPort 0 with Metrics: any free port).
  bool Metrics = false;
  std::string MetricsHost;
  uint16_t MetricsPort = 0;
};

// "10.0.0.0/8,::1/128": address ranges as the log shows them.
std::string CidrListText(const std::vector<TCidr>& list);

// Starting the gateway server failed (port not a number, port cannot be bound). `Cause`
// is the same fault for an operator outside the log (the address and the system's error);
// what() when empty.
class EGateWayStartError : public std::runtime_error {
 public:
  explicit EGateWayStartError(const std::string& What, std::string Cause = {})
      : std::runtime_error(What), FCause(std::move(Cause)) {}
  std::string Cause() const { return FCause.empty() ? what() : FCause; }

 private:
  std::string FCause;
};

class TGateWaySocketServer : public TGateWaySocketServerInterface {
 public:
  // I/O threads of the WebSocket listener: at most this many, and no more than the
  // machine has processors (ListenerIoThreads). More I/O threads than processors only
  // take turns on them: every message then costs thread switches besides its own work.
  static constexpr int kListenerIoThreads = 8;
  static int ListenerIoThreads();
  // How long, under load, an I/O thread or the logic link gathers before its next turn when
  // replies wait for a send pass anyway. At 10,000 clients x 10 messages/s, 300 us took most
  // of the thread switches out at no cost in latency; 1 ms saved little more and added to it.
  static constexpr uint32_t kGatherMicros = 300;
  // ChooseWoker takes a worker only when it holds fewer sessions than this.
  static constexpr int32_t kChooseWokerBound = 100000;
  static constexpr int32_t kDefaultServerPort = 5000;

  // Creates the links and WokerCount workers (not started). Reads the handshake
  // keys once. Throws std::runtime_error for a worker count that cannot be
  // addressed, and the key loader's error for an unreadable key file.
  explicit TGateWaySocketServer(const TCustomGateWayConfig& Config);
  ~TGateWaySocketServer() override;
  TGateWaySocketServer(const TGateWaySocketServer&) = delete;
  TGateWaySocketServer& operator=(const TGateWaySocketServer&) = delete;

  void SetLogger(TLogProc Proc) { FLogger = std::move(Proc); }
  // Makes the client listener at Start (default: the WebSocket transport). Before Start.
  using TListenerFactory = std::function<PWebSocketServer(int IoThreads)>;
  void SetListenerFactory(TListenerFactory Factory) { FListenerFactory = std::move(Factory); }
  // The workers' send interval in milliseconds (TGateWayWorker::SetSendInterval). Before Start.
  // With an interval above 0, replies wait for the next pass anyway: the I/O threads and
  // the logic link then gather what arrives for up to kGatherMicros per turn, taking many
  // messages per wake-up instead of one thread switch each.
  void SetSendInterval(uint32_t Ms) {
    FSendInterval = Ms;
    for (auto& worker : FWorkers) worker->SetSendInterval(Ms);
  }
  // The PROXY protocol and the metrics listener. Before Start.
  void SetEdgeOptions(TEdgeOptions Options) { FEdge = std::move(Options); }
  // How long a graceful stop waits for clients to answer their close frame.
  static constexpr uint32_t kDrainGraceMs = limits::kWsCloseAnswerMs;

  // Clients accepted from now on speak TLS with `Context` (null: plain ws). Before Start,
  // and again on the owner's thread for a reloaded certificate (live clients keep theirs).
  void SetTlsContext(PTlsContext Context);

  // Opens the metrics listener (when asked for) and the client listener, then starts
  // the login link, the logic link and the workers. Throws EGateWayStartError when
  // GatePort is not a port number or a listener cannot be bound; nothing else is
  // started then.
  void Start();
  // Drains first: no new client is accepted, every upgraded client gets a close frame
  // saying the server goes away (1001) and up to kDrainGraceMs to answer it, while the
  // links still relay its close upstream. Then the listener (every client left is
  // closed and reported upstream), the login link, the logic link, the workers, and
  // the metrics listener. A stopped server is not started again.
  void Stop();
  bool IsRuning() const { return FIsRuning.load(); }
  // Between the start of Stop and its end (the health check then fails). Any thread.
  bool IsStopping() const { return FStopping.load(); }
  // How long Stop waits for clients to answer their close frame (kDrainGraceMs unless set;
  // a drain shorter than that leaves less). Owner's thread, before Stop.
  void SetCloseGrace(uint32_t Ms) { FCloseGraceMs = Ms; }

  // A drain (the owner decides when it ends and calls Stop): the health check fails from now
  // on, every session goes on being relayed, and `OnClientsGone` is called (on the thread that
  // closed it) each time the last client connection goes. StopAccepting closes the client
  // listener (later connection attempts are refused at once). Any thread.
  void BeginDrain(std::function<void()> OnClientsGone);
  bool IsDraining() const { return FDraining.load(); }
  void StopAccepting();
  // Client connections, also those not yet upgraded to a session. Any thread.
  size_t ClientConnections() const;

  // The listener hand-over between an old and a new gateway process on one port.
  struct TListenSockets {
    std::vector<int> Client;   // the client port's listening sockets
    std::vector<int> Metrics;  // the metrics port's (none without --metrics)
  };
  // New process: serve on the sockets handed over instead of binding (the metrics listener
  // takes them when they are on its port; others are closed), accepting only from
  // BeginAccepting on. Before Start.
  void SetInheritedListeners(TListenSockets Sockets) { FInherited = std::move(Sockets); }
  void BeginAccepting();
  // Old process: copies of the sockets to hand over (the caller closes them), and the end of
  // its accepting on them for good once the new process serves them. Any thread.
  TListenSockets ListenSockets() const;
  void ReleaseListeners();
  // The metrics listener's port (0 without one).
  uint16_t MetricsPort() const;
  // The port the listener is bound to (the configured one, or the one the
  // system chose for port 0); 0 before Start.
  uint16_t ListenPort() const;

  // Client events, called by the transport.
  void OnClientOpen(const PWebSocketConnection& AConnection);
  void OnClientMessage(const PWebSocketConnection& AConnection, std::span<const uint8_t> AData);
  void OnClientClose(const PWebSocketConnection& AConnection);

  // TGateWaySocketServerInterface. CloseSession is also the console's kick of one
  // session by its full handle (safe from any thread; the session's close event runs
  // inside it unless a handler of that connection is running).
  void AddSessionMessage(uint32_t SessionHandle, int32_t Ident, int32_t Param, const void* Data,
                         uint32_t Size) override;
  void AddSessionMessageDirect(uint32_t SessionHandle, const void* Data, uint32_t Size) override;
  void CloseSession(uint32_t SessionHandle, const std::string& RemoteIPAddr,
                    const std::string& Reason) override;
  // The same with the close frame's status code (a TWsCloseCode; CloseSession sends 1000).
  // RateLimited: the close answers a client's fault; its line is written at most once a
  // second (a client in a reconnect loop must not flood the log).
  void CloseSessionWith(uint32_t SessionHandle, const std::string& Reason, uint16_t Code,
                        bool RateLimited = false);
  void ChangeSessionStep(uint32_t SessionHandle, TSessionStep SessionStep,
                         bool IsGameSoftClose) override;
  // Step, hand-over message and registration by the session's worker, in that order.
  void HandOverSession(uint32_t SessionHandle, const void* Data, uint32_t Size) override;
  void CloseAllSession(const std::string& Reason) override;
  std::string GetSessionRemoteAddr(uint32_t SessionHandle) override;

  // For the console and the tests.
  int32_t WokerCount() const { return static_cast<int32_t>(FWorkers.size()); }
  TGateWayWorker& Worker(int32_t Index) { return *FWorkers[static_cast<size_t>(Index)]; }
  int32_t SessionCount() const;
  TLogicSrvClient& LogicServer() { return *FLogicServer; }
  // The server's counters and gauges (its listener, links, guard, workers and sessions count
  // on them); readable from any thread.
  const TGateWayStats& Stats() const { return FStats; }
  TGateWayStats& Stats() { return FStats; }
  // The byte counters among them, for the statistics panel.
  const TGateWayTraffic& Traffic() const { return FStats; }
  TLoginSrvClient& LoginServer() { return *FLoginSrv; }
  // The protection settings at the edge; ApplySettings on every reload (owner's thread).
  TClientGuard& Guard() { return *FGuard; }
  // The guard's settings and, with them, the transport's bound on a client message
  // (MaxClientPacketSize when KickOverPacketSize makes a bigger message an attack, never
  // above limits::kMaxWsMessageSize): a frame announcing more is refused before its
  // payload is read. On every reload (owner's thread); live connections follow at once.
  void ApplyGuardSettings(const TCustomGateWayConfig& Config);
  // From each client's WebSocket open to its passed token check; any thread.
  const TMetricsHistogram& HandshakeTimes() const { return FHandshakeTimes; }
  // Where the handshake keys came from: the key file's path or the development keys.
  const std::string& KeysOrigin() const { return FKeys.Origin; }
  // Whether the keys are the development keys every client developer knows; any thread.
  bool UsesDevelopmentKeys() const { return FKeys.Origin == DevelopmentKeyTexts().Origin; }

 private:
  TGateWayWorker* ChooseWoker();
  TGateWayWorker* WorkerOf(uint32_t SessionHandle);
  void SendToken(TGateWayWorker& Worker, TUserSession& Session);
  // Closes a connection whose session no worker took, doing the close work at once.
  void RefuseSession(const PWebSocketConnection& AConnection, PUserSession Session);
  // The close work: the "Client Close" line and the upstream server of the step told.
  void ReportSessionClosed(const TUserSession& Session, const std::string& PeerAddr);
  bool CheckToken(const TUserSession& Session, std::string_view Answer);
  void Log(const std::string& Text, TLogLevel Level) const {
    if (FLogger) FLogger(Text, Level);
  }

  // First: the links, workers, guard and listener count on it until they are gone.
  TGateWayStats FStats;
  const std::string FGatePort;
  const TDeploymentKeys FKeys;
  std::unique_ptr<TLoginSrvClient> FLoginSrv;
  std::unique_ptr<TLogicSrvClient> FLogicServer;
  std::vector<std::unique_ptr<TGateWayWorker>> FWorkers;  // worker i has ID i
  PWebSocketServer FSocketServer;                         // created by Start
  TListenerFactory FListenerFactory = CreateWebSocketServer;
  uint32_t FSendInterval = TGateWayWorker::kSendInterval;
  TLogProc FLogger;
  PTlsContext FTlsContext;  // owner's thread
  std::atomic<bool> FIsRuning{false};
  PClientGuard FGuard;
  std::atomic<size_t> FClientMessageBound{limits::kMaxWsMessageSize};  // see ApplyGuardSettings
  TEdgeOptions FEdge;
  std::atomic<bool> FStopping{false};
  std::atomic<bool> FDraining{false};
  uint32_t FCloseGraceMs = kDrainGraceMs;  // owner's thread
  TListenSockets FInherited;               // owner's thread, until Start
  TMetricsHistogram FHandshakeTimes;
  std::unique_ptr<TGateWayMetrics> FMetrics;  // with --metrics, between Start and Stop
};

}  // namespace gw
