// The launch parameter block (the enciphered command-line argument a controller passes): any
// text decodes to a whole block or is refused with a reason, and every field read from the
// block stays inside it.
#include <string>

#include "FuzzCheck.h"
#include "config/CustomGateWayConfig.h"
#include "config/LaunchParams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  gw::TLaunchParams params;
  std::string error;
  if (!params.Decode(text, error)) {
    FUZZ_CHECK(!error.empty());
    FUZZ_CHECK(!params.HasAddresses());
    return 0;
  }
  (void)params.PerformanceMark();
  (void)params.PressureTestMark();
  (void)params.GateNumber();
  (void)params.ControlHandle();
  (void)params.GatePort();
  (void)params.ServerPort();
  (void)params.LoginSrvPort();
  (void)params.DBSrvPort();
  FUZZ_CHECK(params.GateAddr().size() < sizeof(gw::TLaunchParams::TBlock));
  FUZZ_CHECK(params.ServerAddr().size() < sizeof(gw::TLaunchParams::TBlock));
  FUZZ_CHECK(params.LoginSrvAddr().size() < sizeof(gw::TLaunchParams::TBlock));
  FUZZ_CHECK(params.DBSrvAddr().size() < sizeof(gw::TLaunchParams::TBlock));
  gw::TCustomGateWayConfig config;
  (void)params.ApplyTo(config);
  return 0;
}
