#include "links/LogicSrvClient.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstring>
#include <exception>
#include <new>

#include "codec/EDcode.h"
#include "common/AnsiCodePage.h"
#include "common/Platform.h"
#include "links/LogicPacketFramer.h"

namespace gw {

namespace {

// Configuration types answered for a list query, and the list item holding the
// version the client has of each (types 1 and 2 share item 0, 7 and 8 item 5).
struct TListQueryEntry {
  int32_t ConfigType;
  size_t Item;
};
constexpr TListQueryEntry kListQueryTable[] = {{1, 0},  {2, 0},  {3, 2},  {4, 3},  {5, 1},
                                               {6, 4},  {7, 5},  {8, 5},  {10, 6}, {11, 7},
                                               {12, 8}, {13, 9}, {14, 10}};
// A list query must hold more items than this to be answered.
constexpr size_t kListQueryMinItems = 10;
// A client message: its type byte, then (type mtDefault) the default message.
constexpr uint32_t kDefaultMessageOffset = 1;
constexpr uint32_t kClientIdentOffset = kDefaultMessageOffset + offsetof(TDefaultMessage, Ident);
constexpr uint32_t kClientRecogOffset = kDefaultMessageOffset + offsetof(TDefaultMessage, Recog);
// The client's version text follows the type byte and the default message.
constexpr uint32_t kQueryTextOffset = kDefaultMessageOffset + kDefaultMessageSize;
constexpr size_t kVersionSize = 16;

int32_t ReadInt32(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

std::string FinishVersionItem(std::string item) {
  if (item.size() >= 2 && item.front() == '"' && item.back() == '"') {
    item = item.substr(1, item.size() - 2);
  }
  std::string out;
  out.reserve(item.size());
  for (size_t i = 0; i < item.size(); ++i) {
    out.push_back(item[i]);
    if (item[i] == '"' && i + 1 < item.size() && item[i + 1] == '"') ++i;
  }
  return out;
}

}  // namespace

std::vector<std::string> SplitDBConfigVersions(const std::string& Text) {
  std::vector<std::string> items;
  std::string text = Text + "/";
  std::string current;
  size_t quotes = 0;
  for (char c : text) {
    if ((c == '/' || c == ' ') && quotes % 2 == 0) {
      items.push_back(FinishVersionItem(std::move(current)));
      current.clear();
      quotes = 0;
    } else {
      if (c == '"') ++quotes;
      current.push_back(c);
    }
  }
  if (!current.empty()) items.push_back(FinishVersionItem(std::move(current)));  // open quote
  return items;
}

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

void TLogicSrvClient::ForwardTo(uint32_t SessionHandle, const void* Data, uint32_t Len) {
  if (Data == nullptr || Len == 0 || FGateWayServer == nullptr) return;
  const auto* msg = static_cast<const uint8_t*>(Data);
  // Only a default message with at least its ident is looked at here.
  if (msg[0] == mtDefault && Len >= kClientIdentOffset + sizeof(uint16_t)) {
    uint16_t ident =
        static_cast<uint16_t>(msg[kClientIdentOffset] | (msg[kClientIdentOffset + 1] << 8));
    if (ident == GM_CLIENT_SOFTCLOSE) {
      FGateWayServer->ChangeSessionStep(SessionHandle, ssGame, true);
      return;
    }
    if (ident == GM_CLIENT_QUERYDBCONFIG) {
      if (Len <= kQueryTextOffset) return;  // no version text: dropped
      std::string text = DecodeMsgText(std::string_view(
          reinterpret_cast<const char*>(msg + kQueryTextOffset), Len - kQueryTextOffset));
      int32_t configType = ReadInt32(msg + kClientRecogOffset);
      QueryDBConfig(SessionHandle, configType, Utf8ToAnsi(text));
      return;
    }
  }
  FGateWayServer->AddSessionMessage(SessionHandle, GM_GATE_CLIENTMSG, 0, msg, Len);
}

void TLogicSrvClient::QueryDBConfig(uint32_t SessionHandle, int32_t ConfigType,
                                    const std::string& Text) {
  if (ConfigType != 0) {
    SendDBConfig(SessionHandle, Text, ConfigType);
    return;
  }
  std::vector<std::string> items = SplitDBConfigVersions(Text);
  if (items.size() <= kListQueryMinItems) return;
  for (const auto& e : kListQueryTable) SendDBConfig(SessionHandle, items[e.Item], e.ConfigType);
}

void TLogicSrvClient::SendDBConfig(uint32_t SessionHandle, const std::string& Version,
                                   int32_t ConfigType) {
  std::shared_ptr<const TDBDataObject> entry;
  {
    std::lock_guard<std::mutex> guard(FDBConfigLock);
    auto it = FDBDataConfig.find(ConfigType);
    if (it != FDBDataConfig.end()) entry = it->second;
  }
  if (!entry) {
    Log("客户端请求的DB配置类型不存在:" + std::to_string(ConfigType), llWarning);
    return;
  }
  if (entry->Ver == Version) return;  // the client's copy is current
  FGateWayServer->AddSessionMessageDirect(SessionHandle, entry->Data.data(),
                                          static_cast<uint32_t>(entry->Data.size()));
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

bool TLogicSrvClient::GetDBConfig(int32_t ConfigType, TDBDataObject& Out) const {
  std::lock_guard<std::mutex> guard(FDBConfigLock);
  auto it = FDBDataConfig.find(ConfigType);
  if (it == FDBDataConfig.end()) return false;
  Out = *it->second;
  return true;
}

void TLogicSrvClient::DoQelPacket(const uint8_t* PData, int32_t Size) {
  assert(OnLinkThread());
  if (PData == nullptr || Size < kServerMessageHeaderSize) return;
  TServerMessageHeader h;
  std::memcpy(&h, PData, sizeof(h));
  if (h.dwMagic != kServerMessageMagic) {
    Stats().Count(TLimitBreach::lbLogicPacketSignature);
    PacketLine(plBadSignature, "LogicSrv packet with a wrong signature dropped , IDent : " +
                                   std::to_string(h.nIdent));
    return;
  }
  if (h.nLen < 0 || h.nLen > Size - kServerMessageHeaderSize) return;  // not a whole packet
  const int32_t packetSize = kServerMessageHeaderSize + h.nLen;
  switch (h.nIdent) {
    case GM_LOGIC_GATE_CHECKSERVER:
      FCheckServerTick.store(Now(), std::memory_order_relaxed);
      break;
    case GM_LOGIC_GATE_DATA:
    case GM_LOGIC_GATE_USERINDEX:
    case GM_LOGIC_GATE_SPEEDTIME:
    case GM_LOGIC_GATE_KICK:
    case GM_LOGIC_GATE_SYNCDATA:
      if (FGateWayServer != nullptr) {
        FGateWayServer->AddSessionMessage(static_cast<uint32_t>(h.nSocket), h.nIdent, 0, PData,
                                          static_cast<uint32_t>(packetSize));
      }
      break;
    case GM_GATE_ECHO:
      AppendServerMessage(GM_GATE_ECHO, 0, 0, 0, 0, nullptr, 0);
      break;
    case GM_LOGIC_GATE_DBCONFIG:
      StoreDBConfig(h.nSocket, PData + kServerMessageHeaderSize, h.nLen);
      break;
    case GM_LOGIC_GATE_IGNORED_23:
    case GM_LOGIC_GATE_IGNORED_24:
      break;
    default:
      Stats().Count(TLimitBreach::lbLogicUnknownIdent);
      PacketLine(plUnknownIdent, "undefine qel message header ident : " + std::to_string(h.nIdent));
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

namespace {

uint64_t SteadyMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// What the held-back lines of each kind were about.
constexpr const char* kPacketLineTexts[] = {"logic packets with a wrong signature",
                                            "logic packets of an unknown ident"};

}  // namespace

void TLogicSrvClient::PacketLine(TPacketLine Kind, const std::string& Line) {
  uint64_t held = 0;
  if (!FPacketLines.Allow(Kind, SteadyMs(), held)) return;
  Log(held > 0 ? Line + " (" + std::to_string(held) + " similar lines suppressed)" : Line,
      llWarning);
}

uint32_t TLogicSrvClient::OnTimer(uint32_t Now) {
  for (const auto& [kind, count] : FPacketLines.TakeSuppressed(SteadyMs())) {
    Log(std::to_string(count) + " similar lines suppressed: " + kPacketLineTexts[kind], llWarning);
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
