#include "links/LoginSrvClient.h"

#include <cassert>

#include "codec/EDcode.h"
#include "config/GateShare.h"

namespace gw {

TLoginSrvClient::TLoginSrvClient(std::string Name, std::string Host, int32_t Port,
                                 TGateWaySocketServerInterface* GateWayServer,
                                 TGateIPManager* IPManager)
    : TProxySocketClient(std::move(Name), std::move(Host), Port, GateWayServer),
      FIPManager(IPManager != nullptr ? *IPManager : gw::IPManager()),
      FRecvData(kInitialRecvSize) {}

// The thread calls DoPacket, so it ends before this object's part is gone.
TLoginSrvClient::~TLoginSrvClient() { Stop(); }

void TLoginSrvClient::DoControl(char Command, uint32_t SessionHandle) {
  switch (Command) {
    case '-':
      FGateWayServer->CloseSession(SessionHandle, "", "LoginSrv Close");
      break;
    case 'B':
    case 'T': {
      // The address is read before the close, while the session still holds it.
      std::string addr = FGateWayServer->GetSessionRemoteAddr(SessionHandle);
      FGateWayServer->CloseSession(SessionHandle, addr,
                                   Command == 'B' ? "LoginSrv Close Block" : "LoginSrv Close Kick");
      if (addr.empty()) break;  // no such session: nothing worth blocking
      if (Command == 'B') {
        FIPManager.AddTempBlockIP(addr);
      } else {
        FIPManager.AddBlockIP(addr);
      }
      break;
    }
    default:
      break;
  }
}

void TLoginSrvClient::DoPacket(const std::string& Data) {
  assert(OnLinkThread());
  const TLoginFrame frame = ReadLoginFrame(Data);
  switch (frame.Kind) {
    case TLoginFrameKind::lfTooShort:
      Log("TLoginSrvClient DoPacket To Short" + Data, llMessage);
      return;
    case TLoginFrameKind::lfNotFrame:
      Log("TLoginSrvClient Packet Fail" + Data, llMessage);
      return;
    case TLoginFrameKind::lfEmpty:
      return;
    case TLoginFrameKind::lfControl:
      RefreshKeepAlive();
      if (frame.Command != 0 && FGateWayServer != nullptr) {
        DoControl(frame.Command, frame.SessionHandle);
      }
      return;
    case TLoginFrameKind::lfBadHandle:
      if (FGateWayServer == nullptr) return;
      Log("LoginSrv Proxy DecodeGatePacket SessionHandle  = 0  Error:" + Data, llError);
      return;
    case TLoginFrameKind::lfData:
      break;
  }
  if (FGateWayServer == nullptr) return;
  const std::string_view text = frame.Text;
  if (FRecvData.size() < text.size() + 1) FRecvData.resize(text.size() + 1);
  int32_t n =
      DecodeSixBitTo(text, FRecvData.data() + 1, static_cast<int32_t>(FRecvData.size() - 1));
  FRecvData[0] = mtPass;
  if (n >= 2 && (FRecvData[1] | (FRecvData[2] << 8)) == kLoginHandOverIdent) {
    FGateWayServer->HandOverSession(frame.SessionHandle, FRecvData.data(),
                                    static_cast<uint32_t>(n + 1));
    return;
  }
  FGateWayServer->AddSessionMessageDirect(frame.SessionHandle, FRecvData.data(),
                                          static_cast<uint32_t>(n + 1));
}

}  // namespace gw
