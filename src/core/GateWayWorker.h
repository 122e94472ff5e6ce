// TGateWayWorker: a thread that owns a slice of the user sessions. It keeps the
// session table that turns a handle into a session, allocates and regenerates
// handles, acts on the messages the server links address to its sessions (through
// a double-buffered queue), checks and relays the clients' game messages to the
// logic server, and sends each session's queued messages to its client, several
// packed into one batch where they fit, with at most one send in flight per session.
//
// Waking: the worker thread sleeps until there is work. A message appended to its
// queue, output queued for a session by another thread, or a finished send of a
// session whose output waited behind it wakes it; with output waiting it wakes at the
// latest when the next send pass is due. The send pass visits only the sessions on
// the ready list (those with output queued), and starts only when more than the send
// interval (10 ms unless set) has passed since the last one; an interval of 0 sends
// as soon as the message queue has been worked through.
//
// Thread safety: AddSession, RemoveSession, GetSession, FindSession, BeginCloseSession,
// RegenSessionHandle, AddMessage, AddSessionMessageDirect, QueueSessionOutput, Lock,
// ForEachSession, ID, UserCount and QueueDepth are safe from any thread. SetLogger,
// SetLogicServerClient, SetTraffic, SetSendInterval, Start and Stop belong to the owner (the
// gateway server, on the console's thread); the setters come before Start. The message pass, the
// send pass and the consumer side of the message queue belong to the worker thread alone (asserted
// in debug and sanitizer builds).
//
// Ownership: the session table holds the sessions (PUserSession). A session stays in
// its slot until the close event of its connection takes it out (RemoveSession),
// which frees it; a session that is being closed (kick, stalled reader, CloseSession,
// close-all) is marked Closing and looked past until then. Queued messages are owned
// by the queue (TSessionMessagePtr) and freed when they leave it, unless they are
// moved on to a session's outgoing queue.
//
// Locks: FLock (recursive) guards the session table and the outgoing queues of the
// worker's sessions. A close event may run inside a Close() that this worker calls
// while holding FLock (kick, close-all); the recursive lock lets it remove the
// session. Lock order: FLock may be held while the logic link takes its send lock,
// never the reverse. The message queue's own lock is taken only inside Append/Flush.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

#include "common/PeerLimits.h"
#include "core/UserSession.h"
#include "gate/DoubleBufferCollection.h"
#include "gate/GateWayDefine.h"
#include "gate/GateWayTraffic.h"
#include "gate/ThreadAffinity.h"
#include "logging/LogLevel.h"

namespace gw {

class TLogicSrvClient;
class TClientGuard;

class TGateWayWorker {
 public:
  // The default send interval: a pass starts when more than this many milliseconds
  // have passed since the last one.
  static constexpr uint32_t kSendInterval = 10;
  // The largest send interval SetSendInterval takes.
  static constexpr uint32_t kMaxSendInterval = 1000;
  // Under load a worker starts at most one turn per this many microseconds (with a
  // send interval above 0): what arrives meanwhile is taken in one flush and one
  // pass instead of one wake-up (and one thread switch) per message.
  static constexpr uint32_t kMinTurnMicros = 1000;
  // A client that stops reading keeps its one send in flight while its queue grows.
  // A session's queue never holds more than kMaxQueuedBytes bytes or
  // kMaxQueuedMessages records (a record past either is refused when it is queued),
  // and the send pass disconnects a session that had one refused.
  static constexpr uint64_t kMaxQueuedBytes = limits::kMaxSessionQueuedBytes;
  static constexpr size_t kMaxQueuedMessages = limits::kMaxSessionQueuedMessages;

  explicit TGateWayWorker(int32_t ID);
  // Stops the thread if it runs; frees the messages still queued and the sessions
  // still in the table (detached from their connections).
  ~TGateWayWorker();
  TGateWayWorker(const TGateWayWorker&) = delete;
  TGateWayWorker& operator=(const TGateWayWorker&) = delete;

  int32_t ID() const { return FID; }
  int32_t UserCount() const { return FUserCount.load(std::memory_order_relaxed); }
  // Messages waiting on the worker's queue (appended, not yet taken by the message pass).
  int64_t QueueDepth() const { return FQueueDepth.load(std::memory_order_relaxed); }

  // Holds the worker's lock until the guard goes (the table and the sessions'
  // outgoing queues stay as they are meanwhile).
  using TLockGuard = std::unique_lock<std::recursive_mutex>;
  [[nodiscard]] TLockGuard Lock() { return TLockGuard(FLock); }

  void SetLogger(TLogProc Proc) { FLogger = std::move(Proc); }
  void SetLogicServerClient(TLogicSrvClient* LogicServerClient) {
    FLogicServerClient = LogicServerClient;
  }
  // Where sent client bytes are counted (the server's counters); before Start.
  // The server's counter set: the relay's traffic and the bounds the worker meets.
  void SetTraffic(TGateWayTraffic* Traffic) { FTraffic = Traffic; }
  // The guard that limits the per-message lines and counts malformed messages; without one
  // (tests) the lines go to the logger as they come. Before Start.
  void SetClientGuard(TClientGuard* Guard) { FGuard = Guard; }
  // Milliseconds that must have passed (strictly more) since the last send pass before
  // the next one starts; 0 sends whenever the message queue has been worked through.
  // Up to kMaxSendInterval; before Start.
  void SetSendInterval(uint32_t Ms) {
    FSendInterval = Ms < kMaxSendInterval ? Ms : kMaxSendInterval;
  }
  uint32_t SendInterval() const { return FSendInterval; }

  // Starts the worker thread. Stop asks it to end, waits for it, and is idempotent.
  void Start();
  void Stop();

  // Enters the session in the first free slot (the table holds it from now on),
  // makes its handle and stores it in the session. Fails (the handle is left alone,
  // the table does not hold the session) when the table already holds 65535 sessions.
  bool AddSession(PUserSession Session, uint32_t& SessionHandle);
  // The close event: empties the handle's slot if it still holds exactly `Session`
  // and hands back the table's reference (null otherwise). Letting it go frees the
  // session unless a send in flight still holds it.
  PUserSession RemoveSession(uint32_t SessionHandle, const TUserSession* Session);
  // The session whose handle is exactly `SessionHandle` (worker, generation and
  // slot), or null: for an empty slot, a session that is being closed, or a slot that
  // now holds another generation. Logs nothing.
  PUserSession GetSession(uint32_t SessionHandle);
  // As GetSession, but a handle whose slot now holds another session (a late message
  // for a session that has gone) is reported with one debug line naming `What`.
  PUserSession FindSession(uint32_t SessionHandle, const char* What);
  // Marks the session FindSession finds as being closed and returns it; the caller
  // closes its connection (inside or outside the lock), whose close event takes it
  // out of the table. Null when there is none or it is already closing.
  PUserSession BeginCloseSession(uint32_t SessionHandle, const char* What);
  // Gives the session with exactly this handle the next generation of its handle and
  // keeps the old one as its last handle. Returns the new handle, 0 when there is none.
  uint32_t RegenSessionHandle(uint32_t SessionHandle);

  // Queues a copy of the bytes on the worker's message queue; the caller keeps its buffer.
  void AddMessage(uint32_t SessionHandle, int32_t Ident, int32_t Param, const void* Data,
                  uint32_t Size);
  // Puts a copy of the bytes straight onto the outgoing queue of the session whose
  // handle, or previous handle, this is (the same client); dropped otherwise.
  void AddSessionMessageDirect(uint32_t SessionHandle, const void* Data, uint32_t Size);
  // Appends `Msg` to the outgoing queue of `Session` (one of this worker's sessions)
  // and has it sent by the next send pass.
  void QueueSessionOutput(TUserSession& Session, TSessionMessagePtr Msg);

  // Calls `Visit` for every session of the table that is not being closed, in slot
  // order, under the lock (for the console's online users view). `Visit` must not
  // close the session.
  template <typename F>
  void ForEachSession(F&& Visit) {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    for (const PUserSession& session : FUserSesions) {
      if (session && !session->Closing()) Visit(*session);
    }
  }

 private:
  void Execute();
  void ProcessMessages();
  // Acts on one message for `Session`. A message the action keeps (moved on to the
  // session's outgoing queue) leaves `Msg` empty; otherwise the caller frees it.
  void HandleMessage(TUserSession& Session, TSessionMessagePtr& Msg);
  void HandleClientMessage(TUserSession& Session, const TSessionMessage& Msg);
  void ForwardToClient(TUserSession& Session, TSessionMessagePtr Msg);
  // The client's soft close: the logic server hears 1009 for the old handle, the new
  // handle's registration and the old handle's close, in that order, all under FLock.
  void SoftCloseSession(TUserSession& Session);
  void KickSession(TUserSession& Session, const uint8_t* Payload, uint32_t PayloadLen);
  void SyncSessionData(TUserSession& Session, const uint8_t* Payload, uint32_t PayloadLen);
  // Waits until something arrives, the send pass is due (when output waits) or Stop.
  // False once Stop has asked the thread to end.
  bool WaitForWork(bool OutputWaiting);
  // Wakes the worker thread (any thread).
  void Wake();
  // The session goes on the ready list (once); under FLock. True when the list was
  // empty before: a worker asleep without a deadline must be woken.
  bool MarkReady(TUserSession& Session);
  // Puts the sessions whose send finished while output waited behind it back on the
  // ready list.
  void TakeFinishedSends();
  void SendToClients();
  void DoSendToClient(const PUserSession& Session);
  struct TWakeUp;
  // A send's completion (any thread): clears InSend and hands a session whose output
  // waited behind the send back to its worker.
  static void SendFinished(TUserSession& Session, TWakeUp& Wake);
  // After a send attempt: output still queued goes on the next pass, or waits for the
  // send in flight (the completion callback hands the session back). Under FLock.
  void KeepPendingOutput(TUserSession& Session);
  // Disconnects a session whose outgoing queue refused a record (a client that reads
  // too slowly). True when it did.
  bool CheckQueueLimit(TUserSession& Session);
  // Marks the session as being closed and closes its connection; under FLock.
  // Closes the session's connection with a close frame carrying `Code` (a TWsCloseCode).
  void CloseConnectionOf(TUserSession& Session, uint16_t Code = wccNormal);
  uint32_t MergeMessages(TUserSession& Session);
  void DoCloseAll();
  void FreeQueuedMessages();
  // The session in `Index`, or null for an empty slot, one outside the table or a
  // session that is being closed. Under FLock.
  TUserSession* LiveSessionAt(size_t Index) const;
  void LogStaleHandle(uint32_t SessionHandle, uint32_t Current, const char* What) const;
  PUserSession EmptySlot(size_t Index);
  void Log(const std::string& Text, TLogLevel Level) const {
    if (FLogger) FLogger(Text, Level);
  }
  // A warning about a logic packet, one line a second at most (through the guard's limiter).
  void LimitedLine(const std::string& Line);
  // A malformed game message of the session's client: counted and logged (rate-limited)
  // by the guard, which closes the client at its bound.
  void MalformedMessage(TUserSession& Session, int Kind, const std::string& Line);

  const int32_t FID;
  // Guards FUserSesions, FOrdID, FSlotGenerations and the sessions' outgoing queues.
  std::recursive_mutex FLock;
  std::atomic<int32_t> FUserCount{0};
  std::atomic<int64_t> FQueueDepth{0};     // see QueueDepth
  std::vector<PUserSession> FUserSesions;  // slot i: the session whose SessionIndex is i
  // The empty slots of FUserSesions, lowest first: a new session takes the lowest
  // one, as a scan from slot 0 would find it, without scanning the table.
  std::priority_queue<uint32_t, std::vector<uint32_t>, std::greater<>> FFreeSlots;
  uint8_t FOrdID = 1;  // generation byte of the next new slot's first handle
  // Slot i: the generation of the last handle given out for it.
  std::vector<uint8_t> FSlotGenerations;
  TDoubleQueue<TSessionMessagePtr> FMessage;  // owns every record in it
  TLogProc FLogger;
  TLogicSrvClient* FLogicServerClient = nullptr;  // not owned
  TClientGuard* FGuard = nullptr;                 // not owned
  TGateWayTraffic* FTraffic = nullptr;            // not owned; may be null
  // Start of the last send pass (worker thread only). Measured with the steady clock rather
  // than millisecond ticks: "more than the interval" on a tick count waits up to two ticks
  // more than the interval, which every reply would pay in latency.
  std::chrono::steady_clock::time_point FSendTime;
  std::chrono::steady_clock::time_point NextSendPass() const {
    return FSendTime + std::chrono::milliseconds(FSendInterval) + std::chrono::microseconds(1);
  }
  uint32_t FSendInterval = kSendInterval;
  // Slots of the sessions with output to send (each session once: SendReady), in the
  // order they became ready; under FLock. FSendingSlots: the list a pass works through.
  std::vector<uint32_t> FReadySlots;
  std::vector<uint32_t> FSendingSlots;               // worker thread only
  TThreadAffinity FWorkerThread;                     // the running worker thread, while it runs
  std::chrono::steady_clock::time_point FTurnStart;  // worker thread only

  // What wakes the worker thread. Shared with the send completion callbacks, which
  // may run after the worker has gone.
  struct TWakeUp {
    std::mutex Lock;  // guards everything below
    std::condition_variable Cond;
    bool Signaled = false;  // something arrived since the worker last looked
    bool Terminated = false;
    bool Idle = false;  // the worker waits for a signal: Signal must notify it
    // Slot and identity of each session whose send finished while output waited.
    std::vector<std::pair<uint32_t, const TUserSession*>> FinishedSends;
    void Signal() {
      bool notify;
      {
        std::lock_guard<std::mutex> guard(Lock);
        Signaled = true;
        notify = Idle;
      }
      if (notify) Cond.notify_one();
    }
  };
  const std::shared_ptr<TWakeUp> FWakeUp = std::make_shared<TWakeUp>();

  std::thread FThread;
};

}  // namespace gw
