#include "console/HookCheckModel.h"

#include "console/ConsoleShared.h"

namespace gw {

const char* const THookCheckModel::kDefaultErrMsg = "[提示]: 请爱护游戏环境，关闭加速外挂重新登陆";

void THookCheckModel::Load(const TGateWayConfigure& config) {
  FFields.StartWalkCheck = config.StartWalkCheck;
  FFields.StartRunCheck = config.StartRunCheck;
  FFields.StartHitCheck = config.StartHitCheck;
  FFields.StartSpellCheck = config.StartSpellCheck;
  FFields.StartWarning = config.StartWarning;
  FFields.IncErrorCount = kCountRange.Clamp(config.IncErrorCount);
  FFields.DecErrorCount = kCountRange.Clamp(config.DecErrorCount);
  FFields.ErrMsg = config.ErrMsg;
  FCanSave = false;
}

void THookCheckModel::RestoreDefaults() {
  FFields.StartWalkCheck = true;
  FFields.StartRunCheck = true;
  FFields.StartHitCheck = true;
  FFields.StartSpellCheck = true;
  FFields.StartWarning = true;
  FFields.IncErrorCount = 5;
  FFields.DecErrorCount = 1;
  FFields.ErrMsg = kDefaultErrMsg;
  FCanSave = true;
}

void THookCheckModel::Store(TGateWayConfigure& config) {
  config.IncErrorCount = FFields.IncErrorCount;
  config.DecErrorCount = FFields.DecErrorCount;
  config.ErrMsg = FFields.ErrMsg;
  config.StartWalkCheck = FFields.StartWalkCheck;
  config.StartHitCheck = FFields.StartHitCheck;
  config.StartRunCheck = FFields.StartRunCheck;
  config.StartSpellCheck = FFields.StartSpellCheck;
  config.StartWarning = FFields.StartWarning;
  FCanSave = false;
}

}  // namespace gw
