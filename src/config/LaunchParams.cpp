#include "config/LaunchParams.h"

#include <exception>

#include "codec/EDcode.h"
#include "common/AnsiCodePage.h"

namespace gw {

bool TLaunchParams::Decode(std::string_view AText, std::string& Error) {
  TBlock block{};
  try {
    DecodeSourceData(AText, block.data(), static_cast<int32_t>(block.size()));
  } catch (const std::exception& e) {
    FBlock = TBlock{};
    Error = e.what();
    return false;
  }
  FBlock = block;
  return true;
}

uint32_t TLaunchParams::UInt32At(size_t Offset) const {
  return static_cast<uint32_t>(FBlock[Offset]) | static_cast<uint32_t>(FBlock[Offset + 1]) << 8 |
         static_cast<uint32_t>(FBlock[Offset + 2]) << 16 |
         static_cast<uint32_t>(FBlock[Offset + 3]) << 24;
}

std::string TLaunchParams::AddrAt(size_t Offset) const {
  // The length byte comes from outside; it never reaches past the field.
  size_t length = FBlock[Offset];
  if (length > kAddrFieldSize - 1) length = kAddrFieldSize - 1;
  return AnsiToUtf8(
      std::string_view(reinterpret_cast<const char*>(FBlock.data() + Offset + 1), length));
}

bool TLaunchParams::ApplyTo(TCustomGateWayConfig& AConfig) const {
  if (!HasAddresses()) return false;
  AConfig.ServerAddr = ServerAddr();
  AConfig.ServerPort = std::to_string(ServerPort());
  AConfig.GateAddr = GateAddr();
  AConfig.GatePort = std::to_string(GatePort());
  AConfig.LoginSrvAddr = LoginSrvAddr();
  AConfig.LoginSrvPort = LoginSrvPort();
  AConfig.DBSrvAddr = DBSrvAddr();
  AConfig.DBSrvPort = DBSrvPort();
  AConfig.WokerCount = kLaunchWokerCount;
  return true;
}

}  // namespace gw
