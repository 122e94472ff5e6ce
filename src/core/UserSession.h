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
// every queued message and the connection reference.
//
// Threads (the session takes no lock of its own). The session has one owner: the
// thread of the worker whose table holds it (bound by SetOwner when the worker enters it;
// before that, and while that worker's thread is not running, the thread that holds the
// session sets it up). Checked builds stop at the first use of owned state from elsewhere.
// - Owner only: the outgoing queue (AddMessage, TakeMessage, PeekMessage, QueuedMessages,
//   QueuedBytes, QueueLimitHit), SetSessionTime and the intervals, SetInfo, Account and
//   PlayerName, the ready mark (MarkSendReady, ClearSendReady), BeginSend and
//   ParkBehindSend, and the writers of the step, the logic user index and the handles.
//   Other threads reach this state through the worker's queue.
// - FinishSend: the completion of the send in flight, on whichever thread completes it.
//   It and ParkBehindSend hand the session back to the worker exactly once (see there).
// - SessionStep, Handle, LastSessionHandle, LogicUserIndex, Closing, TokenChecked:
//   atomic values, readable from any thread (the transport's events read step and token
//   mark without the worker). TokenChecked is set by the connection's message event.
// - MalformedMessages: a counter the client guard adds to on the I/O and worker threads.
// - TokenID: set once, before the session is entered in a worker's table (which
//   publishes it); read-only and safe from any thread afterwards.
// - IP, OpenedAt and Connection never change after Create.
//
// Size: a worker may hold tens of thousands of idle sessions, so an idle one holds
// no buffer at all: the outgoing queue's storage is taken when something is queued and
// given back when drained, and a batch's buffer belongs to its send.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/GateWayStats.h"
#include "common/ThreadAffinity.h"
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

  // The owning thread: the worker's thread whose table holds the session (null: none yet).
  // Set by the worker as it enters the session, before any other thread can reach it.
  void SetOwner(const TThreadAffinity* Owner) { FOwner = Owner; }

  // The outgoing queue, oldest first; the session owns every record in it. Owner only.
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
    AssertOwner();
    return FQueueHead < FMessageQueue.size() ? FMessageQueue[FQueueHead].get() : nullptr;
  }
  size_t QueuedMessages() const {
    AssertOwner();
    return FMessageQueue.size() - FQueueHead;
  }
  // Bytes of every queued record, kept as records come and go.
  uint64_t QueuedBytes() const {
    AssertOwner();
    return FQueuedBytes;
  }
  // True once the queue has refused a record.
  bool QueueLimitHit() const {
    AssertOwner();
    return FQueueLimitHit;
  }

  // The worker's list of sessions with output to send: true when the session was not on
  // it yet (the caller puts it there). Owner only.
  bool MarkSendReady() {
    AssertOwner();
    return !std::exchange(FSendReady, true);
  }
  void ClearSendReady() {
    AssertOwner();
    FSendReady = false;
  }

  // At most one send per session is in flight. BeginSend marks one started (owner);
  // FinishSend marks it done (the send's completion, any thread).
  bool SendInFlight() const { return FInSend.load(); }
  void BeginSend() {
    AssertOwner();
    FInSend.store(true);
  }
  // Output waits behind the send in flight (owner). The send's completion clears the
  // in-flight mark and then looks at the parked mark; parking first and looking at the
  // in-flight mark again after means that exactly one of the two sees the other's change
  // and hands the session back to the worker. True: the send has finished meanwhile, the
  // caller takes the session up again itself.
  bool ParkBehindSend() {
    AssertOwner();
    FSendParked.store(true);
    return !FInSend.load() && FSendParked.exchange(false);
  }
  // True: output was parked behind this send, the completion hands the session back.
  bool FinishSend() {
    FInSend.store(false);
    return FSendParked.exchange(false);
  }

  // Set by the connection's message event when the client answered the challenge.
  bool TokenChecked() const { return FTokenChecked.load(); }
  // The token check passed: the session moves on in the per-step gauges.
  void MarkTokenChecked() {
    FTokenChecked.store(true);
    RecountStep();
  }
  // Malformed messages the client sent (counted by the client guard, which closes the
  // connection at limits::kMaxMalformedMessages); added to on the I/O and worker threads.
  std::atomic<uint32_t>& MalformedMessages() { return FMalformedMessages; }

  // Set by the worker under its table lock (entering the session, regenerating its
  // handle); readable from any thread.
  void SetHandle(uint32_t handle) { FSessionHandle.store(handle, std::memory_order_relaxed); }
  void SetLastSessionHandle(uint32_t handle) {
    FLastSessionHandle.store(handle, std::memory_order_relaxed);
  }
  // Owner only.
  void SetInfo(const std::string& account, const std::string& playerName);
  // Before the session is entered in a worker's table; never changed afterwards.
  // A token is a GUID text (kTokenMaxLen characters); anything longer is cut there.
  void SetToken(std::string_view token);
  // Owner only (readable from any thread).
  void SetSessionStep(TSessionStep step) {
    AssertOwner();
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
  void SetLogicUserIndex(int32_t index) {
    AssertOwner();
    FLogicUserIndex.store(index, std::memory_order_relaxed);
  }

  // Stores the action intervals of `AMessage` (low 16 bits of Series, nSessionID,
  // Param, Tag as hit, spell, run, walk) and queues it for the client as a
  // 33-byte mtDefault message. Owner only.
  void SetSessionTime(const TDefaultMessage& AMessage);

  TSessionStep SessionStep() const { return FSessionStep.load(std::memory_order_relaxed); }
  uint32_t Handle() const { return FSessionHandle.load(std::memory_order_relaxed); }
  uint32_t LastSessionHandle() const { return FLastSessionHandle.load(std::memory_order_relaxed); }
  const PWebSocketConnection& Connection() const { return FConnection; }
  int32_t LogicUserIndex() const { return FLogicUserIndex.load(std::memory_order_relaxed); }
  std::string TokenID() const { return std::string(FTokenID, FTokenLen); }
  // Owner only; empty until the logic server has sent them.
  std::string Account() const {
    AssertOwner();
    return FInfo ? FInfo->Account : std::string();
  }
  std::string PlayerName() const {
    AssertOwner();
    return FInfo ? FInfo->PlayerName : std::string();
  }
  const std::string& IP() const { return FIP; }
  // When the session was created (the client's WebSocket open); never changes.
  std::chrono::steady_clock::time_point OpenedAt() const { return FOpenedAt; }
  // The client's traffic for the operator: messages and payload bytes received from it
  // (counted by the connection's message event) and sent to it (a batch is one message;
  // counted when its send completes). Any thread.
  void CountReceived(uint64_t Bytes) {
    FMessagesIn.fetch_add(1, std::memory_order_relaxed);
    FBytesIn.fetch_add(Bytes, std::memory_order_relaxed);
  }
  void CountSent(uint64_t Bytes) {
    FMessagesOut.fetch_add(1, std::memory_order_relaxed);
    FBytesOut.fetch_add(Bytes, std::memory_order_relaxed);
  }
  uint64_t MessagesIn() const { return FMessagesIn.load(std::memory_order_relaxed); }
  uint64_t BytesIn() const { return FBytesIn.load(std::memory_order_relaxed); }
  uint64_t MessagesOut() const { return FMessagesOut.load(std::memory_order_relaxed); }
  uint64_t BytesOut() const { return FBytesOut.load(std::memory_order_relaxed); }

  // The intervals as the logic server last sent them (stored, read by no one else).
  // Owner only.
  uint16_t HitTime() const { return AssertOwner(), FHitTime; }
  uint16_t WalkTime() const { return AssertOwner(), FWalkTime; }
  uint16_t RunTime() const { return AssertOwner(), FRunTime; }
  uint16_t SpellTime() const { return AssertOwner(), FSpellTime; }
  bool SpeedLoaded() const { return AssertOwner(), FboSpeedLoaded; }

  // The largest batch: the buffer a batch send packs into.
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
  void AssertOwner() const {
    if (FOwner != nullptr) GW_ASSERT_AFFINITY(*FOwner, "a session's owned state");
  }

  const PWebSocketConnection FConnection;
  const TThreadAffinity* FOwner = nullptr;  // its worker's thread; see SetOwner
  // Owner only: the queue (records before FQueueHead are taken;
  // the storage goes when the last record is taken) and the bytes of its records.
  std::vector<TSessionMessagePtr> FMessageQueue;
  const std::string FIP;
  const std::chrono::steady_clock::time_point FOpenedAt = std::chrono::steady_clock::now();
  std::atomic<uint64_t> FMessagesIn{0}, FBytesIn{0}, FMessagesOut{0}, FBytesOut{0};
  std::unique_ptr<TInfo> FInfo;  // made by the first SetInfo

  std::atomic<uint32_t> FMalformedMessages{0};
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
  std::atomic<bool> FInSend{false};      // a send is in flight
  std::atomic<bool> FSendParked{false};  // output waits behind it
  std::atomic<bool> FTokenChecked{false};
  bool FSendReady = false;  // on the worker's ready list
  bool FQueueLimitHit = false;
  bool FboSpeedLoaded = false;
  uint8_t FTokenLen = 0;
  char FTokenID[kTokenMaxLen] = {};
};

}  // namespace gw
