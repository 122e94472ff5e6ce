#include "links/ProxySocketClient.h"

#include <cstring>
#include <exception>
#include <new>

#include "common/AnsiCodePage.h"
#include "common/Platform.h"

namespace gw {

TProxySocketClient::TProxySocketClient(std::string Name, std::string Host, int32_t Port,
                                       TGateWaySocketServerInterface* GateWayServer)
    : FGateWayServer(GateWayServer),
      FName(std::move(Name)),
      FHost(std::move(Host)),
      FPort(Port),
      FTickSource(GetTickCount32) {
  SetAbortCheck([this] { return FRunThread.Terminated(); });
}

TProxySocketClient::~TProxySocketClient() { Stop(); }

void TProxySocketClient::Start() {
  FRunThread.Start([this](TAnonymousThreadEx& Thread) { RunLoop(Thread); });
}

void TProxySocketClient::Stop() {
  if (!FRunThread.Running()) return;
  FRunThread.Stop();
  // Closing the clients just before (the listener stops first) appended their "%C"
  // frames; the login server must still get them. The socket stays open.
  std::lock_guard<std::recursive_mutex> guard(FSendLock);
  if (!IsConnected()) return;
  const int64_t pending = SendStream().Size();
  if (!FlushSendStream(StopFlushTimeLimit())) {
    Log(FName + " stopped with " + std::to_string(SendStream().Size()) + " of " +
            std::to_string(pending) + " bytes unsent",
        llWarning);
  }
}

bool TProxySocketClient::Connect(const std::string& Host, int32_t Port) {
  std::string error;
  if (TSocketClient::Connect(Host, Port, error)) return true;
  Log("[ERROR]:Socket 连接失败 " + FName + ", " + Host + ":" + std::to_string(Port), llError);
  FRunThread.Sleep(kReconnectPause);
  return false;
}

void TProxySocketClient::AppendFrame(const std::string& Frame) {
  std::lock_guard<std::recursive_mutex> guard(FSendLock);
  if (!IsConnected()) return;
  SendStream().CheckCompactionMemory();
  try {
    SendStream().WriteBuf(Frame.data(), static_cast<int64_t>(Frame.size()));
  } catch (const std::bad_alloc&) {
    // Callers are I/O threads: the frame is dropped, nothing is raised.
    Log(FName + " send buffer cannot grow, frame dropped", llError);
  }
}

void TProxySocketClient::RegisterSession(uint32_t SessionHandle, const std::string& RemoteAddress) {
  std::lock_guard<std::recursive_mutex> guard(FSendLock);
  // Under the lock the socket cannot be closed while its local address is read.
  AppendFrame("%N" + std::to_string(SessionHandle) + "/" + Utf8ToAnsi(RemoteAddress) + "/" +
              GetLocalAddress() + "$");
}

bool TProxySocketClient::ForwardTo(uint32_t SessionHandle, const void* Data, uint32_t Len) {
  const char* bytes = static_cast<const char*>(Data);
  if (Len > 0 && (bytes == nullptr || std::memchr(bytes, '$', Len) != nullptr)) {
    Log(FName + " refused a client message holding \"$\" , SessionHandle : " +
            std::to_string(SessionHandle),
        llWarning);
    if (FGateWayServer != nullptr) {
      FGateWayServer->CloseSession(SessionHandle, "", "Client Message Holds $");
    }
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

void TProxySocketClient::CheckKeepAlive() {
  uint32_t now = Now();
  if (TicksSince(now, FSendKeepAliveTick) > kKeepAliveInterval) {
    FSendKeepAliveTick = now;
    AppendFrame("%--$");
  }
  if (TicksSince(now, FKeepAliveTick) > kKeepAliveTimeOut) Disconnect(0, "KeepAlive TimeOut");
}

void TProxySocketClient::ProcessPackets() {
  TBufferMemoryStream& recv = RecvStream();
  const int64_t size = recv.Size();
  if (size == 0) return;
  // Copy the live bytes' address once: the handler never touches the receive buffer.
  const char* bytes = reinterpret_cast<const char*>(recv.Memory());
  int64_t frameStart = 0;
  while (frameStart < size) {
    const void* end = std::memchr(bytes + frameStart, '$', static_cast<size_t>(size - frameStart));
    if (end == nullptr) break;
    int64_t frameEnd = static_cast<const char*>(end) - bytes + 1;
    std::string frame(bytes + frameStart, static_cast<size_t>(frameEnd - frameStart));
    frameStart = frameEnd;
    try {
      DoPacket(frame);
    } catch (...) {
      // A frame the handler cannot take is dropped; cutting goes on.
    }
  }
  if (frameStart == size) {
    recv.Trunc();
    return;
  }
  recv.ForwardHeadCursor(frameStart);
  if (recv.Size() > kMaxFrameSize) {
    CountLimitBreach(TLimitBreach::lbLoginFrameSize);
    Log(FName + " frame longer than " + std::to_string(kMaxFrameSize) + " bytes without \"$\"",
        llError);
    Disconnect(0, "Frame Too Long");
  }
}

void TProxySocketClient::RunTurn() {
  if (IsConnected()) {
    CheckKeepAlive();
    {
      std::lock_guard<std::recursive_mutex> guard(FSendLock);
      ProcessSocketLogic();
    }
    // Compared with the size left after the last cut, so bytes that complete a
    // waiting frame are always looked at, whatever the sizes happen to be.
    if (RecvStream().Size() != FLastRecvSize) {
      ProcessPackets();
      RecvStream().CheckCompactionMemory();
      FLastRecvSize = RecvStream().Size();
    }
  } else {
    // Both buffers start empty on every connection. They are emptied before the
    // connection is made, not after: once it is up, I/O threads append frames for it
    // (AppendFrame refuses while unconnected), and those must not be thrown away.
    {
      std::lock_guard<std::recursive_mutex> guard(FSendLock);
      SendStream().Clear();
      RecvStream().Clear();
    }
    FLastRecvSize = 0;
    if (!Connect(FHost, FPort)) return;
    Log(" " + FName + " 连接成功 " + FHost + ":" + std::to_string(FPort), llMessage);
    FSendKeepAliveTick = Now();
    FKeepAliveTick = FSendKeepAliveTick;
  }
}

void TProxySocketClient::RunLoop(TAnonymousThreadEx& Thread) {
  while (!Thread.Terminated()) {
    try {
      RunTurn();
    } catch (const std::exception& e) {
      Log(FName + " Run Error : " + e.what(), llError);
    } catch (...) {
      Log(FName + " Run Error : unknown error", llError);
    }
    SleepMs(1);
  }
}

void TProxySocketClient::Disconnect(int32_t ErrorCode, const std::string& Desc) {
  {
    std::lock_guard<std::recursive_mutex> guard(FSendLock);
    TSocketClient::Disconnect(ErrorCode, Desc);
  }
  FLastRecvSize = 0;
  Log(FName + "  Closed , Code : " + std::to_string(ErrorCode) + " ,Desc:" + Desc + " ", llMessage);
}

}  // namespace gw
