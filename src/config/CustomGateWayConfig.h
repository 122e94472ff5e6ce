// The gateway's own settings on top of the shared ones (properties 36 to 40 of GateWay.xml):
// the login and database servers and the worker count.
//
// Not thread-safe: loaded, edited and saved on the user-interface thread only.
#pragma once

#include <cstdint>
#include <string>

#include "config/CustomPelvaneConfigure.h"

namespace gw {

class TCustomGateWayConfig : public TCustomPelvaneConfigure {
 public:
  TCustomGateWayConfig();

  std::string_view ClassName() const override { return "TCustomGateWayConfig"; }
  const TSerialPropertyList& Properties() const override { return PublishedProperties(); }
  static const TSerialPropertyList& PublishedProperties();

  std::string LoginSrvAddr;
  int32_t LoginSrvPort = 0;
  std::string DBSrvAddr;
  int32_t DBSrvPort = 0;
  int32_t WokerCount = 0;  // gateway worker threads
};

}  // namespace gw
