// TGateWayWorker: a thread that owns a slice of the user sessions. It keeps the
// session table that turns a handle into a session, allocates and regenerates
// handles, acts on the messages the server links address to its sessions (through
// a double-buffered queue), checks and relays the clients' game messages to the
// logic server, and sends each session's queued messages to its client, several
// packed into one batch where they fit, with at most one send in flight per session.
//
// Waking: the worker thread sleeps until there is work. A message or a question
// appended to its queues, or a finished send of a session whose output waited behind
// it, wakes it; with output waiting it wakes at the latest when the next send pass is
// due. The send pass visits only the sessions on the ready list (those with output
// queued), and starts only when more than the send interval (10 ms unless set) has
// passed since the last one; an interval of 0 sends as soon as the message queue has
// been worked through.
//
// Ownership: the worker's thread owns its sessions' state (their outgoing queues, steps,
// logic user indexes, handle regeneration, the ready list, the sends). Other threads
// reach that state only through the worker's queues, as muduo's queueInLoop and
// uWebSockets' defer do: the links' messages, their direct messages to clients, step
// changes and hand-overs, the server's token challenge, and the console's and the
// metrics' questions (Sessions). A close the worker decides on (kick, stalled reader,
// close-all, a failed send) marks the session Closing at once and is finished at the end
// of the worker's turn with no lock held, as Redis frees clients asynchronously; the
// close event then takes the session out of the table.
//
// Thread safety: AddSession, RemoveSession, GetSession, FindSession, BeginCloseSession,
// RegenSessionHandle, AddMessage, AddSessionMessageDirect, PostSessionOutput, Sessions,
// ID, UserCount and QueueDepth are safe from any thread. SetLogger,
// SetLogicServerClient, SetTraffic, SetClientGuard, SetSendInterval, Start and Stop
// belong to the owner (the gateway server, on the console's thread); the setters come
// before Start. The message pass, the send pass, the consumer side of the queues and the
// sessions' owned state belong to the worker thread alone (asserted in debug and
// sanitizer builds; while the thread does not run, the owner's thread stands in).
//
// Lifetime: the session table holds the sessions (PUserSession). A session stays in
// its slot until the close event of its connection takes it out (RemoveSession),
// which frees it unless the worker or a send in flight still holds it; a session that
// is being closed is marked Closing and looked past until then. Queued messages are
// owned by the queue (TSessionMessagePtr) and freed when they leave it, unless they are
// moved on to a session's outgoing queue.
//
// Locks: FLock guards the session table (slots, generations, free slots). It is never
// held across a socket write or a connection's close: the send pass takes no lock, and
// closes wait for the end of the turn. The message pass holds it while it acts on one
// message, so that a close event (which takes the session out under it and reports the
// close by the session's step) comes either before a step change, hand-over or soft
// close (and nothing is registered) or after it (and reports the close to the new
// side). Lock order: FLock may be held while the logic link takes its send lock, never
// the reverse. The queues' own locks are taken only inside Append/Flush, the wake-up
// lock only around the wake-up state.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <queue>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/PeerLimits.h"
#include "common/ThreadAffinity.h"
#include "common/ThreadSafety.h"
#include "core/UserSession.h"
#include "gate/DoubleBufferCollection.h"
#include "gate/GateWayDefine.h"
#include "gate/GateWayTraffic.h"
#include "logging/LogLevel.h"
#include "protocol/ClientMessageReader.h"

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
  // How long Sessions waits for the worker's answer (a worker's turn takes
  // milliseconds; this only keeps a wedged worker from hanging the asker too).
  static constexpr uint32_t kQuestionWaitMs = 5000;

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

  // Starts the worker thread. Stop asks it to end, waits for it, answers the questions
  // asked meanwhile, and is idempotent.
  void Start();
  void Stop();

  // Enters the session in the first free slot (the table holds it from now on), makes
  // its handle, stores it in the session and makes the worker's thread the session's
  // owner. Fails (the handle is left alone, the table does not hold the session) when
  // the table already holds 65535 sessions.
  bool AddSession(PUserSession Session, uint32_t& SessionHandle) EXCLUDES(FLock);
  // The close event: empties the handle's slot if it still holds exactly `Session`,
  // marks the session Closing (the worker looks past it from now on) and hands back the
  // table's reference (null otherwise). Letting it go frees the session unless the
  // worker or a send in flight still holds it.
  PUserSession RemoveSession(uint32_t SessionHandle, const TUserSession* Session) EXCLUDES(FLock);
  // The session whose handle is exactly `SessionHandle` (worker, generation and
  // slot), or null: for an empty slot, a session that is being closed, or a slot that
  // now holds another generation. Logs nothing.
  PUserSession GetSession(uint32_t SessionHandle) EXCLUDES(FLock);
  // As GetSession, but a handle whose slot now holds another session (a late message
  // for a session that has gone) is reported with one debug line naming `What`.
  PUserSession FindSession(uint32_t SessionHandle, const char* What) EXCLUDES(FLock);
  // Marks the session FindSession finds as being closed and returns it; the caller
  // closes its connection (with no lock held), whose close event takes it out of the
  // table. Null when there is none or it is already closing.
  PUserSession BeginCloseSession(uint32_t SessionHandle, const char* What) EXCLUDES(FLock);
  // Gives the session with exactly this handle the next generation of its handle and
  // keeps the old one as its last handle. Returns the new handle, 0 when there is none.
  uint32_t RegenSessionHandle(uint32_t SessionHandle) EXCLUDES(FLock);

  // Queues a copy of the bytes on the worker's message queue; the caller keeps its buffer.
  void AddMessage(uint32_t SessionHandle, int32_t Ident, int32_t Param, const void* Data,
                  uint32_t Size);
  // A copy of the bytes goes, in the worker's message pass, onto the outgoing queue of
  // the session whose handle, or previous handle, this is (the same client); dropped
  // otherwise (a handle whose slot holds another client: one debug line).
  void AddSessionMessageDirect(uint32_t SessionHandle, const void* Data, uint32_t Size);
  // The same with a record the caller has made (its handle and ident are set here).
  void PostSessionOutput(uint32_t SessionHandle, TSessionMessagePtr Msg);

  // What the console and the metrics see of one session.
  struct TSessionView {
    uint32_t Handle = 0;
    std::string IP;
    TSessionStep Step = ssNone;
    bool TokenChecked = false;
    std::string Account;
    std::string PlayerName;
    std::chrono::steady_clock::time_point OpenedAt;
    uint64_t MessagesIn = 0, BytesIn = 0, MessagesOut = 0, BytesOut = 0;
  };
  // The sessions of the table that are not being closed, in slot order, as the worker
  // sees them between two of its messages: a question answered through its queue while
  // its thread runs, read at once while it does not. Any thread but the worker's; empty
  // when the worker has not answered within kQuestionWaitMs.
  std::vector<TSessionView> Sessions() EXCLUDES(FLock);

 private:
  void Execute();
  // Runs the questions asked through Sessions (on the worker's thread, or on the
  // stopping thread for those asked while it ended).
  void RunTasks();
  std::vector<TSessionView> CollectSessions() EXCLUDES(FLock);
  void ProcessMessages() EXCLUDES(FLock);
  // A message that names a session from another thread (direct output, step change,
  // hand-over): acts on the session its handle or previous handle names.
  void HandleSessionCommand(TSessionMessagePtr& Msg) REQUIRES(FLock);
  // Acts on one message for `Session`. A message the action keeps (moved on to the
  // session's outgoing queue) leaves `Msg` empty; otherwise the caller frees it.
  void HandleMessage(const PUserSession& Session, TSessionMessagePtr& Msg) REQUIRES(FLock);
  void HandleClientMessage(const PUserSession& Owned, const TSessionMessage& Msg) REQUIRES(FLock);
  // A configuration query: the cached tables the client's versions differ from are queued
  // for it.
  void AnswerDBConfig(const PUserSession& Session, const std::vector<TDBConfigAsk>& Asks)
      REQUIRES(FLock);
  void ForwardToClient(const PUserSession& Session, TSessionMessagePtr Msg);
  // The client's soft close: the logic server hears 1009 for the old handle, the new
  // handle's registration and the old handle's close, in that order, all under FLock.
  void SoftCloseSession(TUserSession& Session) REQUIRES(FLock);
  void KickSession(TUserSession& Session, const uint8_t* Payload, uint32_t PayloadLen);
  void SyncSessionData(TUserSession& Session, const uint8_t* Payload, uint32_t PayloadLen);
  // Waits until something arrives, the send pass is due (when output waits) or Stop.
  // False once Stop has asked the thread to end.
  bool WaitForWork(bool OutputWaiting);
  // Wakes the worker thread (any thread).
  void Wake();
  // The session goes on the ready list (once); worker thread.
  void MarkReady(const PUserSession& Session);
  // Puts the sessions whose send finished while output waited behind it back on the
  // ready list.
  void TakeFinishedSends();
  void SendToClients() EXCLUDES(FLock);
  void DoSendToClient(const PUserSession& Session);
  struct TWakeUp;
  // A send's completion (any thread): clears the in-flight mark and hands a session
  // whose output waited behind the send back to its worker.
  static void SendFinished(const PUserSession& Session, TWakeUp& Wake);
  // After a send attempt: output still queued goes on the next pass, or waits for the
  // send in flight (the completion callback hands the session back). Worker thread.
  void KeepPendingOutput(const PUserSession& Session);
  // Disconnects a session whose outgoing queue refused a record (a client that reads
  // too slowly). True when it did.
  bool CheckQueueLimit(TUserSession& Session);
  // Marks the session as being closed and has its connection closed with a close frame
  // carrying `Code` (a TWsCloseCode) at the end of the turn (FinishCloses). Worker thread.
  void CloseConnectionOf(TUserSession& Session, uint16_t Code = wccNormal);
  // The closes decided during the turn, with no lock held: a close event may run inside
  // each and take its session out of the table.
  void FinishCloses() EXCLUDES(FLock);
  // Packs the queued messages that fit into `Buffer` (MergeClientBufferSize bytes) and
  // takes them off the queue; returns the bytes written.
  uint32_t MergeMessages(TUserSession& Session, uint8_t* Buffer);
  void DoCloseAll() EXCLUDES(FLock);
  void FreeQueuedMessages();
  // The session in `Index`, or null for an empty slot, one outside the table or a
  // session that is being closed.
  TUserSession* LiveSessionAt(size_t Index) const REQUIRES(FLock);
  PUserSession FindSessionLocked(uint32_t SessionHandle, const char* What) REQUIRES(FLock);
  uint32_t RegenSessionHandleLocked(uint32_t SessionHandle) REQUIRES(FLock);
  void LogStaleHandle(uint32_t SessionHandle, uint32_t Current, const char* What) const;
  PUserSession EmptySlot(size_t Index) REQUIRES(FLock);
  void Log(const std::string& Text, TLogLevel Level) const {
    if (FLogger) FLogger(Text, Level);
  }
  // A warning about a logic packet, one line a second at most (through the guard's limiter).
  void LimitedLine(const std::string& Line);
  // A malformed game message of the session's client: counted and logged (rate-limited)
  // by the guard, which closes the client at its bound.
  void MalformedMessage(TUserSession& Session, int Kind, const std::string& Line);

  const int32_t FID;
  // Guards the session table: FUserSesions, FFreeSlots, FOrdID, FSlotGenerations.
  TMutex FLock;
  std::atomic<int32_t> FUserCount{0};
  std::atomic<int64_t> FQueueDepth{0};  // see QueueDepth
  // Slot i: the session whose SessionIndex is i.
  std::vector<PUserSession> FUserSesions GUARDED_BY(FLock);
  // The empty slots of FUserSesions, lowest first: a new session takes the lowest
  // one, as a scan from slot 0 would find it, without scanning the table.
  std::priority_queue<uint32_t, std::vector<uint32_t>, std::greater<>> FFreeSlots GUARDED_BY(FLock);
  // The generation byte of the next new slot's first handle.
  uint8_t FOrdID GUARDED_BY(FLock) = 1;
  // Slot i: the generation of the last handle given out for it.
  std::vector<uint8_t> FSlotGenerations GUARDED_BY(FLock);
  TDoubleQueue<TSessionMessagePtr> FMessage;  // owns every record in it
  // Questions from other threads (Sessions), run at the start of the worker's turn.
  TDoubleQueue<std::function<void()>> FTasks;
  std::atomic<bool> FRunning{false};  // the worker thread runs and answers questions
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
  // The sessions with output to send (each once: MarkSendReady), in the order they
  // became ready; FSendingSessions: the list a pass works through. Worker thread only.
  // They hold their sessions: one whose close event comes meanwhile is Closing and is
  // looked past.
  std::vector<PUserSession> FReadySessions;
  std::vector<PUserSession> FSendingSessions;
  // The closes decided during the turn (FinishCloses); worker thread only.
  std::vector<std::pair<PWebSocketConnection, uint16_t>> FPendingCloses;
  TThreadAffinity FWorkerThread;                     // the running worker thread, while it runs
  std::chrono::steady_clock::time_point FTurnStart;  // worker thread only

  // What wakes the worker thread. Shared with the send completion callbacks, which
  // may run after the worker has gone.
  struct TWakeUp {
    TMutex Lock;
    std::condition_variable_any Cond;
    bool Signaled GUARDED_BY(Lock) = false;  // something arrived since the worker looked
    bool Terminated GUARDED_BY(Lock) = false;
    bool Idle GUARDED_BY(Lock) = false;  // the worker waits for a signal: Signal notifies
    // The sessions whose send finished while output waited behind it.
    std::vector<PUserSession> FinishedSends GUARDED_BY(Lock);
    void Signal() EXCLUDES(Lock) {
      bool notify;
      {
        TMutexLock guard(Lock);
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
