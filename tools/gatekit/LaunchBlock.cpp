#include "LaunchBlock.h"

#include <charconv>
#include <cstring>
#include <stdexcept>

#include "common/AnsiCodePage.h"

namespace gw {

namespace {

void PutInt32(TLaunchBlock& Block, size_t Offset, uint32_t Value) {
  for (size_t i = 0; i < 4; ++i) Block[Offset + i] = static_cast<uint8_t>(Value >> (8 * i));
}

void PutEndpoint(TLaunchBlock& Block, size_t AddrOffset, size_t PortOffset,
                 const TLaunchEndpoint& Endpoint, const char* Name) {
  const std::string ansi = Utf8ToAnsi(Endpoint.Addr);
  if (ansi.empty()) throw std::invalid_argument(std::string(Name) + " address is empty");
  if (ansi.size() > TLaunchParams::kAddrFieldSize - 1) {
    throw std::invalid_argument(std::string(Name) + " address is longer than 67 bytes");
  }
  Block[AddrOffset] = static_cast<uint8_t>(ansi.size());
  std::memcpy(&Block[AddrOffset + 1], ansi.data(), ansi.size());
  PutInt32(Block, PortOffset, static_cast<uint32_t>(Endpoint.Port));
}

}  // namespace

TLaunchEndpoint ParseLaunchEndpoint(const std::string& Text) {
  const size_t colon = Text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == Text.size()) {
    throw std::invalid_argument("expected ADDR:PORT, got \"" + Text + "\"");
  }
  TLaunchEndpoint endpoint;
  endpoint.Addr = Text.substr(0, colon);
  const char* first = Text.data() + colon + 1;
  const char* last = Text.data() + Text.size();
  auto [end, ec] = std::from_chars(first, last, endpoint.Port);
  if (ec != std::errc() || end != last || endpoint.Port < 0 || endpoint.Port > 65535) {
    throw std::invalid_argument("port of \"" + Text + "\" is not a number from 0 to 65535");
  }
  return endpoint;
}

TLaunchBlock BuildLaunchBlock(const TLaunchBlockRequest& Request) {
  TLaunchBlock block{};
  block[TLaunchParams::kPerformanceMarkOffset] = Request.Profiling ? 1 : 0;
  block[TLaunchParams::kGateNumberOffset] = Request.GateNumber;
  PutInt32(block, TLaunchParams::kControlHandleOffset, Request.ControllerHandle);
  PutEndpoint(block, TLaunchParams::kGateAddrOffset, TLaunchParams::kGatePortOffset, Request.Gate,
              "gate");
  PutEndpoint(block, TLaunchParams::kServerAddrOffset, TLaunchParams::kServerPortOffset,
              Request.Logic, "logic");
  PutEndpoint(block, TLaunchParams::kLoginSrvAddrOffset, TLaunchParams::kLoginSrvPortOffset,
              Request.Login, "login");
  PutEndpoint(block, TLaunchParams::kDBSrvAddrOffset, TLaunchParams::kDBSrvPortOffset, Request.DB,
              "db");
  block[TLaunchParams::kPressureTestMarkOffset] = Request.PressureTest ? 1 : 0;
  return block;
}

}  // namespace gw
