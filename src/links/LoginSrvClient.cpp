#include "links/LoginSrvClient.h"

#include <cassert>
#include <charconv>

#include "codec/EDcode.h"
#include "config/GateShare.h"

namespace gw {

uint32_t ParseLoginSessionHandle(std::string_view Text) {
  if (!Text.empty() && Text.front() == '+') Text.remove_prefix(1);
  int32_t value = 0;
  auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), value);
  if (ec != std::errc() || end != Text.data() + Text.size() || Text.empty()) return 0;
  return static_cast<uint32_t>(value);
}

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
  if (Data.size() < 2) {
    Log("TLoginSrvClient DoPacket To Short" + Data, llMessage);
    return;
  }
  if (Data.front() != '%') {
    Log("TLoginSrvClient Packet Fail" + Data, llMessage);
    return;
  }
  std::string_view body(Data.data() + 1, Data.size() - 2);
  if (body.empty()) return;

  if (body.front() == '+') {
    RefreshKeepAlive();
    if (body.size() >= 2 && FGateWayServer != nullptr)
      DoControl(body[1], ParseLoginSessionHandle(body.substr(2)));
    return;
  }

  if (FGateWayServer == nullptr) return;
  // "<handle>/<message part>", leading "/" skipped.
  size_t handleStart = body.find_first_not_of('/');
  if (handleStart == std::string_view::npos) handleStart = body.size();
  size_t slash = body.find('/', handleStart);
  std::string_view handleText = body.substr(
      handleStart, slash == std::string_view::npos ? std::string_view::npos : slash - handleStart);
  std::string_view part =
      slash == std::string_view::npos ? std::string_view() : body.substr(slash + 1);
  uint32_t handle = ParseLoginSessionHandle(handleText);
  if (handle == 0) {
    Log("LoginSrv Proxy DecodeGatePacket SessionHandle  = 0  Error:" + Data, llError);
    return;
  }
  // The login server puts one character on either side of the six-bit text.
  std::string_view text = part.size() >= 2 ? part.substr(1, part.size() - 2) : std::string_view();
  if (FRecvData.size() < text.size() + 1) FRecvData.resize(text.size() + 1);
  int32_t n =
      DecodeSixBitTo(text, FRecvData.data() + 1, static_cast<int32_t>(FRecvData.size() - 1));
  if (n >= 2 && (FRecvData[1] | (FRecvData[2] << 8)) == kLoginHandOverIdent) {
    FGateWayServer->ChangeSessionStep(handle, ssGame, false);
  }
  FRecvData[0] = mtPass;
  FGateWayServer->AddSessionMessageDirect(handle, FRecvData.data(), static_cast<uint32_t>(n + 1));
}

}  // namespace gw
