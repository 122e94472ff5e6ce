// The WebSocket listener as the gateway server sees it: created with a number of
// I/O threads, open/message/close handlers registered (each any number of times,
// called in registration order), a port set, started and later stopped.
//
// Thread safety: handler registration is safe from any thread, also from inside a
// handler. SetPort/SetAddr/SetMaxQueuedBytes/SetMaxHeaderSize/SetNoDelay/SetLogger
// belong to the owner and come before Start; SetMaxMessageSize may come at any time. Start and Stop
// belong to the owner's thread and must not be called from a handler (an I/O thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/GateWayStats.h"
#include "common/PeerLimits.h"
#include "logging/LogLevel.h"
#include "net/ConnectionGuard.h"
#include "net/IWebSocketConnection.h"
#include "net/ProxyHeader.h"
#include "net/TlsContext.h"

namespace gw {

enum TWsRequestType : uint8_t {
  wsrtUnknown = 0,
  wsrtText = 1,    // opcode 1
  wsrtBinary = 2,  // opcode 2
};

// Open and close events run with the connection; a close handler must accept a
// connection that never raised an open event (it carries no user object then).
using TWsOnOpen = std::function<void(const PWebSocketConnection& connection)>;
using TWsOnClose = std::function<void(const PWebSocketConnection& connection)>;
// One complete message. `data` is valid only while the handler runs.
using TWsOnMessage =
    std::function<void(const PWebSocketConnection& connection, TWsRequestType requestType,
                       const std::vector<uint8_t>& data)>;
// A message whose announced size passes the server's maximum; the connection is already
// being closed (1009). True: the handler dealt with it (and logged it).
using TWsOnOversize =
    std::function<bool(const PWebSocketConnection& connection, uint64_t announcedSize)>;
// Start's result: called once per listening address tried, before Start returns.
using TStartCallback = std::function<void(bool success)>;

class IWebSocketServer {
 public:
  // Largest message accepted by default; a bigger one closes the connection (1009).
  static constexpr size_t kDefaultMaxMessageSize = limits::kMaxWsMessageSize;
  // Largest HTTP request header accepted by default; a bigger one is answered 400.
  static constexpr size_t kDefaultMaxHeaderSize = limits::kMaxHttpHeaderSize;
  // Bytes one connection may have waiting to be sent by default.
  static constexpr size_t kDefaultMaxQueuedBytes = limits::kMaxWsQueuedBytes;

  virtual ~IWebSocketServer() = default;

  virtual IWebSocketServer& OnOpen(TWsOnOpen callback) = 0;
  virtual IWebSocketServer& OnMessage(TWsOnMessage callback) = 0;
  virtual IWebSocketServer& OnClose(TWsOnClose callback) = 0;

  // Listening port (0: any free port, shared by every listening address; after a
  // successful Start, Port reports the port in use). Addr empty: every local address,
  // IPv6 and IPv4 on separate sockets.
  virtual uint16_t Port() const = 0;
  virtual void SetPort(uint16_t port) = 0;
  virtual std::string Addr() const = 0;
  virtual void SetAddr(const std::string& addr) = 0;

  // Largest message: a frame whose header announces more (with what the message holds
  // already) is refused before its payload is read, closing the connection with 1009.
  // Any thread, any time: connections apply it from their next read.
  virtual void SetMaxMessageSize(size_t bytes) = 0;
  // Told of every such refusal (on the connection's I/O thread); none by default, which
  // logs a warning (at most one line a second). Before Start.
  virtual void SetOversizeHandler(TWsOnOversize handler) { (void)handler; }
  // Bound on the bytes waiting in one connection's send queue (0: none; default
  // kDefaultMaxQueuedBytes). A send that would pass it fails, the connection is closed
  // with status 1008 and a warning is logged.
  // (Not pure: stand-in servers without a send queue have nothing to bound.)
  virtual void SetMaxQueuedBytes(size_t bytes) { (void)bytes; }
  virtual void SetMaxHeaderSize(size_t bytes) = 0;
  // Turns off the coalescing of small sends (TCP_NODELAY) on accepted sockets; off by
  // default, so the system may merge small messages sent close together.
  virtual void SetNoDelay(bool on) = 0;
  // Where protocol warnings (e.g. a message over the size limit) are written; none by default.
  virtual void SetLogger(TLogProc logger) = 0;

  // Consulted for every accepted connection before any byte is read (refusals, live
  // counts, the admission deadline); none by default. Before Start.
  virtual void SetConnectionGuard(PConnectionGuard guard) { (void)guard; }
  // Where the transport counts the bounds its connections hit: the owner's set (null: one
  // of the transport's own). Before Start; the set outlives the transport.
  virtual void SetStats(TGateWayStats* stats) { (void)stats; }
  // Under load, gather events for up to this many microseconds per I/O turn (0: none).
  virtual void SetMinTurnMicros(uint32_t micros) { (void)micros; }
  // Clients come through load balancers at these addresses, each connection opening
  // with a PROXY protocol header that names the client (see TSocketServer). Before Start.
  virtual void SetProxyProtocol(std::vector<TCidr> trustedFrom) { (void)trustedFrom; }
  // Clients accepted from now on speak TLS (wss) with `context`; null: plain (ws). Any
  // thread, before or after Start: a reloaded certificate serves the next client while
  // live connections keep the one they started with.
  virtual void SetTlsContext(PTlsContext context) { (void)context; }

  // Opens the listeners and the I/O threads. `callback` has run (once per address
  // tried, false on failure) by the time Start returns. Starting twice reports false.
  virtual void Start(TStartCallback callback) = 0;
  // Closes the listeners and every connection, then ends the I/O threads. Every close
  // event has run by the time Stop returns (on the calling thread, except for a
  // connection whose handler was running at that moment: its I/O thread runs it).
  virtual void Stop() = 0;
  // The graceful stop before Stop: no new connection is accepted, every upgraded client
  // gets a close frame with status 1001 (going away), the others are closed, and the call
  // returns once every connection has gone or after `graceMs` (Stop closes the rest).
  // Close events of clients that answered run on the I/O threads meanwhile.
  virtual void CloseGracefully(uint32_t graceMs) { (void)graceMs; }
  // A drain: no new connection is accepted (the listeners close, so later connection
  // attempts are refused at once); live connections go on.
  virtual void StopAccepting() {}
  // The listener hand-over between two processes serving one port (see TSocketServer):
  // serve sockets handed over instead of binding (before Start; `paused`: accept only from
  // ResumeAccepting on), copies of the sockets that accept now (the caller closes them), and
  // stopping for good without
  // touching the sockets the other process accepts on.
  virtual void SetListenSockets(std::vector<int> sockets, bool paused) {
    (void)sockets;
    (void)paused;
  }
  virtual void ResumeAccepting() {}
  virtual std::vector<int> ListenSockets() const { return {}; }
  virtual void ReleaseListens() {}
  // Called each time the last connection goes (see TSocketServer). Any thread.
  virtual void SetOnConnectionsEmptied(std::function<void()> handler) { (void)handler; }
  virtual bool Active() const = 0;

  virtual size_t ConnectionsCount() const = 0;
  virtual int IoThreads() const = 0;
};

using PWebSocketServer = std::shared_ptr<IWebSocketServer>;

// A WebSocket server with `ioThreads` I/O threads (0 or less: processors × 2 + 1).
PWebSocketServer CreateWebSocketServer(int ioThreads);

}  // namespace gw
