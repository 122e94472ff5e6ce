// A user session: the gateway's record of one game client connection — its
// connection, step, handles, token, logic user index, the messages waiting to be
// sent to the client, and the buffer a batch of them is packed into.
//
// Lifetime. A session is created with TUserSession::Create when a connection
// opens and keeps itself alive (it holds a strong reference to itself) until
// the close event of its connection calls Free(). The connection's user object
// is a plain pointer to the session (TUserSession::FromConnection). A send that
// is in flight when the connection closes keeps the session valid by capturing
// KeepAlive() in its completion callback:
//
//   session->InSend.store(1);
//   PUserSession keep = session->KeepAlive();
//   connection->WsSend(data, len, [keep, msg](const PWebSocketConnection&, bool) {
//     FreeSessionMessage(msg);  // or keep->ReleaseMergeBuffer() for a batch
//     keep->InSend.store(0);
//   });
//
// Free() also clears the connection's user object, so a completion callback
// must reach the session through its captured reference, never FromConnection.
// The session is destroyed when the last of these references goes: at Free()
// when nothing is in flight, otherwise when the last completion callback has
// run. The destructor frees every queued message, the batch buffer and the
// connection reference. KeepAlive() may be called only while the session is
// reachable: from an event of its connection before Free(), or while it sits in
// its worker's table under the worker's lock.
//
// Threads (the session takes no lock of its own):
// - MessageQueue() and AddMessage/SetSessionTime: only under the owning worker's lock.
// - InSend: atomic; set by the worker, cleared by the send completion callback.
// - The batch buffer (AcquireMergeBuffer/ReleaseMergeBuffer, MergeClientBuffer):
//   only while InSend is 0 by the owning worker, and by the completion callback
//   of the send that uses it, before it clears InSend.
// - SessionStep, TokenChecked, Handle, LastSessionHandle, LogicUserIndex: atomic
//   values, readable from any thread (the transport reads step and token mark
//   without a lock).
// - Account, PlayerName, TokenID: safe from any thread (copies under FInfoLock).
// - IP and Connection never change after Create.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "gate/GateWayDefine.h"
#include "net/IWebSocketConnection.h"

namespace gw {

class TUserSession;
using PUserSession = std::shared_ptr<TUserSession>;

class TUserSession : public std::enable_shared_from_this<TUserSession> {
 public:
  // Creates the session for `connection` and stores it as the connection's user
  // object. The session stays alive until Free() (and its sends) release it.
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

  // Drops the session's reference to itself and detaches it from the connection
  // (the user object becomes null); called once, by the close event of its
  // connection after the session has left its worker's table. The session is
  // gone at once unless a send still holds it. Further calls do nothing.
  void Free();

  // A strong reference for a send completion callback (see the header comment).
  PUserSession KeepAlive() { return shared_from_this(); }

  // Appends a record at the tail of the outgoing queue; the session owns it now.
  // Under the owning worker's lock.
  void AddMessage(PTSessionMessage msg);

  void SetHandle(uint32_t handle) { FSessionHandle.store(handle, std::memory_order_relaxed); }
  void SetLastSessionHandle(uint32_t handle) {
    FLastSessionHandle.store(handle, std::memory_order_relaxed);
  }
  void SetInfo(const std::string& account, const std::string& playerName);
  void SetToken(const std::string& token);
  void SetSessionStep(TSessionStep step) { FSessionStep.store(step, std::memory_order_relaxed); }
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
  std::string TokenID() const;
  std::string Account() const;
  std::string PlayerName() const;
  // Under the owning worker's lock. Oldest first; the session owns every record.
  std::deque<PTSessionMessage>& MessageQueue() { return FMessageQueue; }
  const std::string& IP() const { return FIP; }

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

  std::atomic<bool> TokenChecked{false};
  std::atomic<int32_t> InSend{0};
  std::unique_ptr<uint8_t[]> MergeClientBuffer;  // null while no batch is being sent
  const uint32_t MergeClientBufferSize = kMergeClientBufferSize;

 private:
  const PWebSocketConnection FConnection;
  std::atomic<TSessionStep> FSessionStep{ssLogin};
  std::atomic<uint32_t> FSessionHandle{kNoSessionHandle};
  std::atomic<uint32_t> FLastSessionHandle{kNoSessionHandle};
  std::deque<PTSessionMessage> FMessageQueue;
  const std::string FIP;
  std::atomic<int32_t> FLogicUserIndex{0};
  uint16_t FHitTime = 0;
  uint16_t FWalkTime = 0;
  uint16_t FRunTime = 0;
  uint16_t FSpellTime = 0;
  bool FboSpeedLoaded = false;

  mutable std::mutex FInfoLock;  // guards FAccount, FPlayerName, FTokenID
  std::string FAccount;
  std::string FPlayerName;
  std::string FTokenID;

  std::mutex FSelfLock;  // guards FSelf
  PUserSession FSelf;    // the session's reference to itself until Free()
};

}  // namespace gw
