#include "core/GateWayWorker.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <future>
#include <string>

#include "common/AnsiCodePage.h"
#include "common/LogText.h"
#include "common/Platform.h"
#include "core/ClientGuard.h"
#include "links/LogicSrvClient.h"
#include "protocol/ClientMessageReader.h"
#include "protocol/LogicPayloadReader.h"

namespace gw {

namespace {

// Every logic packet a worker receives carries the link's packed header.
constexpr uint32_t kLogicHeaderSize = sizeof(TServerMessageHeader);
constexpr uint32_t kLogicMsgTypeOffset = offsetof(TServerMessageHeader, nMsgType);
// The message type byte is the header's last byte, so it and the payload behind it
// already form the client message.
static_assert(kLogicMsgTypeOffset + sizeof(TServerMessageHeader::nMsgType) == kLogicHeaderSize);

// A text field of a logic payload, from the ANSI code page; a length byte beyond its field
// was cut to it, and is counted.
std::string FieldText(const TLogicShortText& Field, TGateWayStats* Stats) {
  if (Field.Clamped && Stats != nullptr) Stats->Count(TLimitBreach::lbFieldLengthClamped);
  return AnsiToUtf8(Field.Text);
}

std::string MessageSizeWarning(const char* kind, std::span<const uint8_t> message) {
  return std::string("[错误]: 不正确的") + kind + " 大小:" + std::to_string(message.size() - 1) +
         " ,(Ident:" + std::to_string(ClientBodyIdent(message)) + ")";
}

}  // namespace

TGateWayWorker::TGateWayWorker(int32_t ID) : FID(ID) {}

TGateWayWorker::~TGateWayWorker() {
  Stop();
  FreeQueuedMessages();
  // Sessions still listed have had no close event (the listener is stopped before
  // the workers go): their connections must not keep pointing at them.
  TMutexLock guard(FLock);
  for (const PUserSession& session : FUserSesions) {
    if (session) session->DetachFromConnection();
  }
}

void TGateWayWorker::Start() {
  if (FThread.joinable()) return;
  {
    TMutexLock guard(FWakeUp->Lock);
    FWakeUp->Terminated = false;
  }
  FRunning.store(true);
  FThread = std::thread([this] { Execute(); });
}

void TGateWayWorker::Stop() {
  {
    TMutexLock guard(FWakeUp->Lock);
    FWakeUp->Terminated = true;
  }
  FWakeUp->Cond.notify_one();
  if (FThread.joinable()) FThread.join();
  FRunning.store(false);
  // Questions asked while the thread ended are answered here: no asker waits in vain.
  RunTasks();
  // What the last turn decided to close is closed all the same.
  FinishCloses();
  FReadySessions.clear();
  // Sessions handed back by sends that finished late: held no longer (a send completion
  // that holds the wake-up state would otherwise keep them, and their connections).
  std::vector<PUserSession> finished;
  {
    TMutexLock guard(FWakeUp->Lock);
    finished.swap(FWakeUp->FinishedSends);
  }
}

void TGateWayWorker::Wake() { FWakeUp->Signal(); }

bool TGateWayWorker::AddSession(PUserSession Session, uint32_t& SessionHandle) {
  TMutexLock guard(FLock);
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
  Session->SetOwner(&FWorkerThread);
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
  TMutexLock guard(FLock);
  size_t index = SessionIndex(SessionHandle);
  if (Session == nullptr || index >= FUserSesions.size() || FUserSesions[index].get() != Session) {
    return nullptr;
  }
  PUserSession removed = EmptySlot(index);
  // The worker may still hold it (on its ready list, in a send): it looks past it now.
  removed->BeginClose();
  return removed;
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
  TMutexLock guard(FLock);
  size_t index = SessionIndex(SessionHandle);
  TUserSession* session = LiveSessionAt(index);
  return session != nullptr && NamesSession(*session, SessionHandle) ? FUserSesions[index]
                                                                     : nullptr;
}

PUserSession TGateWayWorker::FindSession(uint32_t SessionHandle, const char* What) {
  TMutexLock guard(FLock);
  return FindSessionLocked(SessionHandle, What);
}

PUserSession TGateWayWorker::FindSessionLocked(uint32_t SessionHandle, const char* What) {
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
  TMutexLock guard(FLock);
  PUserSession session = FindSessionLocked(SessionHandle, What);
  if (!session || !session->BeginClose()) return nullptr;
  return session;
}

uint32_t TGateWayWorker::RegenSessionHandle(uint32_t SessionHandle) {
  TMutexLock guard(FLock);
  return RegenSessionHandleLocked(SessionHandle);
}

uint32_t TGateWayWorker::RegenSessionHandleLocked(uint32_t SessionHandle) {
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
  if (FMessage.Append(MakeSessionMessageCopy(SessionHandle, Ident, Param, Data, Size))) Wake();
}

void TGateWayWorker::PostSessionOutput(uint32_t SessionHandle, TSessionMessagePtr Msg) {
  if (!Msg) return;
  Msg->SessionHandle = SessionHandle;
  Msg->Ident = GM_GATE_DIRECT;
  FQueueDepth.fetch_add(1, std::memory_order_relaxed);
  if (FMessage.Append(std::move(Msg))) Wake();
}

void TGateWayWorker::AddSessionMessageDirect(uint32_t SessionHandle, const void* Data,
                                             uint32_t Size) {
  // Every message to a client opens with its type byte: an empty one carries nothing.
  if (Size == 0 || Data == nullptr) return;
  AddMessage(SessionHandle, GM_GATE_DIRECT, 0, Data, Size);
}

void TGateWayWorker::MarkReady(const PUserSession& Session) {
  GW_ASSERT_AFFINITY(FWorkerThread, "the worker's ready list");
  if (Session->Closing() || !Session->MarkSendReady()) return;
  FReadySessions.push_back(Session);
}

std::vector<TGateWayWorker::TSessionView> TGateWayWorker::CollectSessions() {
  std::vector<PUserSession> live;
  {
    TMutexLock guard(FLock);
    live.reserve(FUserSesions.size());
    for (const PUserSession& session : FUserSesions) {
      if (session && !session->Closing()) live.push_back(session);
    }
  }
  std::vector<TSessionView> views;
  views.reserve(live.size());
  for (const PUserSession& session : live) {
    views.push_back({session->Handle(), session->IP(), session->SessionStep(),
                     session->TokenChecked(), session->Account(), session->PlayerName(),
                     session->OpenedAt(), session->MessagesIn(), session->BytesIn(),
                     session->MessagesOut(), session->BytesOut()});
  }
  return views;
}

std::vector<TGateWayWorker::TSessionView> TGateWayWorker::Sessions() {
  // No thread runs the worker: nothing changes the sessions but close events, which the
  // table lock keeps apart; read at once.
  if (!FRunning.load()) return CollectSessions();
  auto answer = std::make_shared<std::promise<std::vector<TSessionView>>>();
  std::future<std::vector<TSessionView>> answered = answer->get_future();
  if (FTasks.Append([this, answer] { answer->set_value(CollectSessions()); })) Wake();
  // The thread may have ended between the look and the append, after Stop answered the
  // questions it found: then no one else answers this one.
  if (!FRunning.load()) return CollectSessions();
  if (answered.wait_for(std::chrono::milliseconds(kQuestionWaitMs)) != std::future_status::ready) {
    Log("GateWayWorker " + std::to_string(FID) + " did not answer within " +
            std::to_string(kQuestionWaitMs) + " ms",
        llWarning);
    return {};
  }
  try {
    return answered.get();
  } catch (const std::future_error&) {
    return {};  // the worker went with the question unanswered
  }
}

void TGateWayWorker::RunTasks() {
  FTasks.Flush();
  while (!FTasks.empty()) {
    std::function<void()> task = std::move(FTasks.front());
    FTasks.pop();
    task();
  }
}

void TGateWayWorker::Execute() {
  FWorkerThread.Bind();
  NameCurrentThread("gw-worker-" + std::to_string(FID));
  bool outputWaiting = false;
  while (WaitForWork(outputWaiting)) {
    // A failure of one turn (e.g. memory exhausted) is logged; the loop goes on.
    try {
      RunTasks();
      ProcessMessages();
      TakeFinishedSends();
      outputWaiting = !FReadySessions.empty();
      if (outputWaiting) {
        const auto now = std::chrono::steady_clock::now();
        if (FSendInterval == 0 || now >= NextSendPass()) {
          FSendTime = now;
          SendToClients();
          outputWaiting = !FReadySessions.empty();
        }
      }
    } catch (const std::exception& e) {
      Log("GateWayWorker " + std::to_string(FID) + " Run Error : " + e.what(), llError);
    } catch (...) {
      Log("GateWayWorker " + std::to_string(FID) + " Run Error : unknown", llError);
    }
    // The turn's safe point: no lock is held and no session is being worked on.
    FinishCloses();
  }
  FWorkerThread.Unbind();
}

bool TGateWayWorker::WaitForWork(bool OutputWaiting) {
  using std::chrono::milliseconds;
  TWakeUp& wake = *FWakeUp;
  TMutexLock guard(wake.Lock);
  // Called by the condition with the lock held.
  auto woken = [&wake]() NO_THREAD_SAFETY_ANALYSIS { return wake.Signaled || wake.Terminated; };
  auto stopped = [&wake]() NO_THREAD_SAFETY_ANALYSIS { return wake.Terminated; };
  if (FSendInterval > 0 && wake.Signaled) {
    // More arrived during the turn: gather it until the turn's minimum length is up.
    // Producers only mark it meanwhile (Idle is false), they do not wake the thread.
    wake.Cond.wait_until(wake.Lock, FTurnStart + std::chrono::microseconds(kMinTurnMicros),
                         stopped);
  } else if (!OutputWaiting) {
    wake.Idle = true;
    wake.Cond.wait(wake.Lock, woken);
    wake.Idle = false;
  } else {
    // Due once more than the interval has passed since the last pass; output left after
    // a pass with no interval (a busy lock) is retried a millisecond later.
    const auto due =
        FSendInterval == 0 ? std::chrono::steady_clock::now() + milliseconds(1) : NextSendPass();
    if (std::chrono::steady_clock::now() < due) {
      wake.Idle = true;
      wake.Cond.wait_until(wake.Lock, due, woken);
      wake.Idle = false;
    }
  }
  wake.Signaled = false;
  FTurnStart = std::chrono::steady_clock::now();
  return !wake.Terminated;
}

void TGateWayWorker::TakeFinishedSends() {
  std::vector<PUserSession> finished;
  {
    TMutexLock guard(FWakeUp->Lock);
    if (FWakeUp->FinishedSends.empty()) return;
    finished.swap(FWakeUp->FinishedSends);
  }
  // One that has gone (Closing) has nothing left to send: MarkReady looks past it.
  for (const PUserSession& session : finished) MarkReady(session);
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
    TMutexLock guard(FLock);
    if (msg->Ident == GM_GATE_DIRECT || msg->Ident == GM_GATE_STEP ||
        msg->Ident == GM_GATE_HANDOVER) {
      HandleSessionCommand(msg);
      continue;
    }
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
        HandleMessage(session, msg);
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

void TGateWayWorker::HandleSessionCommand(TSessionMessagePtr& Msg) {
  const char* what = Msg->Ident == GM_GATE_DIRECT ? "AddSessionMessageDirect" : "ChangeSessionStep";
  PUserSession session = FindSessionLocked(Msg->SessionHandle, what);
  if (!session) return;  // gone: registering it would leave a ghost on the logic server
  switch (Msg->Ident) {
    case GM_GATE_DIRECT:
      // A record the session's queue refuses is freed; the send pass disconnects the session.
      session->AddMessage(std::move(Msg));
      MarkReady(session);
      return;
    case GM_GATE_STEP:
      session->SetSessionStep(static_cast<TSessionStep>(Msg->Param));
      if (Msg->Param == ssGame && FLogicServerClient != nullptr) {
        FLogicServerClient->RegisterSession(Msg->SessionHandle, session->IP());
      }
      return;
    case GM_GATE_HANDOVER:
      // The step first: the client answers the message in the game step. The logic
      // server's first answers come behind the registration, so behind the message.
      session->SetSessionStep(ssGame);
      if (Msg->DataLen() > 0) {
        session->AddMessage(std::move(Msg));
        MarkReady(session);
      }
      if (FLogicServerClient != nullptr) {
        FLogicServerClient->RegisterSession(session->Handle(), session->IP());
      }
      return;
    default:
      return;
  }
}

void TGateWayWorker::HandleMessage(const PUserSession& Session, TSessionMessagePtr& Msg) {
  GW_ASSERT_AFFINITY(FWorkerThread, "the worker's message handling");
  switch (Msg->Ident) {
    case GM_GATE_CLIENTMSG:
      HandleClientMessage(Session, *Msg);
      return;
    case GM_GATE_SOFTCLOSE:
      SoftCloseSession(*Session);
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
  const TLogicRead<TLogicPacket> packet =
      ReadLogicPacket(std::span<const uint8_t>(Msg->Data(), Msg->DataLen()));
  if (!packet) {
    if (FTraffic) FTraffic->Count(TLimitBreach::lbLogicPacketTooShort);
    LimitedLine("逻辑服务器数据包长度不足 , Ident:" + std::to_string(Msg->Ident) +
                " , Len:" + std::to_string(Msg->DataLen()));
    return;
  }
  const std::span<const uint8_t> payload = packet->Payload;
  switch (Msg->Ident) {
    case GM_LOGIC_GATE_DATA:
      ForwardToClient(Session, std::move(Msg));
      return;
    case GM_LOGIC_GATE_USERINDEX:
      Session->SetLogicUserIndex(packet->Header.nUserListIndex);
      return;
    case GM_LOGIC_GATE_SPEEDTIME: {
      // The intervals come as a default message; a shorter payload cannot hold one.
      const TLogicRead<TDefaultMessage> times = ReadSpeedTime(payload);
      if (!times) {
        if (FTraffic) FTraffic->Count(TLimitBreach::lbLogicPacketTooShort);
        LimitedLine("GM_LOGIC_GATE_SPEEDTIME 数据长度不一致");
        return;
      }
      Session->SetSessionTime(*times);
      MarkReady(Session);
      return;
    }
    case GM_LOGIC_GATE_KICK:
      KickSession(*Session, payload.data(), static_cast<uint32_t>(payload.size()));
      return;
    case GM_LOGIC_GATE_SYNCDATA:
      SyncSessionData(*Session, payload.data(), static_cast<uint32_t>(payload.size()));
      return;
    default:
      return;
  }
}

void TGateWayWorker::ForwardToClient(const PUserSession& Session, TSessionMessagePtr Msg) {
  const TLogicRead<TLogicPacket> packet =
      ReadLogicPacket(std::span<const uint8_t>(Msg->Data(), Msg->DataLen()));
  if (!packet) return;  // HandleMessage read it already: cannot happen
  const TLogicClientData data = ReadLogicClientData(*packet);
  // The client message is the header's type byte followed by the payload, which
  // already sit side by side: the header's other fields are consumed instead of copying.
  Msg->Consume(kLogicMsgTypeOffset);
  uint8_t* const payload = Msg->MutableData() + 1;
  if (data.Crc) {
    const uint32_t crc = *data.Crc;
    std::memcpy(payload + offsetof(TDefaultMessage, dwCRC), &crc, sizeof(crc));
  } else if (data.Stamp) {
    uint64_t counter = QueryPerformanceCounter64();
    std::memcpy(payload + kStampCounterOffset, &counter, sizeof(counter));
  }
  Session->AddMessage(std::move(Msg));
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
  const uint32_t newHandle = RegenSessionHandleLocked(oldHandle);
  if (FLogicServerClient != nullptr) {
    FLogicServerClient->RegisterSession(newHandle, Session.IP());
    FLogicServerClient->SendCloseSession(oldHandle);
  }
}

void TGateWayWorker::KickSession(TUserSession& Session, const uint8_t* Payload,
                                 uint32_t PayloadLen) {
  if (const std::optional<TLogicShortText> reason =
          ReadKickReason(std::span<const uint8_t>(Payload, PayloadLen))) {
    Log("Qel 要求 T出 客户端连接:" + Session.IP() +
            " , 原因: Qel踢出:" + LogText(FieldText(*reason, FTraffic)),
        llWarning);
  }
  CloseConnectionOf(Session);
}

void TGateWayWorker::CloseConnectionOf(TUserSession& Session, uint16_t Code) {
  GW_ASSERT_AFFINITY(FWorkerThread, "the worker's closes");
  if (!Session.BeginClose()) return;
  // From now on the worker looks past the session. Its connection is closed at the end of
  // the turn; the close event then takes the session out of the table and frees it.
  if (const PWebSocketConnection& connection = Session.Connection()) {
    FPendingCloses.emplace_back(connection, Code);
  }
}

void TGateWayWorker::FinishCloses() {
  // A close event run inside a close may take the table lock: none is held here.
  std::vector<std::pair<PWebSocketConnection, uint16_t>> closes;
  closes.swap(FPendingCloses);
  for (const auto& [connection, code] : closes) connection->CloseWithStatus(code);
}

void TGateWayWorker::SyncSessionData(TUserSession& Session, const uint8_t* Payload,
                                     uint32_t PayloadLen) {
  const TLogicRead<TLogicSyncData> sync =
      ReadSyncData(std::span<const uint8_t>(Payload, PayloadLen));
  if (!sync) {
    if (FTraffic) FTraffic->Count(TLimitBreach::lbLogicPacketTooShort);
    LimitedLine("GM_LOGIC_GATE_SYNCDATA 数据长度不一致");
    return;
  }
  Session.SetInfo(FieldText(sync->Account, FTraffic), FieldText(sync->PlayerName, FTraffic));
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
  FGuard->MalformedMessage(*connection, Session.MalformedMessages(), static_cast<TClientLine>(Kind),
                           Line);
}

void TGateWayWorker::HandleClientMessage(const PUserSession& Owned, const TSessionMessage& Msg) {
  TUserSession& Session = *Owned;
  const std::span<const uint8_t> bytes(Msg.Data(), Msg.DataLen());
  const TClientRead<TGameMessage> read = ReadGameMessage(bytes);
  if (!read) {
    switch (read.Reason()) {
      case TClientReason::crMoveSize:
        MalformedMessage(Session, static_cast<int>(TClientLine::clWrongSize),
                         MessageSizeWarning("MoveMsg", bytes));
        return;
      case TClientReason::crAttackSize:
        MalformedMessage(Session, static_cast<int>(TClientLine::clWrongSize),
                         MessageSizeWarning("AttackMsg", bytes));
        return;
      case TClientReason::crUnknownType:
        // Not a type the logic server takes: dropped. Not counted against the client (a
        // client version may send types this gateway does not relay), but not dropped unseen.
        if (FGuard != nullptr) {
          FGuard->ClientLine(TClientLine::clUnknownType,
                             "Dropped a game message of type " + std::to_string(bytes[0]) +
                                 " from " + Session.IP(),
                             llDebug);
        }
        return;
      default:
        return;  // empty, or a configuration query without its version text: nothing to do
    }
  }
  switch (read->Kind) {
    case TGameMessageKind::gmSoftClose:
      SoftCloseSession(Session);
      return;
    case TGameMessageKind::gmQueryDBConfig:
      AnswerDBConfig(Owned, read->Asks);
      return;
    case TGameMessageKind::gmRelay:
      break;
  }
  if (FLogicServerClient == nullptr) return;
  int32_t userIndex = Session.LogicUserIndex();
  FLogicServerClient->AppendServerMessage(
      GM_LOGIC_GATE_DATA, static_cast<uint16_t>(userIndex), static_cast<int32_t>(Session.Handle()),
      userIndex, static_cast<int32_t>(read->Body.size()), read->Body.data(), read->Type);
}

void TGateWayWorker::AnswerDBConfig(const PUserSession& Session,
                                    const std::vector<TDBConfigAsk>& Asks) {
  if (FLogicServerClient == nullptr) return;
  for (const auto& entry : FLogicServerClient->DBConfigAnswers(Asks)) {
    Session->AddMessage(MakeSessionMessageCopy(Session->Handle(), 0, 0, entry->Data.data(),
                                               static_cast<uint32_t>(entry->Data.size())));
    MarkReady(Session);
  }
}

void TGateWayWorker::SendToClients() {
  GW_ASSERT_AFFINITY(FWorkerThread, "the worker's send pass");
  // No lock: the ready list, the queues and the sends are the worker's own, and a close
  // event that comes meanwhile only marks its session Closing.
  // Sessions that become ready during the pass (output left behind a send) go on the
  // fresh list, for the next pass.
  FSendingSessions.swap(FReadySessions);
  for (const PUserSession& session : FSendingSessions) {
    session->ClearSendReady();
    if (session->Closing()) continue;
    try {
      DoSendToClient(session);
      KeepPendingOutput(session);
    } catch (...) {
      // The session cannot be served any more: its connection is closed, and the
      // close event takes it out of the table and tells the upstream server.
      CloseConnectionOf(*session, wccServerError);
    }
  }
  FSendingSessions.clear();
}

void TGateWayWorker::KeepPendingOutput(const PUserSession& Session) {
  // A session whose close event ran inside the send is done.
  if (Session->Closing() || Session->QueuedMessages() == 0) return;
  if (!Session->SendInFlight()) {
    MarkReady(Session);  // more than one batch holds: the rest goes next pass
    return;
  }
  // Waits for the send in flight, whose completion hands the session back, unless it has
  // finished meanwhile.
  if (Session->ParkBehindSend()) MarkReady(Session);
}

void TGateWayWorker::DoSendToClient(const PUserSession& Session) {
  GW_ASSERT_AFFINITY(FWorkerThread, "a session's send");
  if (CheckQueueLimit(*Session)) return;
  if (Session->QueuedMessages() == 0) return;
  if (Session->SendInFlight()) return;  // at most one send per session in flight
  PWebSocketConnection connection = Session->Connection();
  if (!connection) return;
  // The completion callback holds the session, so a close that overtakes the send
  // cannot free what the send still uses (the in-flight mark), and the bytes it sends.
  TGateWayTraffic* traffic = FTraffic;
  const bool batch =
      Session->QueuedMessages() > 1 &&
      BatchBytesNeeded(0, Session->PeekMessage()->DataLen()) <= TUserSession::MergeClientBufferSize;
  if (batch) {
    // The batch's buffer belongs to its send: idle sessions hold none.
    std::shared_ptr<uint8_t[]> buffer(new uint8_t[TUserSession::MergeClientBufferSize]);
    const uint32_t batchLen = MergeMessages(*Session, buffer.get());
    Session->BeginSend();
    connection->WsSend(buffer.get(), batchLen,
                       [keep = Session, buffer, traffic, batchLen, wake = FWakeUp](
                           const PWebSocketConnection&, bool ok) {
                         if (ok) keep->CountSent(batchLen);
                         if (ok && traffic) {
                           TGateWayTraffic::Add(traffic->ClientBytesOut, batchLen);
                           TGateWayTraffic::Add(traffic->ClientMessagesOut, 1);
                         }
                         SendFinished(keep, *wake);
                       });
    return;  // a failed post closes the connection: its close event may have run
  }
  // A message alone (the only one, or one too large for a batch): the send owns it until
  // its completion callback has run.
  std::shared_ptr<TSessionMessage> msg = Session->TakeMessage();
  Session->BeginSend();
  connection->WsSend(
      msg->Data(), msg->DataLen(),
      [keep = Session, msg, traffic, wake = FWakeUp](const PWebSocketConnection&, bool ok) {
        if (ok) keep->CountSent(msg->DataLen());
        if (ok && traffic) {
          TGateWayTraffic::Add(traffic->ClientBytesOut, msg->DataLen());
          TGateWayTraffic::Add(traffic->ClientMessagesOut, 1);
        }
        SendFinished(keep, *wake);
      });
}

void TGateWayWorker::SendFinished(const PUserSession& Session, TWakeUp& Wake) {
  if (!Session->FinishSend()) return;
  // Output waited behind this send: the worker takes the session up again.
  {
    TMutexLock guard(Wake.Lock);
    Wake.FinishedSends.push_back(Session);
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

uint32_t TGateWayWorker::MergeMessages(TUserSession& Session, uint8_t* Buffer) {
  GW_ASSERT_AFFINITY(FWorkerThread, "a session's batch");
  uint32_t written = 0;
  size_t count = Session.QueuedMessages();
  for (size_t i = 0; i < count; ++i) {
    const TSessionMessage* msg = Session.PeekMessage();
    if (!AppendBatchEntry(Buffer, TUserSession::MergeClientBufferSize, written, msg->Data(),
                          msg->DataLen())) {
      break;  // stays queued for the next pass
    }
    Session.TakeMessage();  // packed: freed here
  }
  return written;
}

void TGateWayWorker::DoCloseAll() {
  GW_ASSERT_AFFINITY(FWorkerThread, "close-all");
  {
    TMutexLock guard(FLock);
    for (size_t i = 0; i < FUserSesions.size(); ++i) {
      if (LiveSessionAt(i) == nullptr) continue;
      // The close event takes the session out of the table, tells the upstream server
      // and frees it.
      TUserSession& session = *FUserSesions[i];
      if (session.Connection()) {
        CloseConnectionOf(session);
      } else {
        EmptySlot(i);  // no connection, no close event to wait for
      }
    }
  }
  FinishCloses();
  TMutexLock guard(FLock);
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
