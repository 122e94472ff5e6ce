// TServerLinkClient: what the logic link and the login link share. One thread per link
// connects (again 5 s after a failure), keeps the connection alive, sends and receives;
// any other thread only copies bytes into a bounded send cache under a short lock and
// wakes the link's thread. The thread waits on its socket and a wake-up with a time-out
// taken from the next keep-alive, time-out or reconnect deadline; it never sleeps in a
// polling loop and never blocks on the server. The links supply their framing and message
// handling through the virtual hooks below.
//
// Thread safety: BeginStop, IsConnected and the appends (AppendToSendCache, through the
// links' public senders) are safe from any thread. Start, Stop and the setters belong to
// the owner (setters before Start). The hooks and everything marked "link thread" run on
// the link's thread, or on the owner's thread while no link thread runs.
// Lock: FSendLock guards the send cache and is held for one copy only, never across a
// system call or a call into the gateway server.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "common/BufferMemoryStream.h"
#include "common/GateWayStats.h"
#include "links/LinkThread.h"
#include "links/LinkWake.h"
#include "links/SocketClient.h"

namespace gw {

class TServerLinkClient : public TSocketClient {
 public:
  static constexpr uint32_t kKeepAliveInterval = 2000;
  static constexpr uint32_t kReconnectPause = 5000;

  // Name: the link's name in its log lines. SendCacheCapacity: the cache's creation size.
  // SendBacklogLimit: most bytes the cache and the socket's send buffer hold together.
  // KeepSendCacheWhileDown: whether appends made while unconnected wait for the next
  // connection (the logic link) or are dropped (the login link: its frames belong to one
  // connection).
  TServerLinkClient(std::string Name, std::string Host, int32_t Port, int64_t SendCacheCapacity,
                    int64_t SendBacklogLimit, bool KeepSendCacheWhileDown);
  // Derived links call Stop in their own destructor: the thread calls their hooks.
  ~TServerLinkClient() override;

  // Starts the link's thread; nothing when it runs already.
  void Start();
  // Tells the link's thread to give up at once: no further connect, wait or send; a connect
  // in progress is abandoned. Appends are still taken, for Stop to deliver. Never blocks;
  // any thread. The gateway calls it before it waits for its listener to stop.
  void BeginStop();
  // BeginStop, waits for the thread, then delivers what is waiting to be sent, for at most
  // StopFlushTimeLimit (the socket stays open until destruction). Idempotent; a stopped
  // link may be started again.
  void Stop();

  // The millisecond tick counter the link's time-outs use (tests drive it by hand; the
  // link then looks at it at least every 50 ms, as a hand-driven clock moves silently).
  void SetTickSource(std::function<uint32_t()> Source);
  // Under load the link's thread starts at most one turn per Micros microseconds: what
  // arrives meanwhile, from the server and from the appenders, is taken in one receive and
  // one send instead of one wake-up (and one thread switch) per piece. 0 (the default):
  // every arrival is taken at once. A link whose turns come further apart than twice Micros
  // never rests. Before Start.
  void SetMinTurnMicros(uint32_t Micros) { FMinTurnMicros = Micros; }
  // Replaces the send backlog bound (tests use a small one). Call before Start.
  void SetSendBacklogLimit(int64_t Bytes) { FSendBacklogLimit = Bytes; }
  int64_t SendBacklogLimit() const { return FSendBacklogLimit; }

  // Where the link counts (the bounds it hits, its reconnects, the logic link's bytes): the
  // server's set (null: the link's own, as before the call). Before Start; the set must
  // outlive the link.
  void SetStats(TGateWayStats* Stats) { FStats = Stats ? Stats : &FOwnStats; }
  TGateWayStats& Stats() const { return *FStats; }

  const std::string& Name() const { return FName; }
  const std::string& Host() const { return FHost; }
  int32_t Port() const { return FPort; }
  // Bytes the send cache and the socket's send buffer hold. Any thread; a snapshot.
  int64_t SendBacklog();

  // When the link last came up, on the steady clock; empty before its first connection.
  // Any thread (for the operator: "up since").
  std::chrono::steady_clock::time_point UpSince() const {
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(FUpSince.load(std::memory_order_relaxed)));
  }

 protected:
  struct TAppendResult {
    bool Queued = false;
    bool Full = false;           // dropped: the backlog bound would be passed
    bool FirstDrop = false;      // Full, and the first drop since the bound last held
    uint64_t DroppedBefore = 0;  // Queued after this many drops for the bound
    bool NoMemory = false;       // dropped: the cache cannot grow
    // Neither: dropped because the link is down and keeps nothing for the next connection.
  };
  // Copies HeadSize + BodySize bytes into the send cache as one piece and wakes the link's
  // thread. Refused while unconnected when the link does not keep its cache while down,
  // and when the backlog bound would be passed. Any thread; the caller logs what it needs.
  TAppendResult AppendToSendCache(const void* Head, int64_t HeadSize, const void* Body,
                                  int64_t BodySize);

  // ---- hooks, all on the link's thread
  // The connection is up (buffers empty): log, reset the keep-alive ticks.
  virtual void OnConnected() = 0;
  // A connect failed with the system's message; the link tries again at its next turn
  // unless the hook pauses it (PauseTurns).
  virtual void OnConnectFailed(const std::string& Error) = 0;
  // A turn raised; the loop goes on at its next turn unless the hook pauses it.
  virtual void OnTurnError(const std::string& What) = 0;
  // A pause asked for with PauseTurns ran its full length (not cut short by a stop).
  virtual void OnPauseEnded() {}
  // Keep-alives and time-outs while connected (may append, may Disconnect). Returns the
  // milliseconds until it wants to be called again.
  virtual uint32_t OnTimer(uint32_t Now) = 0;
  // Bytes arrived in RecvStream (or may have): cut and handle what is whole.
  virtual void ProcessPackets() = 0;

  // One turn of the loop: connect or wait for the reconnect time when unconnected;
  // otherwise timer, send, one wait for the socket or a wake-up, receive and cut.
  // Link thread (tests drive it by hand without a thread).
  void RunTurn();
  // The next turns only wait (for a stop) until Ms milliseconds of real time have passed;
  // then OnPauseEnded. Link thread.
  void PauseTurns(uint32_t Ms);

  // Closes the socket and empties both buffers, and the send cache when the link does not
  // keep it while down. Links override it to log, and call it first. Link thread.
  void Disconnect(int32_t ErrorCode, const std::string& Desc) override;

  uint32_t Now() const { return FTickSource(); }
  // Tick of the last byte received and of the last time the socket took bytes or had none
  // waiting (both set at connect). Link thread.
  uint32_t LastRecvTick() const { return FLastRecvTick; }
  uint32_t LastSendProgressTick() const { return FLastSendProgressTick; }
  // The local address of the connection, read at connect; empty while unconnected.
  // Any thread.
  std::string LocalAddress();
  // True on the link's thread, and on any thread while no link thread runs.
  bool OnLinkThread() const { return !FRunThread.Running() || FRunThread.IsCurrent(); }

 private:
  mutable TGateWayStats FOwnStats;
  TGateWayStats* FStats = &FOwnStats;  // set before Start

  void RunLoop(TAnonymousThreadEx& Thread);
  void ConnectTurn();
  // Moves the send cache behind the socket's send buffer (one copy under FSendLock);
  // returns the bytes moved.
  int64_t MoveSendCache();
  void PublishSendBacklog() {
    FSendStreamBacklog.store(SendStream().Size(), std::memory_order_relaxed);
  }
  void Wake();
  // Holds the next turn back until the minimum turn length since the last busy one is
  // up; appends meanwhile send no wake-up (the turn takes them), a stop cuts it short.
  void GatherBeforeTurn();
  bool Stopping() const { return FStopping.load(std::memory_order_acquire); }

  const std::string FName;
  const std::string FHost;
  const int32_t FPort;
  TLinkThread FRunThread;
  std::function<uint32_t()> FTickSource;
  bool FHandDrivenTicks = false;
  TLinkWake FWake;  // appends and BeginStop wake the link's wait
  std::atomic<bool> FStopping{false};

  // Link thread.
  bool FPaused = false;
  uint32_t FPauseStart = 0;  // real ticks
  uint32_t FPauseMs = 0;
  uint32_t FLastRecvTick = 0;
  uint32_t FLastSendProgressTick = 0;
  uint32_t FMinTurnMicros = 0;
  bool FLastTurnBusy = false;  // the last turn received or sent, soon after the one before
  std::chrono::steady_clock::time_point FTurnStart;

  std::atomic<std::chrono::steady_clock::rep> FUpSince{0};  // see UpSince
  std::mutex FSendLock;  // guards FSendCache, FDroppedAppends, FWakePending, FLocalAddress
  TBufferMemoryStream FSendCache;
  uint64_t FDroppedAppends = 0;  // dropped for the bound since it last held
  bool FWakePending = false;     // a wake-up is on its way; the next append need not send one
  std::string FLocalAddress;
  // Bytes in the socket's send buffer, written by the link thread (under FSendLock when the
  // cache moves in, so appenders never see those bytes in neither place).
  std::atomic<int64_t> FSendStreamBacklog{0};
  int64_t FSendBacklogLimit;
  const bool FKeepSendCacheWhileDown;
};

}  // namespace gw
