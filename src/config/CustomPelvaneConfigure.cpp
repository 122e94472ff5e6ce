#include "config/CustomPelvaneConfigure.h"

#include <thread>

namespace gw {

int32_t ProcessorCount() {
  const unsigned n = std::thread::hardware_concurrency();  // the processors online; 0: unknown
  return n > 0 ? static_cast<int32_t>(n) : 1;
}

TCustomPelvaneConfigure::TCustomPelvaneConfigure() { LoadDefaults(PublishedProperties()); }

const TSerialPropertyList& TCustomPelvaneConfigure::PublishedProperties() {
  using T = TCustomPelvaneConfigure;
  static const TSerialPropertyList list = {
      Published("Title", &T::Title, "游戏网关"),
      Published("NetPassWord", &T::NetPassWord),
      Published("ServerAddr", &T::ServerAddr, "127.0.0.1"),
      Published("ServerPort", &T::ServerPort, "5000"),
      Published("GateAddr", &T::GateAddr, "127.0.0.1"),
      Published("GatePort", &T::GatePort, "7200"),
      Published("MaxConnOfIPaddr", &T::MaxConnOfIPaddr, 10),
      Published("BlockMethod", &T::BlockMethod, mDisconnect),
      Published("MaxClientPacketSize", &T::MaxClientPacketSize, 7000),
      Published("NomClientPacketSize", &T::NomClientPacketSize, 200),
      Published("MaxClientMsgCount", &T::MaxClientMsgCount, 20),
      Published("KickOverPacketSize", &T::KickOverPacketSize, true),
      Published("CheckServerTimeOutTime", &T::CheckServerTimeOutTime, 180000),
      Published("ClientSendBlockSize", &T::ClientSendBlockSize, 2000),
      Published("ClientTimeOut", &T::ClientTimeOut, 5000),
      Published("SayMsgMaxLen", &T::SayMsgMaxLen, 70),
      Published("SayMsgTime", &T::SayMsgTime, 1000),
      Published("ClearTempList", &T::ClearTempList, true),
      Published("ClearTempBlockListTime", &T::ClearTempBlockListTime, 12000),
      Published("EnableThreads", &T::EnableThreads, false),
      Published("CheckThreads", &T::CheckThreads, [] { return ProcessorCount(); }),
      Published("WorkThreads", &T::WorkThreads, [] { return 2 * ProcessorCount() + 4; }),
      Published("PacketWarningSize", &T::PacketWarningSize, 32767),
      Published("StartWalkCheck", &T::StartWalkCheck, false),
      Published("StartHitCheck", &T::StartHitCheck, false),
      Published("StartRunCheck", &T::StartRunCheck, false),
      Published("StartSpellCheck", &T::StartSpellCheck, false),
      Published("StartWarning", &T::StartWarning, false),
      Published("IncErrorCount", &T::IncErrorCount, 5),
      Published("DecErrorCount", &T::DecErrorCount, 1),
      Published("ErrMsg", &T::ErrMsg, "[提示]: 请爱护游戏环境，关闭加速外挂重新登陆"),
      Published("Minimize", &T::Minimize, true),
      Published("ConnectionATKSec", &T::ConnectionATKSec),
      Published("ConnectionATKCount", &T::ConnectionATKCount),
      Published("IOCPThreadCount", &T::IOCPThreadCount),
  };
  return list;
}

}  // namespace gw
