#include "console/PrefConfigModel.h"

#include <climits>

#include "console/ConsoleShared.h"

namespace gw {

TPrefConfigFields TPrefConfigModel::Load(const TGateWayConfigure& config) {
  TPrefConfigFields fields;
  fields.TimeOutSeconds = kTimeOutRange.Clamp(config.CheckServerTimeOutTime / 1000);
  fields.PacketWarningSize = kPacketWarningRange.Clamp(config.PacketWarningSize);
  fields.ClientSendBlockSize = kClientSendBlockSize;
  return fields;
}

void TPrefConfigModel::Store(const TPrefConfigFields& fields, TGateWayConfigure& config) {
  long long ms = static_cast<long long>(fields.TimeOutSeconds) * 1000;
  if (ms > INT_MAX) ms = INT_MAX / 1000 * 1000;
  if (ms < INT_MIN) ms = INT_MIN / 1000 * 1000;
  config.CheckServerTimeOutTime = static_cast<int>(ms);
  config.ClientSendBlockSize = kClientSendBlockSize;
  config.PacketWarningSize = kPacketWarningRange.Clamp(fields.PacketWarningSize);
}

}  // namespace gw
