// The relay's traffic counters (client and logic bytes and messages) are members of the
// server's counter set; the relay's paths bump them with TGateWayTraffic::Add (relaxed: the
// figures are only displayed) and the statistics panel and the metrics read them.
#pragma once

#include "common/GateWayStats.h"

namespace gw {

using TGateWayTraffic = TGateWayStats;

}  // namespace gw
