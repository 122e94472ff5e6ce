// TProxySocketClient: the login server link's transport. Builds the text frames the
// gateway sends ("%N", "%D", "%C" and the "%--$" keep-alive), runs the link's thread
// (connect with a 5 s retry pause, keep-alive every 2 s, a 10 s time-out without a
// control frame, 1 ms polling) and cuts the received bytes into frames at every "$",
// handing each to the virtual DoPacket (which does nothing at this level).
//
// Thread safety: RegisterSession, ForwardTo, SendCloseSession and IsConnected are safe
// from any thread. Start, Stop, SetLogger and SetTickSource belong to the owner (the
// setters before Start). Everything else runs on the link's thread.
// Lock: FSendLock guards the socket's send buffer, the socket's polling step and the
// closing of the socket; it is never held while the gateway server interface is called
// from the handler. A worker's lock may be held when taking it, never the reverse.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "gate/GateWaySocketServerInterface.h"
#include "links/LinkThread.h"
#include "links/SocketClient.h"
#include "common/PeerLimits.h"

namespace gw {

class TProxySocketClient : public TSocketClient {
 public:
  static constexpr uint32_t kKeepAliveInterval = 2000;
  static constexpr uint32_t kKeepAliveTimeOut = 10000;
  static constexpr uint32_t kReconnectPause = 5000;
  // Longest frame accepted from the login server; more bytes without a "$" mean the
  // stream is out of step, and the link reconnects instead of buffering without end.
  static constexpr int64_t kMaxFrameSize = limits::kMaxLoginFrameSize;

  TProxySocketClient(std::string Name, std::string Host, int32_t Port,
                     TGateWaySocketServerInterface* GateWayServer);
  ~TProxySocketClient() override;

  // Starts the link's thread; Stop ends it promptly and is idempotent. Before it
  // returns, Stop delivers the frames still waiting, for at most StopFlushTimeLimit;
  // the socket stays open until destruction.
  void Start();
  void Stop();
  void SetTickSource(std::function<uint32_t()> Source) { FTickSource = std::move(Source); }

  // Opens the connection; on failure logs, pauses 5 s (cut short by Stop) and
  // returns false. Link thread.
  bool Connect(const std::string& Host, int32_t Port);

  // "%N<handle>/<remote address>/<local address>$": a client passed the token check.
  void RegisterSession(uint32_t SessionHandle, const std::string& RemoteAddress);
  // "%D<handle>/<message bytes>$": one client message, as the client sent it. A message
  // holding "$" would end the frame early and let the client forge frames, so it is
  // refused: logged, and the client is closed through the gateway server (the close
  // runs inside this call). Returns false then; the caller must not touch the session
  // afterwards.
  bool ForwardTo(uint32_t SessionHandle, const void* Data, uint32_t Len);
  // "%C<handle>$": the client of the session disconnected.
  void SendCloseSession(uint32_t SessionHandle);

  // Closes the socket (under FSendLock), empties both buffers and logs. Link thread.
  void Disconnect(int32_t ErrorCode, const std::string& Desc) override;

  const std::string& Name() const { return FName; }

 protected:
  // One whole frame, "%" to "$" when well formed. Link thread.
  virtual void DoPacket(const std::string& Data);
  // One turn of the link's loop without its 1 ms sleep: connect when unconnected,
  // otherwise keep-alive, one polling step and the cutting of what arrived.
  void RunTurn();
  // Cuts every whole frame off the receive buffer and hands it to DoPacket.
  void ProcessPackets();
  // A control frame arrived: the keep-alive time-out starts again.
  void RefreshKeepAlive() { FKeepAliveTick = Now(); }
  uint32_t Now() const { return FTickSource(); }

  TGateWaySocketServerInterface* FGateWayServer;  // not owned
  const std::string FName;

 private:
  void RunLoop(TAnonymousThreadEx& Thread);
  void CheckKeepAlive();
  // Appends a frame to the send buffer under FSendLock; dropped while unconnected,
  // so nothing meant for a lost connection goes out on the next one.
  void AppendFrame(const std::string& Frame);

  const std::string FHost;
  const int32_t FPort;
  TLinkThread FRunThread;
  int64_t FLastRecvSize = 0;        // link thread
  uint32_t FSendKeepAliveTick = 0;  // link thread
  uint32_t FKeepAliveTick = 0;      // link thread
  std::function<uint32_t()> FTickSource;
  // Guards the socket's send buffer, its polling step and its closing. Recursive:
  // Disconnect takes it and is also reached from inside the polling step.
  std::recursive_mutex FSendLock;
};

}  // namespace gw
