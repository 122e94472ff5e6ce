// The gateway's configuration object: every setting of GateWay.xml, gathered by the class chain
// TuSerialObject → TCustomPelvaneConfigure → TCustomGateWayConfig; this class adds nothing, and
// its class name is the root element of the file. The process-wide instance lives in GateShare.
//
// Not thread-safe: loaded, edited and saved on the user-interface thread; the gateway server
// reads it on that thread when it is created and started.
#pragma once

#include "config/CustomGateWayConfig.h"

namespace gw {

// ".\GateWay.xml": the settings file, relative to the working directory.
inline constexpr char kGateWayConfigFile[] = "./GateWay.xml";

class TGateWayConfigure : public TCustomGateWayConfig {
 public:
  std::string_view ClassName() const override { return "TGateWayConfigure"; }
};

}  // namespace gw
