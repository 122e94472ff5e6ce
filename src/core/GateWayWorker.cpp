#include "core/GateWayWorker.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include "common/AnsiCodePage.h"
#include "common/LogText.h"
#include "common/Platform.h"
#include "core/ClientGuard.h"
#include "links/LogicSrvClient.h"

namespace gw {

namespace {

// Every logic packet a worker receives carries the link's packed header; the
// client message type and the logic user index are read from it by name.
constexpr uint32_t kLogicHeaderSize = sizeof(TServerMessageHeader);
constexpr uint32_t kLogicMsgTypeOffset = offsetof(TServerMessageHeader, nMsgType);
constexpr uint32_t kLogicUserListIndexOffset = offsetof(TServerMessageHeader, nUserListIndex);
// The message type byte is the header's last byte, so it and the payload behind it
// already form the client message.
static_assert(kLogicMsgTypeOffset + sizeof(TServerMessageHeader::nMsgType) == kLogicHeaderSize);
// A kick reason: one length byte and up to kKickReasonMaxLen characters.
constexpr uint32_t kKickReasonPayloadSize = 1 + limits::kKickReasonMaxLen;
// Sync data: the account (one length byte and its characters), then the player
// name (the same), each field at its full size.
constexpr uint32_t kSyncPlayerNameOffset = 1 + limits::kSyncAccountMaxLen;
constexpr uint32_t kSyncDataPayloadSize = kSyncPlayerNameOffset + 1 + limits::kSyncPlayerNameMaxLen;
static_assert(kKickReasonPayloadSize == 129 && kSyncDataPayloadSize == 78,
              "the logic server's kick and sync payload sizes");

// A length-prefixed text in the ANSI code page; the length byte is clamped to the
// field so that a wrong length never reads past it.
std::string ReadShortString(const uint8_t* field, uint32_t maxLen, TGateWayStats* stats) {
  if (field[0] > maxLen && stats) stats->Count(TLimitBreach::lbFieldLengthClamped);
  uint32_t len = std::min<uint32_t>(field[0], maxLen);
  return AnsiToUtf8(std::string_view(reinterpret_cast<const char*>(field + 1), len));
}

std::string MessageSizeWarning(const char* kind, uint32_t bodyLen, const uint8_t* body) {
  // The ident is the first 16-bit word of the body; bytes the body lacks read as 0.
  uint16_t ident = 0;
  std::memcpy(&ident, body, std::min<uint32_t>(bodyLen, sizeof(ident)));
  return std::string("[错误]: 不正确的") + kind + " 大小:" + std::to_string(bodyLen) +
         " ,(Ident:" + std::to_string(ident) + ")";
}

}  // namespace

TGateWayWorker::TGateWayWorker(int32_t ID) : FID(ID) {}

TGateWayWorker::~TGateWayWorker() {
  Stop();
  FreeQueuedMessages();
  // Sessions still listed have had no close event (the listener is stopped before
  // the workers go): their connections must not keep pointing at them.
  std::lock_guard<std::recursive_mutex> guard(FLock);
  for (const PUserSession& session : FUserSesions) {
    if (session) session->DetachFromConnection();
  }
}

void TGateWayWorker::Start() {
  if (FThread.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(FWakeUp->Lock);
    FWakeUp->Terminated = false;
  }
  FThread = std::thread([this] { Execute(); });
}

void TGateWayWorker::Stop() {
  {
    std::lock_guard<std::mutex> guard(FWakeUp->Lock);
    FWakeUp->Terminated = true;
  }
  FWakeUp->Cond.notify_one();
  if (FThread.joinable()) FThread.join();
}

void TGateWayWorker::Wake() { FWakeUp->Signal(); }

bool TGateWayWorker::AddSession(PUserSession Session, uint32_t& SessionHandle) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  size_t index;
  uint8_t generation;
  if (!FFreeSlots.empty()) {
    index = FFreeSlots.top();
    FFreeSlots.pop();
    // Each slot counts its own generations: a handle comes back only after its slot has
    // been taken 255 more times. A worker-wide counter would bring it back after any 255
    // allocations (about a second under heavy churn), and traffic still on its way to a
    // player who left would then reach the next player with the same handle.
    generation = NextGeneration(FSlotGenerations[index]);
  } else {
    if (FUserSesions.size() >= kMaxSessionsPerWorker) return false;
    index = FUserSesions.size();
    FUserSesions.emplace_back();
    // A new slot's first handle takes the worker's running generation.
    generation = FOrdID;
    FOrdID = NextGeneration(FOrdID);
    FSlotGenerations.push_back(generation);
  }
  FSlotGenerations[index] = generation;
  SessionHandle =
      MakeSessionHandle(static_cast<uint8_t>(FID), generation, static_cast<uint16_t>(index));
  // Set under the lock, so no message pass ever sees the entered session without its handle.
  Session->SetHandle(SessionHandle);
  FUserSesions[index] = std::move(Session);
  FUserCount.fetch_add(1);
  return true;
}

PUserSession TGateWayWorker::EmptySlot(size_t Index) {
  PUserSession session = std::move(FUserSesions[Index]);
  FFreeSlots.push(static_cast<uint32_t>(Index));
  FUserCount.fetch_sub(1);
  return session;
}

TUserSession* TGateWayWorker::LiveSessionAt(size_t Index) const {
  if (Index >= FUserSesions.size()) return nullptr;
  TUserSession* session = FUserSesions[Index].get();
  return session != nullptr && !session->Closing() ? session : nullptr;
}

PUserSession TGateWayWorker::RemoveSession(uint32_t SessionHandle, const TUserSession* Session) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  size_t index = SessionIndex(SessionHandle);
  if (Session == nullptr || index >= FUserSesions.size() || FUserSesions[index].get() != Session) {
    return nullptr;
  }
  return EmptySlot(index);
}

namespace {

// The handles that name `Session`: its current one, and the one it had before its
// last regeneration (the same client; traffic sent just before a soft close).
bool NamesSession(const TUserSession& Session, uint32_t SessionHandle) {
  return SessionHandle == Session.Handle() ||
         (SessionHandle != kNoSessionHandle && SessionHandle == Session.LastSessionHandle());
}

}  // namespace

void TGateWayWorker::LogStaleHandle(uint32_t SessionHandle, uint32_t Current,
                                    const char* What) const {
  Log(std::string("Stale SessionHandle Dropped (") + What + ") SessionHandle:" +
          std::to_string(SessionHandle) + " , Slot Now Holds:" + std::to_string(Current),
      llDebug);
}

PUserSession TGateWayWorker::GetSession(uint32_t SessionHandle) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  size_t index = SessionIndex(SessionHandle);
  TUserSession* session = LiveSessionAt(index);
  return session != nullptr && NamesSession(*session, SessionHandle) ? FUserSesions[index]
                                                                     : nullptr;
}

PUserSession TGateWayWorker::FindSession(uint32_t SessionHandle, const char* What) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  size_t index = SessionIndex(SessionHandle);
  TUserSession* session = LiveSessionAt(index);
  if (session == nullptr) return nullptr;  // an empty slot: nothing to say
  if (!NamesSession(*session, SessionHandle)) {
    // The slot went to another client since: never hand it the old one's traffic.
    LogStaleHandle(SessionHandle, session->Handle(), What);
    return nullptr;
  }
  return FUserSesions[index];
}

PUserSession TGateWayWorker::BeginCloseSession(uint32_t SessionHandle, const char* What) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  PUserSession session = FindSession(SessionHandle, What);
  if (!session || !session->BeginClose()) return nullptr;
  return session;
}

uint32_t TGateWayWorker::RegenSessionHandle(uint32_t SessionHandle) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  TUserSession* session = LiveSessionAt(SessionIndex(SessionHandle));
  if (session == nullptr || session->Handle() != SessionHandle) return 0;
  TSessionHandleParts parts = SplitSessionHandle(SessionHandle);
  const uint8_t generation = NextGeneration(parts.Generation);
  FSlotGenerations[parts.Slot] = generation;
  uint32_t newHandle = MakeSessionHandle(parts.WorkerID, generation, parts.Slot);
  session->SetLastSessionHandle(SessionHandle);
  session->SetHandle(newHandle);
  return newHandle;
}

void TGateWayWorker::AddMessage(uint32_t SessionHandle, int32_t Ident, int32_t Param,
                                const void* Data, uint32_t Size) {
  // Only the first message since the worker's last look needs to wake it: it looks
  // at everything appended up to then.
  FQueueDepth.fetch_add(1, std::memory_order_relaxed);
  if (FMessage.Append(
          TSessionMessagePtr(NewSessionMessageCopy(SessionHandle, Ident, Param, Data, Size)))) {
    Wake();
  }
}

void TGateWayWorker::QueueSessionOutput(TUserSession& Session, TSessionMessagePtr Msg) {
  bool wake;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    Session.AddMessage(std::move(Msg));  // a refusal is acted on by the send pass
    wake = MarkReady(Session);
  }
  if (wake) Wake();
}

bool TGateWayWorker::MarkReady(TUserSession& Session) {
  if (Session.SendReady) return false;
  Session.SendReady = true;
  FReadySlots.push_back(SessionIndex(Session.Handle()));
  return FReadySlots.size() == 1;
}

void TGateWayWorker::AddSessionMessageDirect(uint32_t SessionHandle, const void* Data,
                                             uint32_t Size) {
  // Every message to a client opens with its type byte: an empty one carries nothing.
  if (Size == 0 || Data == nullptr) return;
  TSessionMessagePtr msg(NewSessionMessageCopy(SessionHandle, 0, 0, Data, Size));
  bool wake = false;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    // A record the session's queue refuses is freed; the send pass disconnects the session.
    if (PUserSession session = FindSession(SessionHandle, "AddSessionMessageDirect")) {
      session->AddMessage(std::move(msg));
      wake = MarkReady(*session);
    }
  }
  if (wake) Wake();
}

void TGateWayWorker::Execute() {
  FWorkerThread.Bind();
  NameCurrentThread("gw-worker-" + std::to_string(FID));
  bool outputWaiting = false;
  while (WaitForWork(outputWaiting)) {
    // A failure of one turn (e.g. memory exhausted) is logged; the loop goes on.
    try {
      ProcessMessages();
      TakeFinishedSends();
      {
        std::lock_guard<std::recursive_mutex> guard(FLock);
        outputWaiting = !FReadySlots.empty();
      }
      if (outputWaiting) {
        const auto now = std::chrono::steady_clock::now();
        if (FSendInterval == 0 || now >= NextSendPass()) {
          FSendTime = now;
          SendToClients();
          std::lock_guard<std::recursive_mutex> guard(FLock);
          outputWaiting = !FReadySlots.empty();
        }
      }
    } catch (const std::exception& e) {
      Log("GateWayWorker " + std::to_string(FID) + " Run Error : " + e.what(), llError);
    } catch (...) {
      Log("GateWayWorker " + std::to_string(FID) + " Run Error : unknown", llError);
    }
  }
  FWorkerThread.Unbind();
}

bool TGateWayWorker::WaitForWork(bool OutputWaiting) {
  using std::chrono::milliseconds;
  std::unique_lock<std::mutex> lock(FWakeUp->Lock);
  auto woken = [this] { return FWakeUp->Signaled || FWakeUp->Terminated; };
  auto stopped = [this] { return FWakeUp->Terminated; };
  if (FSendInterval > 0 && FWakeUp->Signaled) {
    // More arrived during the turn: gather it until the turn's minimum length is up.
    // Producers only mark it meanwhile (Idle is false), they do not wake the thread.
    FWakeUp->Cond.wait_until(lock, FTurnStart + std::chrono::microseconds(kMinTurnMicros), stopped);
  } else if (!OutputWaiting) {
    FWakeUp->Idle = true;
    FWakeUp->Cond.wait(lock, woken);
    FWakeUp->Idle = false;
  } else {
    // Due once more than the interval has passed since the last pass; output left after
    // a pass with no interval (a busy lock) is retried a millisecond later.
    const auto due =
        FSendInterval == 0 ? std::chrono::steady_clock::now() + milliseconds(1) : NextSendPass();
    if (std::chrono::steady_clock::now() < due) {
      FWakeUp->Idle = true;
      FWakeUp->Cond.wait_until(lock, due, woken);
      FWakeUp->Idle = false;
    }
  }
  FWakeUp->Signaled = false;
  FTurnStart = std::chrono::steady_clock::now();
  return !FWakeUp->Terminated;
}

void TGateWayWorker::TakeFinishedSends() {
  std::vector<std::pair<uint32_t, const TUserSession*>> finished;
  {
    std::lock_guard<std::mutex> guard(FWakeUp->Lock);
    if (FWakeUp->FinishedSends.empty()) return;
    finished.swap(FWakeUp->FinishedSends);
  }
  std::lock_guard<std::recursive_mutex> guard(FLock);
  for (const auto& [slot, which] : finished) {
    // Only a session still in its slot: one that has gone has nothing left to send.
    if (slot < FUserSesions.size() && FUserSesions[slot].get() == which) {
      MarkReady(*FUserSesions[slot]);
    }
  }
}

void TGateWayWorker::ProcessMessages() {
  GW_ASSERT_AFFINITY(FWorkerThread, "the worker's message pass");
  FMessage.Flush();
  while (!FMessage.empty()) {
    TSessionMessagePtr msg = std::move(FMessage.front());
    FMessage.pop();
    FQueueDepth.fetch_sub(1, std::memory_order_relaxed);
    if (msg->Ident == GM_GATE_CLOSEALL) {
      DoCloseAll();
      return;
    }
    std::lock_guard<std::recursive_mutex> guard(FLock);
    size_t index = SessionIndex(msg->SessionHandle);
    // Held through the handling: a kick's close event takes the session out of the table.
    PUserSession session = LiveSessionAt(index) != nullptr ? FUserSesions[index] : nullptr;
    // The client's own messages were addressed with the handle it had when it sent
    // them: those sent behind a soft close still belong to it, under its new handle.
    const bool fromClient = msg->Ident == GM_GATE_CLIENTMSG || msg->Ident == GM_GATE_SOFTCLOSE;
    if (index >= FUserSesions.size()) {
      Log("逻辑错误1", llWarning);
    } else if (!session || (msg->SessionHandle == session->LastSessionHandle() && !fromClient)) {
      // An empty slot, or a server message meant for the session before its handle
      // was regenerated: dropped quietly.
    } else if (!NamesSession(*session, msg->SessionHandle)) {
      Log("逻辑错误2 , Self.FID : " + std::to_string(FID) +
              " , SessionWorkerID:" + std::to_string(SessionWorkerID(msg->SessionHandle)) +
              " , SessionHandle: " + std::to_string(session->Handle()) +
              " , MessageSessionHandle:" + std::to_string(msg->SessionHandle),
          llWarning);
    } else {
      // One bad message must not end the worker's loop: it is logged and skipped.
      const int32_t ident = msg->Ident;
      const uint32_t handle = msg->SessionHandle;
      try {
        HandleMessage(*session, msg);
      } catch (const std::exception& e) {
        Log("HandleMessage Exception : " + std::string(e.what()) +
                " , Ident:" + std::to_string(ident) + " , SessionHandle:" + std::to_string(handle),
            llError);
      } catch (...) {
        Log("HandleMessage Exception : unknown , Ident:" + std::to_string(ident) +
                " , SessionHandle:" + std::to_string(handle),
            llError);
      }
    }
  }
}

void TGateWayWorker::HandleMessage(TUserSession& Session, TSessionMessagePtr& Msg) {
  GW_ASSERT_AFFINITY(FWorkerThread, "the worker's message handling");
  switch (Msg->Ident) {
    case GM_GATE_CLIENTMSG:
      HandleClientMessage(Session, *Msg);
      return;
    case GM_GATE_SOFTCLOSE:
      SoftCloseSession(Session);
      return;
    case GM_LOGIC_GATE_DATA:
    case GM_LOGIC_GATE_USERINDEX:
    case GM_LOGIC_GATE_SPEEDTIME:
    case GM_LOGIC_GATE_KICK:
    case GM_LOGIC_GATE_SYNCDATA:
      break;
    default:
      return;
  }
  // The logic server's messages carry the whole packet, header first.
  if (Msg->Data == nullptr || Msg->DataLen < kLogicHeaderSize) {
    if (FTraffic) FTraffic->Count(TLimitBreach::lbLogicPacketTooShort);
    LimitedLine("逻辑服务器数据包长度不足 , Ident:" + std::to_string(Msg->Ident) +
                " , Len:" + std::to_string(Msg->DataLen));
    return;
  }
  const uint8_t* payload = Msg->Data + kLogicHeaderSize;
  uint32_t payloadLen = Msg->DataLen - kLogicHeaderSize;
  switch (Msg->Ident) {
    case GM_LOGIC_GATE_DATA:
      ForwardToClient(Session, std::move(Msg));
      return;
    case GM_LOGIC_GATE_USERINDEX: {
      int32_t index;
      std::memcpy(&index, Msg->Data + kLogicUserListIndexOffset, sizeof(index));
      Session.SetLogicUserIndex(index);
      return;
    }
    case GM_LOGIC_GATE_SPEEDTIME:
      // The intervals come as a default message; a shorter payload cannot hold one.
      if (payloadLen < kDefaultMessageSize) {
        if (FTraffic) FTraffic->Count(TLimitBreach::lbLogicPacketTooShort);
        LimitedLine("GM_LOGIC_GATE_SPEEDTIME 数据长度不一致");
        return;
      }
      Session.SetSessionTime(ReadDefaultMessage(payload));
      MarkReady(Session);
      return;
    case GM_LOGIC_GATE_KICK:
      KickSession(Session, payload, payloadLen);
      return;
    case GM_LOGIC_GATE_SYNCDATA:
      SyncSessionData(Session, payload, payloadLen);
      return;
    default:
      return;
  }
}

void TGateWayWorker::ForwardToClient(TUserSession& Session, TSessionMessagePtr Msg) {
  // The client message is the header's type byte followed by the payload, which
  // already sit side by side: re-point the record instead of copying.
  uint32_t payloadLen = Msg->DataLen - kLogicHeaderSize;
  Msg->Data += kLogicMsgTypeOffset;
  Msg->DataOffset = -static_cast<int32_t>(kLogicMsgTypeOffset);
  Msg->DataLen = payloadLen + 1;
  uint8_t msgType = Msg->Data[0];
  uint8_t* payload = Msg->Data + 1;
  if (msgType == mtDefault && payloadLen >= kDefaultMessageSize) {
    uint16_t ident;
    std::memcpy(&ident, payload + offsetof(TDefaultMessage, Ident), sizeof(ident));
    uint32_t crc = ident;
    std::memcpy(payload + offsetof(TDefaultMessage, dwCRC), &crc, sizeof(crc));
  } else if (msgType == mtStamp && payloadLen >= kStampMinBodySize) {
    // A stamp message too short for the counter is passed on as the server sent it.
    uint64_t counter = QueryPerformanceCounter64();
    std::memcpy(payload + kStampCounterOffset, &counter, sizeof(counter));
  }
  Session.AddMessage(std::move(Msg));
  MarkReady(Session);
}

void TGateWayWorker::SoftCloseSession(TUserSession& Session) {
  Session.SetSessionStep(ssGame);
  const uint32_t oldHandle = Session.Handle();
  const int32_t userIndex = Session.LogicUserIndex();
  if (FLogicServerClient != nullptr) {
    TDefaultMessage softClose;
    softClose.Ident = GM_CLIENT_SOFTCLOSE;
    uint8_t bytes[kDefaultMessageSize];
    WriteDefaultMessage(softClose, bytes);
    FLogicServerClient->AppendServerMessage(
        GM_LOGIC_GATE_DATA, static_cast<uint16_t>(userIndex), static_cast<int32_t>(oldHandle),
        userIndex, static_cast<int32_t>(kDefaultMessageSize), bytes, mtDefault);
  }
  const uint32_t newHandle = RegenSessionHandle(oldHandle);
  if (FLogicServerClient != nullptr) {
    FLogicServerClient->RegisterSession(newHandle, Session.IP());
    FLogicServerClient->SendCloseSession(oldHandle);
  }
}

void TGateWayWorker::KickSession(TUserSession& Session, const uint8_t* Payload,
                                 uint32_t PayloadLen) {
  if (PayloadLen == kKickReasonPayloadSize) {
    Log("Qel 要求 T出 客户端连接:" + Session.IP() + " , 原因: Qel踢出:" +
            LogText(ReadShortString(Payload, limits::kKickReasonMaxLen, FTraffic)),
        llWarning);
  }
  CloseConnectionOf(Session);
}

void TGateWayWorker::CloseConnectionOf(TUserSession& Session, uint16_t Code) {
  if (!Session.BeginClose()) return;
  // The close event takes the session out of the table and frees it, inside Close()
  // or (while a handler of the connection runs on an I/O thread) right after it;
  // until then the worker looks past it.
  PWebSocketConnection connection = Session.Connection();
  if (connection) connection->CloseWithStatus(Code);
}

void TGateWayWorker::SyncSessionData(TUserSession& Session, const uint8_t* Payload,
                                     uint32_t PayloadLen) {
  if (PayloadLen != kSyncDataPayloadSize) {
    if (FTraffic) FTraffic->Count(TLimitBreach::lbLogicPacketTooShort);
    LimitedLine("GM_LOGIC_GATE_SYNCDATA 数据长度不一致");
    return;
  }
  Session.SetInfo(
      ReadShortString(Payload, limits::kSyncAccountMaxLen, FTraffic),
      ReadShortString(Payload + kSyncPlayerNameOffset, limits::kSyncPlayerNameMaxLen, FTraffic));
}

void TGateWayWorker::LimitedLine(const std::string& Line) {
  if (FGuard != nullptr) {
    FGuard->ClientLine(TClientLine::clLogicTooShort, Line);
  } else {
    Log(Line, llWarning);
  }
}

void TGateWayWorker::MalformedMessage(TUserSession& Session, int Kind, const std::string& Line) {
  PWebSocketConnection connection = Session.Connection();
  if (FGuard == nullptr || !connection) {
    Log(Line, llWarning);
    return;
  }
  FGuard->MalformedMessage(*connection, Session.MalformedMessages, static_cast<TClientLine>(Kind),
                           Line);
}

void TGateWayWorker::HandleClientMessage(TUserSession& Session, const TSessionMessage& Msg) {
  if (Msg.Data == nullptr || Msg.DataLen == 0) return;
  uint8_t msgType = Msg.Data[0];
  const uint8_t* body = Msg.Data + 1;
  uint32_t bodyLen = Msg.DataLen - 1;
  switch (msgType) {
    case mtDefault:
    case mtPass:
      break;
    case mtMove:
      if (Msg.DataLen != kMoveMessageSize) {
        MalformedMessage(Session, static_cast<int>(TClientLine::clWrongSize),
                         MessageSizeWarning("MoveMsg", bodyLen, body));
        return;
      }
      break;
    case mtAttack:
      if (Msg.DataLen != kAttackMessageSize) {
        MalformedMessage(Session, static_cast<int>(TClientLine::clWrongSize),
                         MessageSizeWarning("AttackMsg", bodyLen, body));
        return;
      }
      break;
    default:
      // Not a type the logic server takes: dropped. Not counted against the client (a client
      // version may send types this gateway does not relay), but not dropped unseen either.
      if (FGuard != nullptr) {
        FGuard->ClientLine(
            TClientLine::clUnknownType,
            "Dropped a game message of type " + std::to_string(msgType) + " from " + Session.IP(),
            llDebug);
      }
      return;
  }
  if (FLogicServerClient == nullptr) return;
  int32_t userIndex = Session.LogicUserIndex();
  FLogicServerClient->AppendServerMessage(GM_LOGIC_GATE_DATA, static_cast<uint16_t>(userIndex),
                                          static_cast<int32_t>(Session.Handle()), userIndex,
                                          static_cast<int32_t>(bodyLen), body, msgType);
}

void TGateWayWorker::SendToClients() {
  GW_ASSERT_AFFINITY(FWorkerThread, "the worker's send pass");
  std::unique_lock<std::recursive_mutex> guard(FLock, std::try_to_lock);
  if (!guard.owns_lock()) return;  // busy: the next pass comes after another interval
  // Sessions that become ready during the pass (output left behind a send) go on the
  // fresh list, for the next pass.
  FSendingSlots.swap(FReadySlots);
  // Index-based: a close event run by a send may empty slots meanwhile.
  for (uint32_t slot : FSendingSlots) {
    if (slot >= FUserSesions.size() || !FUserSesions[slot]) continue;
    FUserSesions[slot]->SendReady = false;
    if (FUserSesions[slot]->Closing()) continue;
    PUserSession session = FUserSesions[slot];  // held through the send and its close event
    try {
      DoSendToClient(session);
      KeepPendingOutput(*session);
    } catch (...) {
      // The session cannot be served any more: its connection is closed, and the
      // close event takes it out of the table and tells the upstream server.
      CloseConnectionOf(*session, wccServerError);
    }
  }
  FSendingSlots.clear();
}

void TGateWayWorker::KeepPendingOutput(TUserSession& Session) {
  // A session that has left its slot (its close event ran inside the send) is done.
  const uint32_t slot = SessionIndex(Session.Handle());
  if (Session.Closing() || slot >= FUserSesions.size() || FUserSesions[slot].get() != &Session) {
    return;
  }
  if (Session.QueuedMessages() == 0) return;
  if (Session.InSend.load() == 0) {
    MarkReady(Session);  // more than one batch holds: the rest goes next pass
    return;
  }
  // Waits for the send in flight. Its completion callback clears InSend and then looks
  // at the mark; marking first and looking at InSend again after means that exactly
  // one of the two sees the other's change and hands the session back.
  Session.SendParked.store(true);
  if (Session.InSend.load() == 0 && Session.SendParked.exchange(false)) MarkReady(Session);
}

void TGateWayWorker::DoSendToClient(const PUserSession& Session) {
  GW_ASSERT_AFFINITY(FWorkerThread, "a session's send");
  if (CheckQueueLimit(*Session)) return;
  if (Session->QueuedMessages() == 0) return;
  if (Session->InSend.load() != 0) return;  // at most one send per session in flight
  PWebSocketConnection connection = Session->Connection();
  if (!connection) return;
  // The completion callback holds the session, so a close that overtakes the send
  // cannot free what the send still uses (the batch buffer, InSend).
  PUserSession keep = Session;
  uint32_t batchLen = MergeMessages(*Session);
  TGateWayTraffic* traffic = FTraffic;
  if (batchLen > 0) {
    Session->InSend.store(1);
    connection->WsSend(
        Session->MergeClientBuffer.get(), batchLen,
        [keep, traffic, batchLen, wake = FWakeUp](const PWebSocketConnection&, bool ok) {
          if (ok && traffic) {
            TGateWayTraffic::Add(traffic->ClientBytesOut, batchLen);
            TGateWayTraffic::Add(traffic->ClientMessagesOut, 1);
          }
          keep->ReleaseMergeBuffer();
          SendFinished(*keep, *wake);
        });
    return;  // a failed post closes the connection: its close event may have run
  }
  // The send owns the message until its completion callback has run.
  std::shared_ptr<TSessionMessage> msg = Session->TakeMessage();
  Session->InSend.store(1);
  connection->WsSend(msg->Data, msg->DataLen,
                     [keep, msg, traffic, wake = FWakeUp](const PWebSocketConnection&, bool ok) {
                       if (ok && traffic) {
                         TGateWayTraffic::Add(traffic->ClientBytesOut, msg->DataLen);
                         TGateWayTraffic::Add(traffic->ClientMessagesOut, 1);
                       }
                       SendFinished(*keep, *wake);
                     });
}

void TGateWayWorker::SendFinished(TUserSession& Session, TWakeUp& Wake) {
  Session.InSend.store(0);
  if (!Session.SendParked.exchange(false)) return;
  // Output waited behind this send: the worker takes the session up again.
  {
    std::lock_guard<std::mutex> guard(Wake.Lock);
    Wake.FinishedSends.emplace_back(SessionIndex(Session.Handle()), &Session);
    Wake.Signaled = true;
    if (!Wake.Idle) return;
  }
  Wake.Cond.notify_one();
}

bool TGateWayWorker::CheckQueueLimit(TUserSession& Session) {
  if (!Session.QueueLimitHit()) return false;
  Log("客户端接收缓慢,待发送数据超限,断开连接:" + Session.IP() +
          " , Handle:" + std::to_string(Session.Handle()),
      llWarning);
  CloseConnectionOf(Session, wccPolicy);
  return true;
}

uint32_t TGateWayWorker::MergeMessages(TUserSession& Session) {
  GW_ASSERT_AFFINITY(FWorkerThread, "the batch buffer");
  if (Session.QueuedMessages() <= 1) return 0;
  // A first message too large for a batch goes out alone; no buffer is taken for it.
  if (BatchBytesNeeded(0, Session.PeekMessage()->DataLen) > Session.MergeClientBufferSize) return 0;
  uint8_t* buffer = Session.AcquireMergeBuffer();
  uint32_t written = 0;
  size_t count = Session.QueuedMessages();
  for (size_t i = 0; i < count; ++i) {
    const TSessionMessage* msg = Session.PeekMessage();
    if (!AppendBatchEntry(buffer, Session.MergeClientBufferSize, written, msg->Data,
                          msg->DataLen)) {
      break;  // stays queued for the next pass
    }
    Session.TakeMessage();  // packed: freed here
  }
  return written;
}

void TGateWayWorker::DoCloseAll() {
  GW_ASSERT_AFFINITY(FWorkerThread, "close-all");
  std::lock_guard<std::recursive_mutex> guard(FLock);
  for (size_t i = 0; i < FUserSesions.size(); ++i) {
    if (LiveSessionAt(i) == nullptr) continue;
    // The close event takes the session out of the table, tells the upstream server
    // and frees it; the copy keeps it valid through the close.
    PUserSession session = FUserSesions[i];
    if (session->Connection()) {
      CloseConnectionOf(*session);
    } else {
      EmptySlot(i);  // no connection, no close event to wait for
    }
  }
  // The table starts afresh unless a close event is still to come (it was deferred
  // behind a handler of its connection): that session keeps its slot until then.
  if (std::none_of(FUserSesions.begin(), FUserSesions.end(),
                   [](const PUserSession& s) { return s != nullptr; })) {
    FUserSesions.clear();
    FFreeSlots = {};
  }
  FreeQueuedMessages();
}

void TGateWayWorker::FreeQueuedMessages() {
  GW_ASSERT_AFFINITY(FWorkerThread, "the worker's message queue");
  FMessage.Flush();
  FMessage.Clear();  // the records free themselves
  FQueueDepth.store(0, std::memory_order_relaxed);
}

}  // namespace gw
