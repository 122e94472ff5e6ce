// TLoginSrvClient: the login server link's frame handler. Control frames ("%+<cmd>
// <handle>$") refresh the keep-alive and close, or close and block, a session; data
// frames ("%<handle>/<c><six-bit text><c>$") carry a message for a session's client,
// which is decoded and queued for it with type byte 5. A message starting with 530
// hands the session over to the logic server first.
//
// Thread safety: as TProxySocketClient; the handler runs on the link's thread and
// calls the gateway server and the IP manager without any lock of the link held.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/GateIPManager.h"
#include "links/ProxySocketClient.h"
#include "protocol/LoginFrameCutter.h"

namespace gw {

// The login server message that hands a session over to the logic server.
inline constexpr uint16_t kLoginHandOverIdent = 530;

class TLoginSrvClient : public TProxySocketClient {
 public:
  static constexpr int32_t kInitialRecvSize = 1024;

  // IPManager: where "B" and "T" put addresses; null means the process-wide one.
  TLoginSrvClient(std::string Name, std::string Host, int32_t Port,
                  TGateWaySocketServerInterface* GateWayServer,
                  TGateIPManager* IPManager = nullptr);
  ~TLoginSrvClient() override;

  // The handler; public so frames can be handed to it directly. Link thread.
  void DoPacket(const std::string& Data) override;

  // Size of the reusable decode buffer (grows, never shrinks).
  int32_t RecvDataSize() const { return static_cast<int32_t>(FRecvData.size()); }

 private:
  void DoControl(char Command, uint32_t SessionHandle);

  TGateIPManager& FIPManager;
  // Byte 0 the client message type, the decoded message behind it. Link thread.
  std::vector<uint8_t> FRecvData;
};

}  // namespace gw
