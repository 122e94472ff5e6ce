// TGateWayWorker: a thread that owns a slice of the user sessions. It keeps the
// session table that turns a handle into a session, allocates and regenerates
// handles, acts on the messages the server links address to its sessions (through
// a double-buffered queue), checks and relays the clients' game messages to the
// logic server, and sends each session's queued messages to its client, several
// packed into one batch where they fit, with at most one send in flight per session.
//
// Thread safety: AddSession, RemoveSession, GetSession, RegenSessionHandle,
// AddMessage, AddSessionMessageDirect, Lock/UnLock, ID and UserCount are safe
// from any thread. SetLogger, SetLogicServerClient, Start and Stop belong to the
// owner (the gateway server, on the console's thread); the setters come before Start.
//
// Locks: FLock (recursive) guards the session table and the outgoing queues of the
// worker's sessions. A close event may run inside a Close() that this worker calls
// while holding FLock (kick, close-all); the recursive lock lets it remove the
// session. Lock order: FLock may be held while the logic link takes its send lock,
// never the reverse. The message queue's own lock is taken only inside Append/Flush.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

#include "gate/DoubleBufferCollection.h"
#include "gate/GateWayDefine.h"
#include "gate/GateWayTraffic.h"
#include "core/UserSession.h"
#include "logging/LogLevel.h"
#include "common/PeerLimits.h"

namespace gw {

class TLogicSrvClient;

class TGateWayWorker {
 public:
  // Turns of the loop between send passes: a pass starts when more than this many
  // milliseconds have passed since the last one.
  static constexpr uint32_t kSendInterval = 10;
  // A client that stops reading keeps its one send in flight while its queue grows.
  // Once more than kMaxQueuedBytes wait behind an unfinished send (looked at only
  // when more than kQueueCheckCount messages wait), or more than kMaxQueuedMessages
  // messages, the client is disconnected rather than letting it hold the gateway's
  // memory. The count bound also caps what each send pass sums up under the lock,
  // and the memory of many tiny records whose bytes alone stay under the limit.
  static constexpr size_t kQueueCheckCount = 256;
  static constexpr uint64_t kMaxQueuedBytes = limits::kMaxSessionQueuedBytes;
  static constexpr size_t kMaxQueuedMessages = limits::kMaxSessionQueuedMessages;

  explicit TGateWayWorker(int32_t ID);
  // Stops the thread if it runs; frees the messages still queued. The sessions in
  // the table are not freed (their close events do that).
  ~TGateWayWorker();
  TGateWayWorker(const TGateWayWorker&) = delete;
  TGateWayWorker& operator=(const TGateWayWorker&) = delete;

  int32_t ID() const { return FID; }
  int32_t UserCount() const { return FUserCount.load(std::memory_order_relaxed); }

  void Lock() { FLock.lock(); }
  void UnLock() { FLock.unlock(); }

  void SetLogger(TLogProc Proc) { FLogger = std::move(Proc); }
  void SetLogicServerClient(TLogicSrvClient* LogicServerClient) {
    FLogicServerClient = LogicServerClient;
  }
  // Where sent client bytes are counted (the server's counters); before Start.
  void SetTraffic(TGateWayTraffic* Traffic) { FTraffic = Traffic; }

  // Starts the worker thread. Stop asks it to end, waits for it, and is idempotent.
  void Start();
  void Stop();

  // Enters the session in the first free slot, makes its handle and stores it in
  // the session. Fails (the handle is left alone) when the table already holds
  // 65535 sessions.
  bool AddSession(TUserSession* Session, uint32_t& SessionHandle);
  // Empties the handle's slot if it still holds exactly `Session`. The session is not freed.
  bool RemoveSession(uint32_t SessionHandle, const TUserSession* Session);
  // The session in the handle's slot (the slot alone is compared), or null.
  // The pointer is only safe to use while the caller holds this worker's lock.
  TUserSession* GetSession(uint32_t SessionHandle);
  // Gives the session in the handle's slot the next generation of its handle and
  // keeps the old one as its last handle. Returns the new handle, 0 for an empty slot.
  uint32_t RegenSessionHandle(uint32_t SessionHandle);

  // Queues a copy of the bytes on the worker's message queue; the caller keeps its buffer.
  void AddMessage(uint32_t SessionHandle, int32_t Ident, int32_t Param, const void* Data,
                  uint32_t Size);
  // Puts a copy of the bytes straight onto the session's outgoing queue (dropped
  // when the handle's slot is empty).
  void AddSessionMessageDirect(uint32_t SessionHandle, const void* Data, uint32_t Size);

  // Calls `Visit` for every session of the table, in slot order, under the lock
  // (for the console's online users view). `Visit` must not close the session.
  template <typename F>
  void ForEachSession(F&& Visit) {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    for (TUserSession* session : FUserSesions) {
      if (session != nullptr) Visit(*session);
    }
  }

 private:
  void Execute();
  void ProcessMessages();
  // Acts on one message for `Session`; returns true when the message was handed
  // on (to the session's outgoing queue) and must not be freed by the caller.
  bool HandleMessage(TUserSession& Session, PTSessionMessage Msg);
  void HandleClientMessage(TUserSession& Session, PTSessionMessage Msg);
  bool ForwardToClient(TUserSession& Session, PTSessionMessage Msg);
  void KickSession(TUserSession& Session, const uint8_t* Payload, uint32_t PayloadLen);
  void SyncSessionData(TUserSession& Session, const uint8_t* Payload, uint32_t PayloadLen);
  void SendToClients();
  void DoSendToClient(TUserSession& Session);
  void CloseStalledSession(TUserSession& Session);
  uint32_t MergeMessages(TUserSession& Session);
  void DoCloseAll();
  void FreeQueuedMessages();
  void EmptySlot(size_t Index);
  void Log(const std::string& Text, TLogLevel Level) const {
    if (FLogger) FLogger(Text, Level);
  }

  const int32_t FID;
  std::recursive_mutex FLock;  // guards FUserSesions, FOrdID and the sessions' outgoing queues
  std::atomic<int32_t> FUserCount{0};
  std::vector<TUserSession*> FUserSesions;  // slot i: the session whose SessionIndex is i
  // The empty slots of FUserSesions, lowest first: a new session takes the lowest
  // one, as a scan from slot 0 would find it, without scanning the table.
  std::priority_queue<uint32_t, std::vector<uint32_t>, std::greater<>> FFreeSlots;
  uint8_t FOrdID = 1;                       // generation byte for the next handle
  TDoubleQueue<PTSessionMessage> FMessage;  // owns every record in it
  TLogProc FLogger;
  TLogicSrvClient* FLogicServerClient = nullptr;  // not owned
  TGateWayTraffic* FTraffic = nullptr;            // not owned; may be null
  uint32_t FSendTime = 0;                         // worker thread only

  std::atomic<bool> FTerminated{false};
  std::thread FThread;
};

}  // namespace gw
