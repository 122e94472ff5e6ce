#include "links/LogicSrvClient.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "common/AnsiCodePage.h"
#include "common/Platform.h"

namespace gw {

namespace {

// A table's version is its first bytes.
constexpr size_t kVersionSize = 16;

uint64_t MonotonicMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

std::string HexWord(uint32_t Value) {
  char text[11];
  std::snprintf(text, sizeof(text), "0x%08X", Value);
  return text;
}

}  // namespace

// Packets appended while the link is down wait for the next connection, ahead of newer.
TLogicSrvClient::TLogicSrvClient(std::string Host, int32_t Port,
                                 TGateWaySocketServerInterface* GateWayServer)
    : TServerLinkClient("LogicSrv", std::move(Host), Port, kSendCacheCapacity, kMaxSendBacklog,
                        true),
      FGateWayServer(GateWayServer) {}

// The thread calls this object's hooks, so it ends before this object's part is gone.
TLogicSrvClient::~TLogicSrvClient() { Stop(); }

void TLogicSrvClient::AppendServerMessage(int32_t nIdent, uint16_t wSocketIndex, int32_t nSocket,
                                          int32_t nUserListIndex, int32_t nLen, const void* Data,
                                          int32_t nMsgType) {
  if (nLen < 0) {
    Log("Should Not Send nLen < 0 , IDent :" + std::to_string(nIdent), llWarning);
    return;
  }
  if (nLen > 0 && Data == nullptr) {
    Log("Should Not Send nLen > 0 without data , IDent :" + std::to_string(nIdent), llWarning);
    return;
  }
  TServerMessageHeader h{kServerMessageMagic,           nSocket,        wSocketIndex,
                         static_cast<uint16_t>(nIdent), nUserListIndex, nLen,
                         static_cast<uint8_t>(nMsgType)};
  const TAppendResult r = AppendToSendCache(&h, sizeof(h), Data, nLen);
  if (r.Queued) {
    if (r.DroppedBefore > 0) {
      Log("LogicSrv send backlog accepts packets again, packets dropped : " +
              std::to_string(r.DroppedBefore),
          llWarning);
    }
  } else if (r.NoMemory) {
    // Callers are I/O and worker threads: the packet is dropped, nothing is raised.
    Log("LogicSrv send cache cannot grow, packet dropped , IDent :" + std::to_string(nIdent),
        llError);
  } else if (r.Full) {
    Stats().Count(TLimitBreach::lbLogicSendBacklog);
    if (r.FirstDrop) {
      Log("LogicSrv send backlog over " + std::to_string(SendBacklogLimit()) +
              " bytes, packets dropped , IDent :" + std::to_string(nIdent),
          llError);
    }
  }
}

void TLogicSrvClient::RegisterSession(uint32_t SessionHandle, const std::string& RemoteAddress) {
  std::string addr = Utf8ToAnsi(RemoteAddress);
  AppendServerMessage(GM_GATE_OPENSESSION, 0, static_cast<int32_t>(SessionHandle), 0,
                      static_cast<int32_t>(addr.size()), addr.data(), 0);
}

void TLogicSrvClient::SendCloseSession(uint32_t SessionHandle) {
  AppendServerMessage(GM_GATE_CLOSESESSION, 0, static_cast<int32_t>(SessionHandle), 0, 0, nullptr,
                      0);
}

void TLogicSrvClient::StoreDBConfig(int32_t ConfigType, const uint8_t* Payload, int32_t Len) {
  auto entry = std::make_shared<TDBDataObject>();
  const char* bytes = reinterpret_cast<const char*>(Payload);
  entry->Ver.assign(
      bytes, static_cast<size_t>(Len) < kVersionSize ? static_cast<size_t>(Len) : kVersionSize);
  TDefaultMessage header;
  header.Ident = GM_GATE_DBCONFIG;
  header.Recog = ConfigType;
  header.Param = 1;
  entry->Data.resize(1 + kDefaultMessageSize);
  entry->Data[0] = static_cast<char>(mtDefault);
  WriteDefaultMessage(header, reinterpret_cast<uint8_t*>(&entry->Data[1]));
  entry->Data.append(bytes, static_cast<size_t>(Len));
  std::lock_guard<std::mutex> guard(FDBConfigLock);
  FDBDataConfig[ConfigType] = std::move(entry);
}

std::shared_ptr<const TDBDataObject> TLogicSrvClient::DBConfig(int32_t ConfigType) const {
  std::lock_guard<std::mutex> guard(FDBConfigLock);
  auto it = FDBDataConfig.find(ConfigType);
  return it == FDBDataConfig.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<const TDBDataObject>> TLogicSrvClient::DBConfigAnswers(
    const std::vector<TDBConfigAsk>& Asks) const {
  std::vector<std::shared_ptr<const TDBDataObject>> answers;
  for (const TDBConfigAsk& ask : Asks) {
    std::shared_ptr<const TDBDataObject> entry = DBConfig(ask.ConfigType);
    if (!entry) {
      Log("客户端请求的DB配置类型不存在:" + std::to_string(ask.ConfigType), llWarning);
      continue;
    }
    if (entry->Ver != ask.Version) answers.push_back(std::move(entry));  // else current
  }
  return answers;
}

bool TLogicSrvClient::GetDBConfig(int32_t ConfigType, TDBDataObject& Out) const {
  std::lock_guard<std::mutex> guard(FDBConfigLock);
  auto it = FDBDataConfig.find(ConfigType);
  if (it == FDBDataConfig.end()) return false;
  Out = *it->second;
  return true;
}

void TLogicSrvClient::PacketRefused(TLogicReason Reason, const std::string& Line) {
  uint64_t suppressed = 0;
  if (!FRefusedLines.Allow(static_cast<size_t>(Reason), MonotonicMs(), suppressed)) return;
  Log(suppressed > 0 ? Line + " (" + std::to_string(suppressed) + " similar lines suppressed)"
                     : Line,
      llWarning);
}

void TLogicSrvClient::DoQelPacket(const uint8_t* PData, int32_t Size) {
  assert(OnLinkThread());
  const TLogicRead<TLogicPacket> packet = ReadLogicPacket(std::span<const uint8_t>(
      PData, PData == nullptr ? 0 : static_cast<size_t>(std::max(0, Size))));
  if (!packet) {
    const TLogicReason reason = packet.Reason();
    if (reason == TLogicReason::lrBadSignature) {
      Stats().Count(TLimitBreach::lbLogicPacketSignature);
      // The length still cut the stream in step; only this packet is lost.
      TServerMessageHeader h;
      std::memcpy(&h, PData, sizeof(h));
      PacketRefused(reason, "LogicSrv packet with a bad signature dropped , Magic : " +
                                HexWord(h.dwMagic) + " , IDent : " + std::to_string(h.nIdent));
    } else {
      PacketRefused(reason, "LogicSrv packet dropped : " + std::string(LogicReasonName(reason)) +
                                " , Size : " + std::to_string(Size));
    }
    return;
  }
  const TServerMessageHeader& h = packet->Header;
  const TLogicRead<TLogicRoute> route = LogicPacketRoute(h.nIdent);
  if (!route) {
    Stats().Count(TLimitBreach::lbLogicUnknownIdent);
    PacketRefused(route.Reason(),
                  "undefine qel message header ident : " + std::to_string(h.nIdent));
    return;
  }
  switch (*route) {
    case TLogicRoute::lrtCheckServer:
      FCheckServerTick.store(Now(), std::memory_order_relaxed);
      break;
    case TLogicRoute::lrtToSession:
      if (FGateWayServer != nullptr) {
        FGateWayServer->AddSessionMessage(static_cast<uint32_t>(h.nSocket), h.nIdent, 0, PData,
                                          static_cast<uint32_t>(kServerMessageHeaderSize + h.nLen));
      }
      break;
    case TLogicRoute::lrtEcho:
      AppendServerMessage(GM_GATE_ECHO, 0, 0, 0, 0, nullptr, 0);
      break;
    case TLogicRoute::lrtDBConfig:
      StoreDBConfig(h.nSocket, packet->Payload.data(), h.nLen);
      break;
    case TLogicRoute::lrtIgnored:
      break;
  }
}

void TLogicSrvClient::ProcessPackets() {
  assert(OnLinkThread());
  TBufferMemoryStream& recv = RecvStream();
  for (;;) {
    const TLogicPacketCut cut = CutLogicPacket(recv.Memory(), recv.Size());
    if (cut.Status == TLogicCut::lcNeedMore) return;  // wait for the rest
    if (cut.Status == TLogicCut::lcBadLength) {
      Stats().Count(TLimitBreach::lbLogicPacketLength);
      Log("LogicSrv packet length out of range : " + std::to_string(cut.Header.nLen) +
              " , IDent : " + std::to_string(cut.Header.nIdent),
          llError);
      Disconnect(0, "Invalid Packet Length");
      return;
    }
    // The bytes stay where they are until the next receive: dispatch in place.
    const uint8_t* packet = recv.Memory();
    recv.ForwardHeadCursor(cut.Size);
    try {
      DoQelPacket(packet, cut.Size);
    } catch (const std::exception& e) {
      Log(std::string("DoQelPacket Exception : ") + e.what(), llWarning);
    }
  }
}

uint32_t TLogicSrvClient::OnTimer(uint32_t Now) {
  // Bad packets held back since their last line are reported once the server goes quiet.
  for (const auto& [reason, count] : FRefusedLines.TakeSuppressed(MonotonicMs())) {
    Log(std::to_string(count) + " similar lines suppressed: LogicSrv packet dropped : " +
            std::string(LogicReasonName(static_cast<TLogicReason>(reason))),
        llWarning);
  }
  if (TicksSince(Now, FKeepAliveTick) > kKeepAliveInterval) {
    FKeepAliveTick = Now;
    AppendServerMessage(GM_GATE_KEEPALIVE, 0, 0, 0, 0, nullptr, 0);
  }
  uint32_t next = kKeepAliveInterval + 1 - TicksSince(Now, FKeepAliveTick);
  const uint32_t timeOut = ServerTimeOut();
  if (timeOut == 0) return next;
  // A server that sends nothing, or takes nothing of what waits for it, is as good as gone:
  // without this the link would count as connected while every client's traffic is lost.
  const uint32_t silent = TicksSince(Now, LastRecvTick());
  const bool waiting = SendStream().Size() > 0;
  const uint32_t stalled = waiting ? TicksSince(Now, LastSendProgressTick()) : 0;
  if (silent > timeOut || stalled > timeOut) {
    Stats().Count(TLimitBreach::lbServerTimeOut);
    Disconnect(0, silent > timeOut ? "CheckServer TimeOut" : "SendData TimeOut");
    return 0;
  }
  next = std::min(next, timeOut + 1 - silent);
  if (waiting) next = std::min(next, timeOut + 1 - stalled);
  return next;
}

void TLogicSrvClient::OnConnected() {
  if (FEverConnected) TGateWayStats::Add(Stats().LogicLinkReconnects);
  FEverConnected = true;
  FSendKeepAliveTick = Now();
  FKeepAliveTick = FSendKeepAliveTick;
  Log("LogicSrv 连接成功 " + Host() + ":" + std::to_string(Port()) + " ", llWarning);
}

// A failed turn pauses before its error line, so an unreachable server costs one
// attempt and one line about every five seconds.
void TLogicSrvClient::OnConnectFailed(const std::string& Error) { OnTurnError(Error); }

void TLogicSrvClient::OnTurnError(const std::string& What) {
  FTurnError = What;
  PauseTurns(kReconnectPause);
}

void TLogicSrvClient::OnPauseEnded() {
  Log("LogicServerClient Run Error : " + FTurnError, llError);
}

void TLogicSrvClient::Disconnect(int32_t ErrorCode, const std::string& Desc) {
  TServerLinkClient::Disconnect(ErrorCode, Desc);
  Log("LogicSrv Closed , Code : " + std::to_string(ErrorCode) + " ,Desc:" + Desc + " ", llWarning);
  if (FGateWayServer != nullptr) FGateWayServer->CloseAllSession("Logic Server Disconnect");
}

}  // namespace gw
