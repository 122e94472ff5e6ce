#include "links/ProxySocketClient.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <exception>

#include "common/AnsiCodePage.h"
#include "common/Platform.h"

namespace gw {

TProxySocketClient::TProxySocketClient(std::string Name, std::string Host, int32_t Port,
                                       TGateWaySocketServerInterface* GateWayServer)
    : TServerLinkClient(std::move(Name), std::move(Host), Port, kStreamCapacity, kMaxSendBacklog,
                        false),
      FGateWayServer(GateWayServer) {}

TProxySocketClient::~TProxySocketClient() { Stop(); }

void TProxySocketClient::AppendFrame(const std::string& Frame) {
  const TAppendResult r =
      AppendToSendCache(Frame.data(), static_cast<int64_t>(Frame.size()), nullptr, 0);
  if (r.Queued) {
    if (r.DroppedBefore > 0) {
      Log(Name() + " send backlog accepts frames again, frames dropped : " +
              std::to_string(r.DroppedBefore),
          llWarning);
    }
  } else if (r.NoMemory) {
    // Callers are I/O threads: the frame is dropped, nothing is raised.
    Log(Name() + " send buffer cannot grow, frame dropped", llError);
  } else if (r.Full) {
    Stats().Count(TLimitBreach::lbLoginSendBacklog);
    if (r.FirstDrop) {
      Log(Name() + " send backlog over " + std::to_string(SendBacklogLimit()) +
              " bytes, frames dropped",
          llError);
    }
  }
}

void TProxySocketClient::RegisterSession(uint32_t SessionHandle, const std::string& RemoteAddress) {
  AppendFrame("%N" + std::to_string(SessionHandle) + "/" + Utf8ToAnsi(RemoteAddress) + "/" +
              LocalAddress() + "$");
}

bool TProxySocketClient::ForwardTo(uint32_t SessionHandle, const void* Data, uint32_t Len) {
  const char* bytes = static_cast<const char*>(Data);
  if (Len > 0 && (bytes == nullptr || std::memchr(bytes, '$', Len) != nullptr)) {
    // The caller reads client messages before they are carried; one holding "$" here
    // would end its frame early, so it is never sent.
    Log(Name() + " cannot frame a message holding \"$\" , dropped , SessionHandle : " +
            std::to_string(SessionHandle),
        llError);
    return false;
  }
  std::string frame = "%D" + std::to_string(SessionHandle) + "/";
  frame.append(bytes, Len);
  frame.push_back('$');
  AppendFrame(frame);
  return true;
}

void TProxySocketClient::SendCloseSession(uint32_t SessionHandle) {
  AppendFrame("%C" + std::to_string(SessionHandle) + "$");
}

void TProxySocketClient::DoPacket(const std::string& /*Data*/) {}

uint32_t TProxySocketClient::OnTimer(uint32_t Now) {
  if (TicksSince(Now, FSendKeepAliveTick) > kKeepAliveInterval) {
    FSendKeepAliveTick = Now;
    AppendFrame("%--$");
  }
  const uint32_t silent = TicksSince(Now, FKeepAliveTick);
  if (silent > kKeepAliveTimeOut) {
    Stats().Count(TLimitBreach::lbLoginKeepAliveTimeOut);
    Disconnect(0, "KeepAlive TimeOut");
    return 0;
  }
  return std::min(kKeepAliveInterval + 1 - TicksSince(Now, FSendKeepAliveTick),
                  kKeepAliveTimeOut + 1 - silent);
}

void TProxySocketClient::ProcessPackets() {
  assert(OnLinkThread());
  TBufferMemoryStream& recv = RecvStream();
  // Compared with the size left after the last cut, so bytes that complete a waiting
  // frame are always looked at, whatever the sizes happen to be.
  if (recv.Size() == FLastRecvSize) return;
  const int64_t size = recv.Size();
  // The handler never touches the receive buffer, so its address holds for the walk.
  const char* bytes = reinterpret_cast<const char*>(recv.Memory());
  int64_t frameStart = 0;
  TLoginFrameCut cut;
  while (frameStart < size) {
    cut = CutLoginFrame(bytes + frameStart, size - frameStart);
    if (cut.Status != TLoginCut::lcFrame) break;
    std::string frame(bytes + frameStart, static_cast<size_t>(cut.Size));
    frameStart += cut.Size;
    try {
      DoPacket(frame);
    } catch (...) {
      // A frame the handler cannot take is dropped; cutting goes on.
    }
  }
  if (frameStart == size) {
    recv.Trunc();
  } else {
    recv.ForwardHeadCursor(frameStart);
    if (cut.Status == TLoginCut::lcTooLong) {
      Stats().Count(TLimitBreach::lbLoginFrameSize);
      Log(Name() + " frame longer than " + std::to_string(kMaxFrameSize) + " bytes without \"$\"",
          llError);
      Disconnect(0, "Frame Too Long");
      return;
    }
  }
  recv.CheckCompactionMemory();
  FLastRecvSize = recv.Size();
}

void TProxySocketClient::OnConnected() {
  if (FEverConnected) TGateWayStats::Add(Stats().LoginLinkReconnects);
  FEverConnected = true;
  FLastRecvSize = 0;
  Log(" " + Name() + " 连接成功 " + Host() + ":" + std::to_string(Port()), llMessage);
  FSendKeepAliveTick = Now();
  FKeepAliveTick = FSendKeepAliveTick;
}

void TProxySocketClient::OnConnectFailed(const std::string& /*Error*/) {
  Log("[ERROR]:Socket 连接失败 " + Name() + ", " + Host() + ":" + std::to_string(Port()), llError);
  PauseTurns(kReconnectPause);
}

void TProxySocketClient::OnTurnError(const std::string& What) {
  Log(Name() + " Run Error : " + What, llError);
  // The loop goes on at once, but a fault that repeats must not spin the thread.
  PauseTurns(1);
}

void TProxySocketClient::Disconnect(int32_t ErrorCode, const std::string& Desc) {
  TServerLinkClient::Disconnect(ErrorCode, Desc);
  FLastRecvSize = 0;
  Log(Name() + "  Closed , Code : " + std::to_string(ErrorCode) + " ,Desc:" + Desc + " ",
      llMessage);
}

}  // namespace gw
