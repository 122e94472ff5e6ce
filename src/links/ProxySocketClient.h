// TProxySocketClient: the login server link's transport. Builds the text frames the
// gateway sends ("%N", "%D", "%C" and the "%--$" keep-alive) into the link's bounded
// send cache, and on the link's thread (TServerLinkClient: connect with a 5 s retry
// pause, keep-alive every 2 s, a 10 s time-out without a control frame) cuts the
// received bytes into frames at every "$", handing each to the virtual DoPacket (which
// does nothing at this level).
//
// Thread safety: RegisterSession, ForwardTo, SendCloseSession, BeginStop and IsConnected
// are safe from any thread and never wait for the login server. Start, Stop, SetLogger
// and SetTickSource belong to the owner (the setters before Start). Everything else runs
// on the link's thread.
// Lock: only the send cache's (TServerLinkClient), held for one copy; no lock of the
// link is held while the handler calls the gateway server.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "common/PeerLimits.h"
#include "gate/GateWaySocketServerInterface.h"
#include "links/ServerLinkClient.h"
#include "protocol/LoginFrameCutter.h"

namespace gw {

class TProxySocketClient : public TServerLinkClient {
 public:
  static constexpr uint32_t kKeepAliveTimeOut = 10000;
  static constexpr int64_t kMaxFrameSize = kMaxLoginFrameSize;
  static constexpr int64_t kMaxSendBacklog = limits::kMaxLoginSendBacklog;

  TProxySocketClient(std::string Name, std::string Host, int32_t Port,
                     TGateWaySocketServerInterface* GateWayServer);
  ~TProxySocketClient() override;

  // Start, BeginStop and Stop: see TServerLinkClient. Stop delivers the frames still
  // waiting, for at most StopFlushTimeLimit; the socket stays open until destruction.

  // "%N<handle>/<remote address>/<local address>$": a client passed the token check.
  void RegisterSession(uint32_t SessionHandle, const std::string& RemoteAddress);
  // "%D<handle>/<message bytes>$": one client message, as the client sent it. The caller
  // has read it (ReadLoginMessage refuses a "$", which would end the frame early and let a
  // client forge frames); bytes holding one are never framed: logged, false returned.
  bool ForwardTo(uint32_t SessionHandle, const void* Data, uint32_t Len);
  // "%C<handle>$": the client of the session disconnected.
  void SendCloseSession(uint32_t SessionHandle);

  // Closes the socket, empties the buffers and logs. Link thread.
  void Disconnect(int32_t ErrorCode, const std::string& Desc) override;

  // Connections made after the first one (the link came back after a loss). Any thread.
  uint64_t Reconnects() const { return TGateWayStats::Value(Stats().LoginLinkReconnects); }

 protected:
  // One whole frame, "%" to "$" when well formed. Link thread.
  virtual void DoPacket(const std::string& Data);
  // Cuts every whole frame off the receive buffer and hands it to DoPacket.
  void ProcessPackets() override;
  // A control frame arrived: the keep-alive time-out starts again.
  void RefreshKeepAlive() { FKeepAliveTick = Now(); }

  void OnConnected() override;
  void OnConnectFailed(const std::string& Error) override;
  void OnTurnError(const std::string& What) override;
  uint32_t OnTimer(uint32_t Now) override;

  TGateWaySocketServerInterface* FGateWayServer;  // not owned

 private:
  // Appends a frame to the send cache; dropped while unconnected, so nothing meant for a
  // lost connection goes out on the next one, and past the backlog bound.
  void AppendFrame(const std::string& Frame);

  int64_t FLastRecvSize = 0;        // link thread
  uint32_t FSendKeepAliveTick = 0;  // link thread
  uint32_t FKeepAliveTick = 0;      // link thread
  bool FEverConnected = false;      // link thread
};

}  // namespace gw
