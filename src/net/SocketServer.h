// TSocketServer: the socket engine with its server face. It owns the I/O threads,
// the listeners on one port (an empty address gives an IPv6-only and an IPv4
// listener; port 0 is shared by all of them), the table of live connections and
// their life cycle: accept (TCP keep-alive 5 s idle, 3 s interval, 5 probes), hand
// the bytes up through the connection, close once. Subclasses build their own
// connection objects (NewConnection) and hear of removals (HandleDisconnected).
//
// Thread safety: ConnectionsCount, ListensCount, the bulk closes and Connections are
// safe from any thread. Configuration setters come before Start; Start and Stop
// belong to the owner's thread and are refused on an I/O thread.
//
// Locks: FConnectionsLock guards FConnections; FListensLock guards FListens and
// FRetiredListens (and orders a resting listener's return against its removal);
// FAcceptLock is held around each accept; FTlsLock guards the TLS context. None is held while a
// layer above is called, and they are never held together.
//
// Linux, out of descriptors: each I/O thread refuses pending clients at once (accepted
// with the slot of a spare descriptor and closed); should the spare be lost to another
// part of the process, the listener rests briefly instead of waking its thread in a loop.
// Windows: each listener keeps as many accepts posted (AcceptEx) as there are I/O
// threads, on the first thread's completion port; a completed accept posts its
// replacement before the client is looked at.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/GateWayStats.h"
#include "common/PeerLimits.h"
#include "net/AbstractConnection.h"
#include "net/AbstractListen.h"
#include "net/ConnectionGuard.h"
#include "net/IoEventThread.h"
#include "net/ProxyHeader.h"
#include "net/TlsContext.h"

struct addrinfo;

namespace gw {

class TSocketServer {
 public:
  using TListenCallback = std::function<void(TAbstractListen* listen, bool success)>;

  // ioThreads <= 0: processors × 2 + 1.
  explicit TSocketServer(int ioThreads);
  virtual ~TSocketServer();  // stops (subclasses must call Stop in their own destructor)
  TSocketServer(const TSocketServer&) = delete;
  TSocketServer& operator=(const TSocketServer&) = delete;

  uint16_t ServerPort() const { return FPort.load(); }
  void SetServerPort(uint16_t port) { FPort.store(port); }
  std::string ServerAddr() const;
  void SetServerAddr(const std::string& addr);
  // Small sends are coalesced by the system unless this is set (off by default).
  void SetTcpNoDelay(bool on) { FNoDelay = on; }
  int EffectiveIoThreads() const { return FIoThreadCount; }
  // Under load each I/O thread starts at most one turn per Micros microseconds (see
  // TIoEventThread::SetMinTurnMicros); 0 (the default) takes every event at once. Before Start.
  void SetMinTurnMicros(uint32_t Micros) { FMinTurnMicros = Micros; }
  // Consulted for every accepted socket before any byte is read (see IConnectionGuard);
  // none by default. Before Start.
  void SetConnectionGuard(PConnectionGuard guard) { FGuard = std::move(guard); }
  // Every client connection comes through a load balancer from one of `trustedFrom`
  // and starts with a PROXY header (v1 or v2): a connection from elsewhere is refused at
  // accept; one whose header is malformed, missing or not complete within the admission
  // time (the guard's, and limits::kProxyHeaderWaitMs at most) is closed; a LOCAL
  // header (the balancer's health check) is served with the connection's own addresses.
  // The address the header carries is the connection's peer address from then on, and the
  // guard is consulted with it once the header is read. Before Start.
  void SetProxyProtocol(std::vector<TCidr> trustedFrom) {
    FProxyProtocol = true;
    FProxyFrom = std::move(trustedFrom);
  }
  // Where the server's refusals of balancer connections are written (rate-limited);
  // none by default. Before Start.
  void SetRefusalLog(std::function<void(const std::string&)> log) { FRefusalLog = std::move(log); }
  // Each request must be complete within `ms` of the accept, of the end of the PROXY
  // header or TLS handshake, or of the previous request (0: no bound, the default of the
  // bare engine); a connection that misses it is closed and `breach` counted. The TLS
  // handshake has limits::kTlsHandshakeWaitMs, the PROXY header limits::kProxyHeaderWaitMs,
  // whatever the guard says. Before Start.
  void SetRequestWait(uint32_t ms, TLimitBreach breach) {
    FRequestWaitMs = ms;
    FRequestTimeOutBreach = breach;
  }
  uint32_t RequestWaitMs() const { return FRequestWaitMs; }
  // At most `count` connections at once (0: no cap); further ones, and any accepted while
  // fewer than `descriptorReserve` descriptors are left to the process, are closed at
  // accept and `breach` counted: a side listener must never starve the main one. Before Start.
  void SetConnectionCap(size_t count, uint64_t descriptorReserve, TLimitBreach breach) {
    FMaxConnections = count;
    FDescriptorReserve = descriptorReserve;
    FCapBreach = breach;
  }
  // Where the server and its connections count the bounds they hit: the owner's set (null:
  // a set of the server's own, as before the call). Before Start; the set outlives the server.
  void SetStats(TGateWayStats* stats) { FStats = stats ? stats : &FOwnStats; }
  TGateWayStats& Stats() const { return *FStats; }
  // Connections accepted from now on speak TLS with `context` (null: plain TCP). Any
  // thread, any time: a reloaded certificate serves the next client, live ones keep theirs.
  void SetTlsContext(PTlsContext context);
  PTlsContext TlsContext() const;

  // Starts threads and listeners; `callback` runs once per address tried before
  // Start returns. A second Start without Stop reports false.
  void StartServer(const std::function<void(bool)>& callback);
  // Serves these sockets, already bound and listening (handed over by the process that
  // served the port before), instead of binding the address and port: Start reports one
  // result per socket and the server owns them from then on. With `paused` nothing is
  // accepted before ResumeAccepting (connections wait in the kernel's queue meanwhile).
  // Before Start.
  void SetListenSockets(std::vector<int> sockets, bool paused);
  void ResumeAccepting();
  // Copies (SocketDuplicate) of the listening sockets that accept now, for a hand-over to
  // another process; the caller closes them. Any thread.
  std::vector<int> ListenSockets() const;
  // Stops accepting for good and closes this process's listening descriptors without
  // shutting the sockets down: another process accepts on them now. An accept under way
  // has ended when it returns; none follows. Any thread but an I/O thread. Once the sockets
  // were handed out (ListenSockets) or came from another process (SetListenSockets), every
  // closing of the listeners is done this way, so that it never ends the other process's
  // listening.
  void ReleaseListens();
  // Called (on the thread that closed it) each time the last connection goes; none by
  // default. Any thread, any time: once it returns, the previous handler is not called again.
  void SetOnConnectionsEmptied(std::function<void()> handler);
  // Closes listeners and connections (every close notification has run when it
  // returns) and ends the I/O threads.
  void StopServer();
  bool IsStarted() const { return FStarted.load(); }

  size_t ConnectionCount() const;
  size_t ListensCount() const;
  std::vector<PAbstractConnection> Connections() const;  // snapshot

  void CloseAllConnections();
  void CloseAllListens();
  void CloseAll();
  void DisconnectAll();
  // The graceful stop's first half: closes the listeners, asks every connection to
  // close the polite way (CloseGoingAway) and waits until none is left or `grace` has
  // passed. StopServer closes whatever remains. The owner's thread, not an I/O thread.
  void CloseGracefully(std::chrono::milliseconds grace);

  // What a refusal or closing line is about; each kind is rate-limited on its own.
  enum TRefusalKind : uint8_t {
    rkUntrusted,
    rkInvalidHeader,
    rkHeaderTimeOut,
    rkTlsTimeOut,
    rkRequestTimeOut,
    rkMessageTooBig,
    rkRequestInvalid,
    rkCount
  };
  // Writes `line` to the refusal log, at most one line a second per kind (the next line
  // says how many were held back). Any thread.
  void LogRefusal(TRefusalKind kind, const std::string& line);

 protected:
  virtual PAbstractConnection NewConnection(int socket);
  virtual void HandleConnected(TAbstractConnection& connection) { (void)connection; }
  // Once per connection, on the thread that closed it (see TAbstractConnection).
  virtual void HandleDisconnected(TAbstractConnection& connection) { (void)connection; }

 private:
  friend class TAbstractConnection;
  friend class TAbstractListen;

  void StartLoop();
  void StopLoop();
  void Listen(const std::string& host, uint16_t port, const TListenCallback& callback);
  void AcceptOne(int socket);

  // The platform's parts (SocketServerLinux.cpp, SocketServerWindows.cpp).
  void PlatformStart();  // with the loop: the spare descriptor, or the socket library
  void PlatformEnd();
  // A bound, listening socket for `ai`, or -1 (logged; `skip`: not logged, the address
  // family is missing while every local address is served).
  int OpenListenSocket(const addrinfo& ai, bool anyHost, bool& skip);
  // Starts accepting on the listener (false: logged); UnwatchListen ends it, FListensLock held.
  bool WatchListen(const std::shared_ptr<TAbstractListen>& listen);
  void UnwatchListen(TAbstractListen& listen);
  // Linux: the listener is readable on `thread`.
  void AcceptOn(TAbstractListen& listen, TIoEventThread& thread);
  enum TShed : uint8_t { shNone, shRefused, shNoSpare };
  // Out of descriptors: accepts one pending client with the spare's slot and closes it.
  // Called with FAcceptLock held.
  TShed ShedOne(TAbstractListen& listen, int error);
  // Takes the listener out of `thread`'s watch for a short rest, then puts it back.
  void RestListen(TAbstractListen& listen, TIoEventThread& thread);
  // Windows: one more accept posted on `listen` (false: logged, none posted).
  bool PostAccept(const std::shared_ptr<TAbstractListen>& listen);

 public:
  // Windows: an accept posted on `listen` completed with `error` (0: `socket` is the
  // client's). Called on the I/O thread that took the completion.
  void AcceptCompleted(const std::shared_ptr<TAbstractListen>& listen, int socket,
                       unsigned long error);

 private:
  void ConnectionRemoved(TAbstractConnection& connection);
  void ListenRemoved(TAbstractListen& listen);
  void ListenReleased(TAbstractListen& listen);
  // Start's part for sockets given by SetListenSockets.
  void AdoptListens(const TListenCallback& callback);
  void NotifyDisconnected(TAbstractConnection& connection) { HandleDisconnected(connection); }
  void AdmissionTimedOut(TAbstractConnection& connection);
  // The PROXY header stage of `connection` ended (on its I/O thread, the peer address
  // already replaced for a relayed client). False when the connection was closed.
  bool ProxyHeaderDone(TAbstractConnection& connection, TProxyHeaderStage::TResult result);
  // The step deadline of `connection` passed (see SetRequestWait): counted and logged.
  void StepTimedOut(TAbstractConnection& connection);
  // A deadline of the connection `uid` came due (on its I/O thread).
  void AdmissionDeadlineDue(uint64_t uid);

  const int FIoThreadCount;
  uint32_t FMinTurnMicros = 0;
  std::atomic<uint16_t> FPort{80};
  mutable std::mutex FAddrLock;  // guards FAddr
  std::string FAddr;
  bool FNoDelay = false;
  uint32_t FRequestWaitMs = 0;  // set before Start
  TLimitBreach FRequestTimeOutBreach = TLimitBreach::lbHttpRequestTimeOut;
  size_t FMaxConnections = 0;  // set before Start
  uint64_t FDescriptorReserve = 0;
  TLimitBreach FCapBreach = TLimitBreach::lbMetricsConnections;
  PConnectionGuard FGuard;  // set before Start, read by the I/O threads
  mutable TGateWayStats FOwnStats;
  TGateWayStats* FStats = &FOwnStats;                   // set before Start
  bool FProxyProtocol = false;                          // set before Start
  std::vector<TCidr> FProxyFrom;                        // set before Start
  std::function<void(const std::string&)> FRefusalLog;  // set before Start
  std::array<std::atomic<uint64_t>, rkCount> FLastRefusalLogMs{};
  std::array<std::atomic<uint64_t>, rkCount> FRefusalsNotLogged{};
  mutable std::mutex FTlsLock;  // guards FTlsContext
  PTlsContext FTlsContext;
  std::atomic<bool> FStarted{false};
  std::vector<int> FGivenListens;  // SetListenSockets: owner's thread, before Start
  bool FAcceptPaused = false;      // guarded by FListensLock after Start
  mutable std::atomic<bool> FListensShared{false};  // see ReleaseListens
  std::mutex FEmptiedLock;                          // guards FOnEmptied
  std::function<void()> FOnEmptied;

  std::vector<std::unique_ptr<TIoEventThread>> FIoThreads;  // owner's thread only
  std::atomic<uint32_t> FNextThread{0};

  mutable std::mutex FConnectionsLock;
  std::unordered_map<uint64_t, PAbstractConnection> FConnections;
  std::condition_variable FConnectionsEmptied;  // with FConnectionsLock: the table became empty

  mutable std::mutex FListensLock;
  std::unordered_map<uint64_t, std::shared_ptr<TAbstractListen>> FListens;
  // Closed listeners, kept until the I/O threads that may hold their pointer have ended.
  std::vector<std::shared_ptr<TAbstractListen>> FRetiredListens;

  std::mutex FAcceptLock;  // Linux: held around every accept; guards FSpareFd, FOutOfDescriptors
  int FSpareFd = -1;       // given up to refuse a connection when out of descriptors
  bool FOutOfDescriptors = false;  // a shortage is being reported (logged once)
};

}  // namespace gw
