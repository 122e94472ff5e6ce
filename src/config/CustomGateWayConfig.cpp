#include "config/CustomGateWayConfig.h"

namespace gw {

TCustomGateWayConfig::TCustomGateWayConfig() {
  // The base constructor has set the shared defaults; now this level's own.
  LoadDefaults(std::span(PublishedProperties())
                   .subspan(TCustomPelvaneConfigure::PublishedProperties().size()));
}

const TSerialPropertyList& TCustomGateWayConfig::PublishedProperties() {
  using T = TCustomGateWayConfig;
  static const TSerialPropertyList list =
      ExtendProperties(TCustomPelvaneConfigure::PublishedProperties(),
                       {
                           Published("LoginSrvAddr", &T::LoginSrvAddr, "127.0.0.1"),
                           Published("LoginSrvPort", &T::LoginSrvPort, 5500),
                           Published("DBSrvAddr", &T::DBSrvAddr, "127.0.0.1"),
                           Published("DBSrvPort", &T::DBSrvPort, 5100),
                           Published("WokerCount", &T::WokerCount, 4),
                       });
  return list;
}

}  // namespace gw
