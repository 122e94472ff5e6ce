#include "console/HookCheckModel.h"

#include "console/ConsoleShared.h"
#include "console/SettingFields.h"

namespace gw {

namespace {

using TField = TSettingField<THookCheckFields>;
const TField kFields[] = {
    {"IncErrorCount", &THookCheckFields::IncErrorCount, THookCheckModel::kCountRange},
    {"DecErrorCount", &THookCheckFields::DecErrorCount, THookCheckModel::kCountRange},
    {"ErrMsg", &THookCheckFields::ErrMsg},
    {"StartWalkCheck", &THookCheckFields::StartWalkCheck},
    {"StartHitCheck", &THookCheckFields::StartHitCheck},
    {"StartRunCheck", &THookCheckFields::StartRunCheck},
    {"StartSpellCheck", &THookCheckFields::StartSpellCheck},
    {"StartWarning", &THookCheckFields::StartWarning},
};

}  // namespace

const char* const THookCheckModel::kDefaultErrMsg = "[提示]: 请爱护游戏环境，关闭加速外挂重新登陆";

void THookCheckModel::Load(const TGateWayConfigure& config) {
  LoadSettingFields<THookCheckFields>(config, kFields, FFields);
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
  StoreSettingFields<THookCheckFields>(FFields, kFields, config);
  FCanSave = false;
}

}  // namespace gw
