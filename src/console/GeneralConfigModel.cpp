#include "console/GeneralConfigModel.h"

#include "console/ConsoleShared.h"
#include "console/TextRules.h"

namespace gw {

TGeneralConfigFields TGeneralConfigModel::Load(const TGateWayConfigure& config) {
  TGeneralConfigFields fields;
  fields.Title = config.Title;
  fields.GateAddr = config.GateAddr;
  fields.GatePort = config.GatePort;
  fields.ServerAddr = config.ServerAddr;
  fields.ServerPort = config.ServerPort;
  fields.Minimize = config.Minimize;
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
  config.Title = fields.Title;
  config.ServerAddr = fields.ServerAddr;
  config.ServerPort = fields.ServerPort;
  config.GateAddr = fields.GateAddr;
  config.GatePort = fields.GatePort;
  config.Minimize = fields.Minimize;
}

}  // namespace gw
