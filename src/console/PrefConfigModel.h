// What the performance dialog shows and stores: the server check time-out in whole seconds,
// the packet warning size and the fixed client block size. No widget involved.
#pragma once

#include "console/SpinRange.h"

namespace gw {

class TGateWayConfigure;

struct TPrefConfigFields {
  int TimeOutSeconds = 0;
  int PacketWarningSize = 0;
  int ClientSendBlockSize = 1460;
};

class TPrefConfigModel {
 public:
  // The time-out field has no range (minimum = maximum), so any stored value shows.
  static constexpr TSpinRange kTimeOutRange{60, 60, 30};
  static constexpr TSpinRange kPacketWarningRange{0, 1000000000, 30};
  static constexpr TSpinRange kBlockSizeRange{100, 12000, 50};
  // The data-size field is not filled from the configuration and always shows this.
  static constexpr int kClientSendBlockSize = 1460;

  static TPrefConfigFields Load(const TGateWayConfigure& config);
  // Seconds × 1000, held within the 32-bit range so a huge typed value cannot wrap negative.
  static void Store(const TPrefConfigFields& fields, TGateWayConfigure& config);
};

}  // namespace gw
