// The settings shared by the Pelvane servers (properties 1 to 35 of GateWay.xml, in file order),
// with their defaults. Every setting is a public field named as its XML element and published in
// one table line; see TuSerialObject for the file format.
//
// Not thread-safe: loaded, edited and saved on the user-interface thread only.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "config/SerialObject.h"

namespace gw {

// Action against an attacking client address.
enum TBlockIPMethod : int32_t {
  mDisconnect = 0,  // "断开连接": drop the connection
  mBlock = 1,       // "加入动态过滤列表": put the address on the temporary block list
  mBlockList = 2,   // "加入永久过滤列表": put the address on the permanent block list
};

inline constexpr std::array<const char*, 3> kBlockIPMethodNames = {"mDisconnect", "mBlock",
                                                                   "mBlockList"};
inline std::span<const char* const> SerialValueNames(TBlockIPMethod) { return kBlockIPMethodNames; }

// Processors the operating system reports; the thread-count defaults follow it.
int32_t ProcessorCount();

class TCustomPelvaneConfigure : public TuSerialObject {
 public:
  TCustomPelvaneConfigure();

  std::string_view ClassName() const override { return "TCustomPelvaneConfigure"; }
  const TSerialPropertyList& Properties() const override { return PublishedProperties(); }
  static const TSerialPropertyList& PublishedProperties();

  std::string Title;
  std::string NetPassWord;  // the message codec's pass word, enciphered; no default
  std::string ServerAddr;
  std::string ServerPort;
  std::string GateAddr;
  std::string GatePort;
  int32_t MaxConnOfIPaddr = 0;
  TBlockIPMethod BlockMethod = mDisconnect;
  int32_t MaxClientPacketSize = 0;
  int32_t NomClientPacketSize = 0;
  int32_t MaxClientMsgCount = 0;
  bool KickOverPacketSize = false;
  int32_t CheckServerTimeOutTime = 0;
  int32_t ClientSendBlockSize = 0;
  int32_t ClientTimeOut = 0;
  int32_t SayMsgMaxLen = 0;
  int32_t SayMsgTime = 0;
  bool ClearTempList = false;
  int32_t ClearTempBlockListTime = 0;
  bool EnableThreads = false;
  int32_t CheckThreads = 0;
  int32_t WorkThreads = 0;
  int32_t PacketWarningSize = 0;
  bool StartWalkCheck = false;
  bool StartHitCheck = false;
  bool StartRunCheck = false;
  bool StartSpellCheck = false;
  bool StartWarning = false;
  int32_t IncErrorCount = 0;
  int32_t DecErrorCount = 0;
  std::string ErrMsg;
  bool Minimize = false;
  int32_t ConnectionATKSec = 0;    // no default: 0
  int32_t ConnectionATKCount = 0;  // no default: 0
  int32_t IOCPThreadCount = 0;     // no default: 0
};

}  // namespace gw
