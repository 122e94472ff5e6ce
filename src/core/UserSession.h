// A user session: the gateway's record of one game client connection — its
// connection, step, handles, token, logic user index, the messages waiting to be
// sent to the client, and the buffer a batch of them is packed into.
//
// Lifetime. The owning worker's session table holds the session (PUserSession);
// taking it out of the table is what frees it. The connection's user object is a
// plain pointer to the session (TUserSession::FromConnection), valid until the
// close event of the connection has taken the session out of its table and
// detached it (DetachFromConnection). A send that is in flight when the connection
// closes keeps the session valid by holding a PUserSession in its completion
// callback; the session then goes when that callback has run. The destructor frees
// every queued message, the batch buffer and the connection reference.
//
// Threads (the session takes no lock of its own):
// - The outgoing queue (AddMessage, TakeMessage, PeekMessage, QueuedMessages,
//   QueuedBytes) and SetSessionTime: only under the owning worker's lock.
// - InSend: atomic; set by the worker, cleared by the send completion callback.
// - The batch buffer (AcquireMergeBuffer/ReleaseMergeBuffer, MergeClientBuffer):
//   only while InSend is 0 by the owning worker thread, and by the completion
//   callback of the send that uses it, before it clears InSend.
// - SessionStep, TokenChecked, Handle, LastSessionHandle, LogicUserIndex, Closing:
//   atomic values, readable from any thread (the transport reads step and token
//   mark without a lock).
// - Account, PlayerName: under the owning worker's lock (written by its message
//   pass, read by the console's walk over the table).
// - TokenID: set once, before the session is entered in a worker's table (which
//   publishes it); read-only and safe from any thread afterwards.
// - IP and Connection never change after Create.
//
// Size: a worker may hold tens of thousands of idle sessions, so an idle one holds
// no buffer at all: the outgoing queue's storage and the batch buffer are taken
// when something is queued or packed and given back when drained.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/GateWayStats.h"
#include "gate/GateWayDefine.h"
#include "net/IWebSocketConnection.h"

namespace gw {

class TUserSession;
using PUserSession = std::shared_ptr<TUserSession>;

class TUserSession {
 public:
  // Creates the session for `connection` and stores it as the connection's user
  // object. The caller hands the result to a worker's table (or detaches it).
  static PUserSession Create(PWebSocketConnection connection);

  // The session stored as the connection's user object, or null.
  static TUserSession* FromConnection(const IWebSocketConnection& connection);

  // Only Create can make the key; use Create.
  struct TCreateKey {
   private:
    TCreateKey() = default;
    friend class TUserSession;
  };
  TUserSession(TCreateKey, PWebSocketConnection connection);
  ~TUserSession();
  TUserSession(const TUserSession&) = delete;
  TUserSession& operator=(const TUserSession&) = delete;

  // Clears the connection's user object when it still names this session, so a
  // connection that outlives the session (a send in flight) never hands out a
  // pointer to it. Called on the thread of the close event, once the session has
  // left its table; not in the destructor, which may run inside a transport's
  // completion callback.
  void DetachFromConnection();

  // Marks the session as being closed: from now on its worker looks past it (no
  // message is delivered to it, nothing is sent) until its close event takes it
  // out of the table. True for the one caller that marked it, so the close work
  // runs once.
  bool BeginClose() { return !FClosing.exchange(true); }
  bool Closing() const { return FClosing.load(); }

  // The outgoing queue, oldest first; the session owns every record in it. Under
  // the owning worker's lock.
  //
  // A client that reads nothing must not make the gateway hold its messages without
  // end: a record that would take the queue past kMaxSessionQueuedBytes bytes or
  // kMaxSessionQueuedMessages records is refused (freed, the breach counted) and the
  // session is marked (QueueLimitHit) for its worker to disconnect. False then.
  bool AddMessage(TSessionMessagePtr msg);
  // Takes the oldest record off the queue (null when it is empty).
  TSessionMessagePtr TakeMessage();
  // The oldest record, still queued (null when the queue is empty).
  const TSessionMessage* PeekMessage() const {
    return FQueueHead < FMessageQueue.size() ? FMessageQueue[FQueueHead].get() : nullptr;
  }
  size_t QueuedMessages() const { return FMessageQueue.size() - FQueueHead; }
  // Bytes of every queued record, kept as records come and go.
  uint64_t QueuedBytes() const { return FQueuedBytes; }
  // True once the queue has refused a record.
  bool QueueLimitHit() const { return FQueueLimitHit; }

  void SetHandle(uint32_t handle) { FSessionHandle.store(handle, std::memory_order_relaxed); }
  void SetLastSessionHandle(uint32_t handle) {
    FLastSessionHandle.store(handle, std::memory_order_relaxed);
  }
  // Under the owning worker's lock.
  void SetInfo(const std::string& account, const std::string& playerName);
  // Before the session is entered in a worker's table; never changed afterwards.
  // A token is a GUID text (kTokenMaxLen characters); anything longer is cut there.
  void SetToken(std::string_view token);
  void SetSessionStep(TSessionStep step) {
    FSessionStep.store(step, std::memory_order_relaxed);
    RecountStep();
  }
  // Where the session counts: its queue's bounds and the per-step session gauges
  // (SessionsToken, SessionsLogin, SessionsGame). Before the session enters a table.
  void SetStats(TGateWayStats* Stats) { FStats = Stats; }
  // Moves the session's gauge to its step as it stands now (the token check not passed
  // yet, the login server, the game): called when the session enters its table, when its
  // token check passes and on every step change. Nothing once CountOut has run. Any thread.
  void RecountStep();
  // Takes the session out of the gauges for good, when it closes. Any thread; idempotent.
  void CountOut();
  void SetLogicUserIndex(int32_t index) { FLogicUserIndex.store(index, std::memory_order_relaxed); }

  // Stores the action intervals of `AMessage` (low 16 bits of Series, nSessionID,
  // Param, Tag as hit, spell, run, walk) and queues it for the client as a
  // 33-byte mtDefault message. Under the owning worker's lock.
  void SetSessionTime(const TDefaultMessage& AMessage);

  TSessionStep SessionStep() const { return FSessionStep.load(std::memory_order_relaxed); }
  uint32_t Handle() const { return FSessionHandle.load(std::memory_order_relaxed); }
  uint32_t LastSessionHandle() const { return FLastSessionHandle.load(std::memory_order_relaxed); }
  const PWebSocketConnection& Connection() const { return FConnection; }
  int32_t LogicUserIndex() const { return FLogicUserIndex.load(std::memory_order_relaxed); }
  std::string TokenID() const { return std::string(FTokenID, FTokenLen); }
  // Under the owning worker's lock; empty until the logic server has sent them.
  std::string Account() const { return FInfo ? FInfo->Account : std::string(); }
  std::string PlayerName() const { return FInfo ? FInfo->PlayerName : std::string(); }
  const std::string& IP() const { return FIP; }
  // When the session was created (the client's WebSocket open); never changes.
  std::chrono::steady_clock::time_point OpenedAt() const { return FOpenedAt; }

  // The intervals as the logic server last sent them (stored, read by no one else).
  uint16_t HitTime() const { return FHitTime; }
  uint16_t WalkTime() const { return FWalkTime; }
  uint16_t RunTime() const { return FRunTime; }
  uint16_t SpellTime() const { return FSpellTime; }
  bool SpeedLoaded() const { return FboSpeedLoaded; }

  // The batch buffer of MergeClientBufferSize bytes, allocated on first use so
  // that idle sessions hold none. Owning worker only, while InSend is 0.
  uint8_t* AcquireMergeBuffer();
  // Frees the batch buffer; called by the completion callback of the batch send
  // (before it clears InSend) or by the worker when it packed nothing.
  void ReleaseMergeBuffer() { MergeClientBuffer.reset(); }

  static constexpr uint32_t MergeClientBufferSize = kMergeClientBufferSize;
  // The token's length: a GUID in its text form, braces included.
  static constexpr size_t kTokenMaxLen = 38;

  // Fields are grouped by size, so that an idle session (of which a worker may hold
  // tens of thousands) wastes no padding.
 private:
  struct TInfo {
    std::string Account;
    std::string PlayerName;
  };
  const PWebSocketConnection FConnection;
  // Under the owning worker's lock: the queue (records before FQueueHead are taken;
  // the storage goes when the last record is taken) and the bytes of its records.
  std::vector<TSessionMessagePtr> FMessageQueue;
  const std::string FIP;
  const std::chrono::steady_clock::time_point FOpenedAt = std::chrono::steady_clock::now();
  std::unique_ptr<TInfo> FInfo;  // made by the first SetInfo

 public:
  std::unique_ptr<uint8_t[]> MergeClientBuffer;  // null while no batch is being sent
  std::atomic<int32_t> InSend{0};
  std::atomic<bool> TokenChecked{false};
  // Malformed messages the client sent (counted by the client guard, which closes the
  // connection at limits::kMaxMalformedMessages); written on the I/O and worker threads.
  std::atomic<uint32_t> MalformedMessages{0};
  // The owning worker's bookkeeping of sessions with output to send. SendReady:
  // the session is on the worker's ready list (under the worker's lock).
  // SendParked: output waits behind the send in flight; the completion callback
  // that clears InSend and finds it set hands the session back to the worker.
  bool SendReady = false;
  std::atomic<bool> SendParked{false};

 private:
  std::atomic<uint32_t> FSessionHandle{kNoSessionHandle};
  std::atomic<uint32_t> FLastSessionHandle{kNoSessionHandle};
  std::atomic<int32_t> FLogicUserIndex{0};
  uint32_t FQueueHead = 0;
  uint32_t FQueuedBytes = 0;
  uint16_t FHitTime = 0;
  uint16_t FWalkTime = 0;
  uint16_t FRunTime = 0;
  uint16_t FSpellTime = 0;
  std::atomic<TSessionStep> FSessionStep{ssLogin};
  std::atomic<uint8_t> FCountedStep{0};  // the gauge counting the session (see RecountStep)
  TGateWayStats* FStats = nullptr;       // set before the session is published
  std::atomic<bool> FClosing{false};
  bool FQueueLimitHit = false;
  bool FboSpeedLoaded = false;
  uint8_t FTokenLen = 0;
  char FTokenID[kTokenMaxLen] = {};
};

}  // namespace gw
