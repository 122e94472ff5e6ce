#include "console/PrefConfigModel.h"

#include <climits>

#include "console/ConsoleShared.h"
#include "console/SettingFields.h"

namespace gw {

namespace {

// The time-out (shown in seconds) and the fixed block size are converted, not copied.
using TField = TSettingField<TPrefConfigFields>;
const TField kFields[] = {
    {"PacketWarningSize", &TPrefConfigFields::PacketWarningSize,
     TPrefConfigModel::kPacketWarningRange},
};

}  // namespace

TPrefConfigFields TPrefConfigModel::Load(const TGateWayConfigure& config) {
  TPrefConfigFields fields;
  fields.TimeOutSeconds = kTimeOutRange.Clamp(config.CheckServerTimeOutTime / 1000);
  LoadSettingFields<TPrefConfigFields>(config, kFields, fields);
  fields.ClientSendBlockSize = kClientSendBlockSize;
  return fields;
}

void TPrefConfigModel::Store(const TPrefConfigFields& fields, TGateWayConfigure& config) {
  long long ms = static_cast<long long>(fields.TimeOutSeconds) * 1000;
  if (ms > INT_MAX) ms = INT_MAX / 1000 * 1000;
  if (ms < INT_MIN) ms = INT_MIN / 1000 * 1000;
  config.CheckServerTimeOutTime = static_cast<int>(ms);
  config.ClientSendBlockSize = kClientSendBlockSize;
  TPrefConfigFields stored = fields;
  stored.PacketWarningSize = kPacketWarningRange.Clamp(fields.PacketWarningSize);
  StoreSettingFields<TPrefConfigFields>(stored, kFields, config);
}

}  // namespace gw
