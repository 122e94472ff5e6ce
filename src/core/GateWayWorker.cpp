#include "core/GateWayWorker.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include "common/AnsiCodePage.h"
#include "common/Platform.h"
#include "links/LogicSrvClient.h"

namespace gw {

namespace {

// Every logic packet a worker receives carries the link's 21-byte header.
constexpr uint32_t kLogicHeaderSize = sizeof(TServerMessageHeader);
constexpr uint32_t kLogicMsgTypeOffset = 20;        // nMsgType
constexpr uint32_t kLogicUserListIndexOffset = 12;  // nUserListIndex
// A kick reason: one length byte and up to 128 characters.
constexpr uint32_t kKickReasonPayloadSize = 129;
// Sync data: account (1 + 12 bytes) at 0, player name (1 + 64 bytes) at 13.
constexpr uint32_t kSyncDataPayloadSize = 78;
constexpr uint32_t kSyncPlayerNameOffset = 13;

// A length-prefixed text in the ANSI code page; the length byte is clamped to the
// field so that a wrong length never reads past it.
std::string ReadShortString(const uint8_t* field, uint32_t maxLen) {
  if (field[0] > maxLen) CountLimitBreach(TLimitBreach::lbFieldLengthClamped);
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
}

void TGateWayWorker::Start() {
  if (FThread.joinable()) return;
  FTerminated.store(false);
  FThread = std::thread([this] { Execute(); });
}

void TGateWayWorker::Stop() {
  FTerminated.store(true);
  if (FThread.joinable()) FThread.join();
}

bool TGateWayWorker::AddSession(TUserSession* Session, uint32_t& SessionHandle) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  size_t index;
  if (!FFreeSlots.empty()) {
    index = FFreeSlots.top();
    FFreeSlots.pop();
    FUserSesions[index] = Session;
  } else {
    if (FUserSesions.size() >= kMaxSessionsPerWorker) return false;
    index = FUserSesions.size();
    FUserSesions.push_back(Session);
  }
  SessionHandle =
      MakeSessionHandle(static_cast<uint8_t>(FID), FOrdID, static_cast<uint16_t>(index));
  FOrdID = NextGeneration(FOrdID);
  // Set under the lock, so no message pass ever sees the entered session without its handle.
  Session->SetHandle(SessionHandle);
  FUserCount.fetch_add(1);
  return true;
}

void TGateWayWorker::EmptySlot(size_t Index) {
  FUserSesions[Index] = nullptr;
  FFreeSlots.push(static_cast<uint32_t>(Index));
  FUserCount.fetch_sub(1);
}

bool TGateWayWorker::RemoveSession(uint32_t SessionHandle, const TUserSession* Session) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  size_t index = SessionIndex(SessionHandle);
  if (Session == nullptr || index >= FUserSesions.size() || FUserSesions[index] != Session) {
    return false;
  }
  EmptySlot(index);
  return true;
}

TUserSession* TGateWayWorker::GetSession(uint32_t SessionHandle) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  size_t index = SessionIndex(SessionHandle);
  return index < FUserSesions.size() ? FUserSesions[index] : nullptr;
}

uint32_t TGateWayWorker::RegenSessionHandle(uint32_t SessionHandle) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  TUserSession* session = GetSession(SessionHandle);
  if (session == nullptr) return 0;
  TSessionHandleParts parts = SplitSessionHandle(SessionHandle);
  uint32_t newHandle =
      MakeSessionHandle(parts.WorkerID, NextGeneration(parts.Generation), parts.Slot);
  session->SetLastSessionHandle(session->Handle());
  session->SetHandle(newHandle);
  return newHandle;
}

void TGateWayWorker::AddMessage(uint32_t SessionHandle, int32_t Ident, int32_t Param,
                                const void* Data, uint32_t Size) {
  FMessage.Append(NewSessionMessageCopy(SessionHandle, Ident, Param, Data, Size));
}

void TGateWayWorker::AddSessionMessageDirect(uint32_t SessionHandle, const void* Data,
                                             uint32_t Size) {
  // Every message to a client opens with its type byte: an empty one carries nothing.
  if (Size == 0 || Data == nullptr) return;
  PTSessionMessage msg = NewSessionMessageCopy(SessionHandle, 0, 0, Data, Size);
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    if (TUserSession* session = GetSession(SessionHandle)) {
      session->AddMessage(msg);
      return;
    }
  }
  FreeSessionMessage(msg);
}

void TGateWayWorker::Execute() {
  while (!FTerminated.load(std::memory_order_relaxed)) {
    // A failure of one turn (e.g. memory exhausted) is logged; the loop goes on.
    try {
      ProcessMessages();
      uint32_t now = GetTickCount32();
      if (TicksSince(now, FSendTime) > kSendInterval) {
        FSendTime = now;
        SendToClients();
      }
    } catch (const std::exception& e) {
      Log("GateWayWorker " + std::to_string(FID) + " Run Error : " + e.what(), llError);
    } catch (...) {
      Log("GateWayWorker " + std::to_string(FID) + " Run Error : unknown", llError);
    }
    SleepMs(1);
  }
}

void TGateWayWorker::ProcessMessages() {
  FMessage.Flush();
  while (!FMessage.empty()) {
    PTSessionMessage msg = FMessage.front();
    if (msg->Ident == GM_GATE_CLOSEALL) {
      DoCloseAll();
      return;
    }
    bool handedOn = false;
    {
      std::lock_guard<std::recursive_mutex> guard(FLock);
      size_t index = SessionIndex(msg->SessionHandle);
      TUserSession* session = index < FUserSesions.size() ? FUserSesions[index] : nullptr;
      if (index >= FUserSesions.size()) {
        Log("逻辑错误1", llWarning);
      } else if (session == nullptr || msg->SessionHandle == session->LastSessionHandle()) {
        // An empty slot, or a message meant for the session before its handle was
        // regenerated: dropped quietly.
      } else if (msg->SessionHandle != session->Handle()) {
        Log("逻辑错误2 , Self.FID : " + std::to_string(FID) +
                " , SessionWorkerID:" + std::to_string(SessionWorkerID(msg->SessionHandle)) +
                " , SessionHandle: " + std::to_string(session->Handle()) +
                " , MessageSessionHandle:" + std::to_string(msg->SessionHandle),
            llWarning);
      } else {
        // One bad message must not end the worker's loop: it is logged and skipped.
        try {
          handedOn = HandleMessage(*session, msg);
        } catch (const std::exception& e) {
          Log("HandleMessage Exception : " + std::string(e.what()) +
                  " , Ident:" + std::to_string(msg->Ident) +
                  " , SessionHandle:" + std::to_string(msg->SessionHandle),
              llError);
        } catch (...) {
          Log("HandleMessage Exception : unknown , Ident:" + std::to_string(msg->Ident) +
                  " , SessionHandle:" + std::to_string(msg->SessionHandle),
              llError);
        }
      }
    }
    FMessage.pop();
    if (!handedOn) FreeSessionMessage(msg);
  }
}

bool TGateWayWorker::HandleMessage(TUserSession& Session, PTSessionMessage Msg) {
  if (Msg->Ident == GM_GATE_CLIENTMSG) {
    HandleClientMessage(Session, Msg);
    return false;
  }
  switch (Msg->Ident) {
    case GM_LOGIC_GATE_DATA:
    case GM_LOGIC_GATE_USERINDEX:
    case GM_LOGIC_GATE_SPEEDTIME:
    case GM_LOGIC_GATE_KICK:
    case GM_LOGIC_GATE_SYNCDATA:
      break;
    default:
      return false;
  }
  // The logic server's messages carry the whole packet, header first.
  if (Msg->Data == nullptr || Msg->DataLen < kLogicHeaderSize) {
    CountLimitBreach(TLimitBreach::lbLogicPacketTooShort);
    Log("逻辑服务器数据包长度不足 , Ident:" + std::to_string(Msg->Ident) +
            " , Len:" + std::to_string(Msg->DataLen),
        llWarning);
    return false;
  }
  const uint8_t* payload = Msg->Data + kLogicHeaderSize;
  uint32_t payloadLen = Msg->DataLen - kLogicHeaderSize;
  switch (Msg->Ident) {
    case GM_LOGIC_GATE_DATA:
      return ForwardToClient(Session, Msg);
    case GM_LOGIC_GATE_USERINDEX: {
      int32_t index;
      std::memcpy(&index, Msg->Data + kLogicUserListIndexOffset, sizeof(index));
      Session.SetLogicUserIndex(index);
      return false;
    }
    case GM_LOGIC_GATE_SPEEDTIME:
      // The intervals come as a default message; a shorter payload cannot hold one.
      if (payloadLen < kDefaultMessageSize) {
        CountLimitBreach(TLimitBreach::lbLogicPacketTooShort);
        Log("GM_LOGIC_GATE_SPEEDTIME 数据长度不一致", llWarning);
        return false;
      }
      Session.SetSessionTime(ReadDefaultMessage(payload));
      return false;
    case GM_LOGIC_GATE_KICK:
      KickSession(Session, payload, payloadLen);
      return false;
    case GM_LOGIC_GATE_SYNCDATA:
      SyncSessionData(Session, payload, payloadLen);
      return false;
    default:
      return false;
  }
}

bool TGateWayWorker::ForwardToClient(TUserSession& Session, PTSessionMessage Msg) {
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
  Session.AddMessage(Msg);
  return true;
}

void TGateWayWorker::KickSession(TUserSession& Session, const uint8_t* Payload,
                                 uint32_t PayloadLen) {
  if (PayloadLen == kKickReasonPayloadSize) {
    Log("Qel 要求 T出 客户端连接:" + Session.IP() +
            " , 原因: Qel踢出:" + ReadShortString(Payload, limits::kKickReasonMaxLen),
        llWarning);
  }
  RemoveSession(Session.Handle(), &Session);
  // The close event frees the session, inside Close() or (while a handler of the
  // connection runs on an I/O thread) right after it: nothing touches it afterwards.
  PWebSocketConnection connection = Session.Connection();
  if (connection) connection->Close();
}

void TGateWayWorker::SyncSessionData(TUserSession& Session, const uint8_t* Payload,
                                     uint32_t PayloadLen) {
  if (PayloadLen != kSyncDataPayloadSize) {
    Log("GM_LOGIC_GATE_SYNCDATA 数据长度不一致", llWarning);
    return;
  }
  Session.SetInfo(ReadShortString(Payload, limits::kSyncAccountMaxLen),
                  ReadShortString(Payload + kSyncPlayerNameOffset, limits::kSyncPlayerNameMaxLen));
}

void TGateWayWorker::HandleClientMessage(TUserSession& Session, PTSessionMessage Msg) {
  if (Msg->Data == nullptr || Msg->DataLen == 0) return;
  uint8_t msgType = Msg->Data[0];
  const uint8_t* body = Msg->Data + 1;
  uint32_t bodyLen = Msg->DataLen - 1;
  switch (msgType) {
    case mtDefault:
    case mtPass:
      break;
    case mtMove:
      if (Msg->DataLen != kMoveMessageSize) {
        Log(MessageSizeWarning("MoveMsg", bodyLen, body), llWarning);
        return;
      }
      break;
    case mtAttack:
      if (Msg->DataLen != kAttackMessageSize) {
        Log(MessageSizeWarning("AttackMsg", bodyLen, body), llWarning);
        return;
      }
      break;
    default:
      return;
  }
  if (FLogicServerClient == nullptr) return;
  int32_t userIndex = Session.LogicUserIndex();
  FLogicServerClient->AppendServerMessage(GM_LOGIC_GATE_DATA, static_cast<uint16_t>(userIndex),
                                          static_cast<int32_t>(Session.Handle()), userIndex,
                                          static_cast<int32_t>(bodyLen), body, msgType);
}

void TGateWayWorker::SendToClients() {
  std::unique_lock<std::recursive_mutex> guard(FLock, std::try_to_lock);
  if (!guard.owns_lock()) return;  // busy: the next pass comes after another 10 ms
  // Index-based: a close event run by a failed send may empty slots meanwhile.
  for (size_t i = 0; i < FUserSesions.size(); ++i) {
    TUserSession* session = FUserSesions[i];
    if (session == nullptr) continue;
    try {
      DoSendToClient(*session);
    } catch (...) {
      // The session leaves the table; its close event frees it later.
      if (i < FUserSesions.size() && FUserSesions[i] == session) EmptySlot(i);
    }
  }
}

void TGateWayWorker::DoSendToClient(TUserSession& Session) {
  std::deque<PTSessionMessage>& queue = Session.MessageQueue();
  if (queue.empty()) return;
  if (Session.InSend.load() != 0) {  // at most one send per session in flight
    if (queue.size() > kMaxQueuedMessages) {
      CountLimitBreach(TLimitBreach::lbSessionQueuedMessages);
      CloseStalledSession(Session);
    } else if (queue.size() > kQueueCheckCount) {
      uint64_t queued = 0;
      for (PTSessionMessage msg : queue) {
        queued += msg->DataLen;
        if (queued > kMaxQueuedBytes) {
          CountLimitBreach(TLimitBreach::lbSessionQueuedBytes);
          CloseStalledSession(Session);
          break;
        }
      }
    }
    return;
  }
  PWebSocketConnection connection = Session.Connection();
  if (!connection) return;
  // The completion callback holds the session, so a close that overtakes the send
  // cannot free what the send still uses (the batch buffer, InSend).
  PUserSession keep = Session.KeepAlive();
  uint32_t batchLen = MergeMessages(Session);
  if (batchLen > 0) {
    Session.InSend.store(1);
    TGateWayTraffic* traffic = FTraffic;
    connection->WsSend(Session.MergeClientBuffer.get(), batchLen,
                       [keep, traffic, batchLen](const PWebSocketConnection&, bool ok) {
                         if (ok && traffic) TGateWayTraffic::Add(traffic->ClientBytesOut, batchLen);
                         keep->ReleaseMergeBuffer();
                         keep->InSend.store(0);
                       });
    return;  // the session may be gone already: a failed post closes the connection
  }
  PTSessionMessage msg = queue.front();
  queue.pop_front();
  Session.InSend.store(1);
  TGateWayTraffic* traffic = FTraffic;
  connection->WsSend(msg->Data, msg->DataLen,
                     [keep, msg, traffic](const PWebSocketConnection&, bool ok) {
                       if (ok && traffic)
                         TGateWayTraffic::Add(traffic->ClientBytesOut, msg->DataLen);
                       FreeSessionMessage(msg);
                       keep->InSend.store(0);
                     });
}

void TGateWayWorker::CloseStalledSession(TUserSession& Session) {
  Log("客户端接收缓慢,待发送数据超限,断开连接:" + Session.IP() +
          " , Handle:" + std::to_string(Session.Handle()),
      llWarning);
  RemoveSession(Session.Handle(), &Session);
  // As for a kick: the close event frees the session, nothing touches it afterwards.
  PWebSocketConnection connection = Session.Connection();
  if (connection) connection->Close();
}

uint32_t TGateWayWorker::MergeMessages(TUserSession& Session) {
  std::deque<PTSessionMessage>& queue = Session.MessageQueue();
  if (queue.size() <= 1) return 0;
  // A first message too large for a batch goes out alone; no buffer is taken for it.
  if (BatchBytesNeeded(0, queue.front()->DataLen) > Session.MergeClientBufferSize) return 0;
  uint8_t* buffer = Session.AcquireMergeBuffer();
  uint32_t written = 0;
  size_t count = queue.size();
  for (size_t i = 0; i < count; ++i) {
    PTSessionMessage msg = queue.front();
    if (!AppendBatchEntry(buffer, Session.MergeClientBufferSize, written, msg->Data,
                          msg->DataLen)) {
      break;  // stays queued for the next pass
    }
    queue.pop_front();
    FreeSessionMessage(msg);
  }
  return written;
}

void TGateWayWorker::DoCloseAll() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  for (size_t i = 0; i < FUserSesions.size(); ++i) {
    TUserSession* session = FUserSesions[i];
    if (session == nullptr) continue;
    // The close event removes the session, tells the upstream server and frees it.
    PWebSocketConnection connection = session->Connection();
    if (connection) connection->Close();
  }
  // Sessions whose close event did not remove them are dropped from the table too.
  for (size_t i = 0; i < FUserSesions.size(); ++i) {
    if (FUserSesions[i] != nullptr) EmptySlot(i);
  }
  FUserSesions.clear();
  FFreeSlots = {};
  FreeQueuedMessages();
}

void TGateWayWorker::FreeQueuedMessages() {
  FMessage.Flush();
  while (!FMessage.empty()) {
    FreeSessionMessage(FMessage.front());
    FMessage.pop();
  }
}

}  // namespace gw
