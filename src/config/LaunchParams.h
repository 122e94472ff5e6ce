// The launch parameter block: 400 bytes that a controlling program passes, enciphered, as the
// gateway's first command-line argument. It carries the addresses and ports to use instead of
// GateWay.xml's, the controlling program's handle for status messages, the gate number sent with
// them, and two caption marks.
//
// Thread safety: written once at start-up before any other thread reads it; const operations
// are safe from any thread afterwards.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "config/CustomGateWayConfig.h"

namespace gw {

class TLaunchParams {
 public:
  static constexpr size_t kSize = 400;
  using TBlock = std::array<uint8_t, kSize>;

  // Field offsets (little-endian). Addresses are a length byte and up to 67 bytes of ANSI text
  // in a field of kAddrFieldSize bytes.
  static constexpr size_t kPerformanceMarkOffset = 0;
  static constexpr size_t kGateNumberOffset = 1;
  static constexpr size_t kControlHandleOffset = 4;
  static constexpr size_t kGateAddrOffset = 8;
  static constexpr size_t kGatePortOffset = 76;
  static constexpr size_t kServerAddrOffset = 80;
  static constexpr size_t kServerPortOffset = 148;
  static constexpr size_t kLoginSrvAddrOffset = 152;
  static constexpr size_t kLoginSrvPortOffset = 220;
  static constexpr size_t kDBSrvAddrOffset = 224;
  static constexpr size_t kDBSrvPortOffset = 292;
  static constexpr size_t kPressureTestMarkOffset = 397;
  static constexpr size_t kAddrFieldSize = 68;

  // The worker count a launched gateway runs with.
  static constexpr int32_t kLaunchWokerCount = 4;

  TLaunchParams() = default;  // all bytes 0: no overrides, no marks, no controller
  explicit TLaunchParams(const TBlock& ABlock) : FBlock(ABlock) {}

  // Deciphers the argument text (ANSI) into the block. Returns false and leaves the block all 0
  // when it does not decode to at least kSize bytes; Error then says why.
  bool Decode(std::string_view AText, std::string& Error);

  const TBlock& Block() const { return FBlock; }

  bool PerformanceMark() const { return FBlock[kPerformanceMarkOffset] != 0; }
  bool PressureTestMark() const { return FBlock[kPressureTestMarkOffset] != 0; }
  uint8_t GateNumber() const { return FBlock[kGateNumberOffset]; }
  uint32_t ControlHandle() const { return UInt32At(kControlHandleOffset); }

  // Addresses as UTF-8 text; ports as stored.
  std::string GateAddr() const { return AddrAt(kGateAddrOffset); }
  int32_t GatePort() const { return static_cast<int32_t>(UInt32At(kGatePortOffset)); }
  std::string ServerAddr() const { return AddrAt(kServerAddrOffset); }
  int32_t ServerPort() const { return static_cast<int32_t>(UInt32At(kServerPortOffset)); }
  std::string LoginSrvAddr() const { return AddrAt(kLoginSrvAddrOffset); }
  int32_t LoginSrvPort() const { return static_cast<int32_t>(UInt32At(kLoginSrvPortOffset)); }
  std::string DBSrvAddr() const { return AddrAt(kDBSrvAddrOffset); }
  int32_t DBSrvPort() const { return static_cast<int32_t>(UInt32At(kDBSrvPortOffset)); }

  // Whether the block carries addresses: its gate address is not empty.
  bool HasAddresses() const { return FBlock[kGateAddrOffset] != 0; }

  // Overwrites the configuration's addresses, ports and worker count in memory when the block
  // carries addresses; otherwise leaves it as it is. Returns whether it changed anything.
  bool ApplyTo(TCustomGateWayConfig& AConfig) const;

 private:
  uint32_t UInt32At(size_t Offset) const;
  std::string AddrAt(size_t Offset) const;

  TBlock FBlock{};
};

}  // namespace gw
