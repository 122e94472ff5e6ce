#include "console/GeneralConfigModel.h"

#include "console/ConsoleShared.h"
#include "console/SettingFields.h"
#include "console/TextRules.h"

namespace gw {

namespace {

using TField = TSettingField<TGeneralConfigFields>;
const TField kFields[] = {
    {"Title", &TGeneralConfigFields::Title},
    {"ServerAddr", &TGeneralConfigFields::ServerAddr},
    {"ServerPort", &TGeneralConfigFields::ServerPort},
    {"GateAddr", &TGeneralConfigFields::GateAddr},
    {"GatePort", &TGeneralConfigFields::GatePort},
    {"Minimize", &TGeneralConfigFields::Minimize},
};

}  // namespace

TGeneralConfigFields TGeneralConfigModel::Load(const TGateWayConfigure& config) {
  TGeneralConfigFields fields;
  LoadSettingFields<TGeneralConfigFields>(config, kFields, fields);
  return fields;
}

TGeneralConfigCheck TGeneralConfigModel::Check(TGeneralConfigFields& fields) {
  fields.Title = TrimText(fields.Title);
  fields.GateAddr = TrimText(fields.GateAddr);
  fields.GatePort = TrimText(fields.GatePort);
  fields.ServerAddr = TrimText(fields.ServerAddr);
  fields.ServerPort = TrimText(fields.ServerPort);
  static const char* const kPortError = "网关端口设置错误！！！";
  if (!ContainsIPv4Address(fields.GateAddr)) return {gfGateAddr, "网关地址设置错误！！！"};
  if (!IsValidPortText(fields.GatePort)) return {gfGatePort, kPortError};
  if (!ContainsIPv4Address(fields.ServerAddr)) return {gfServerAddr, "服务器地址设置错误！！！"};
  // The server port shares the gateway port's text, as operators know it.
  if (!IsValidPortText(fields.ServerPort)) return {gfServerPort, kPortError};
  if (fields.Title.empty()) return {gfTitle, "标题设置错误！！！"};
  return {};
}

void TGeneralConfigModel::Store(const TGeneralConfigFields& fields, TGateWayConfigure& config) {
  StoreSettingFields<TGeneralConfigFields>(fields, kFields, config);
}

}  // namespace gw
