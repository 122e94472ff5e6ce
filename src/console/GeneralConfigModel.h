// What the general settings dialog decides: the fields it shows, the checks "确定(&O)" runs in
// their order (first failure wins, with its error text and the field to focus) and what it
// stores. No widget involved; used on the user-interface thread.
#pragma once

#include <cstdint>
#include <string>

namespace gw {

class TGateWayConfigure;

struct TGeneralConfigFields {
  std::string Title;
  std::string GateAddr;
  std::string GatePort;
  std::string ServerAddr;
  std::string ServerPort;
  bool Minimize = true;
};

// The field a failed check puts the focus into.
enum TGeneralConfigField : uint8_t {
  gfNone,
  gfGateAddr,
  gfGatePort,
  gfServerAddr,
  gfServerPort,
  gfTitle
};

struct TGeneralConfigCheck {
  TGeneralConfigField Field = gfNone;
  std::string Error;  // the error box text; empty when every check passed
  bool Ok() const { return Field == gfNone; }
};

class TGeneralConfigModel {
 public:
  static TGeneralConfigFields Load(const TGateWayConfigure& config);
  // Trims every text in place, then checks gateway address, gateway port, server address,
  // server port and title in that order. A port that is not a number at all fails like an
  // out-of-range one (a conversion error would only abort the confirmation).
  static TGeneralConfigCheck Check(TGeneralConfigFields& fields);
  // Stores checked fields into the configuration (the caller saves it).
  static void Store(const TGeneralConfigFields& fields, TGateWayConfigure& config);
};

}  // namespace gw
