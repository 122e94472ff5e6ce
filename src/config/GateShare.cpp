#include "config/GateShare.h"

#include <cstdio>

#include "codec/EDcode.h"
#include "common/AnsiCodePage.h"
#include "config/ControlChannel.h"
#include "logging/Logger.h"

namespace gw {

namespace {

TLaunchParams& MutableLaunchParams() {
  static TLaunchParams params;
  return params;
}

}  // namespace

TGateWayConfigure& GateWayConfig() {
  static TGateWayConfigure config;
  return config;
}

TGateIPManager& IPManager() {
  // Whoever changes the permanent list (the login server's kick, the console), the file
  // follows at once, so a reload never drops an entry.
  static TGateIPManager& manager = []() -> TGateIPManager& {
    static TGateIPManager instance;
    instance.SetSaveOnChange(true);
    return instance;
  }();
  return manager;
}

TWordList& WordList() {
  static TWordList words;
  return words;
}

const TLaunchParams& LaunchParams() { return MutableLaunchParams(); }

void LoadWordFilterFile(const std::string& AFileName) { LoadWordFilterFile(WordList(), AFileName); }

void LoadWordFilterFile(TWordList& AWordList, const std::string& AFileName) {
  TLogger::LogInfo("正在加载文字过滤配置信息...");
  if (FileExists(AFileName)) AWordList.LoadFromFile(AFileName);
  TLogger::LogInfo("文字过滤信息加载完成...");
}

void LoadGateWayConfig(const TGateWayFiles& AFiles) {
  LoadGateWayConfig(GateWayConfig(), LaunchParams(), WordList(), IPManager(), AFiles);
}

void LoadGateWayConfig(TGateWayConfigure& AConfig, const TLaunchParams& AParams,
                       TWordList& AWordList, TGateIPManager& AIPManager,
                       const TGateWayFiles& AFiles) {
  TLogger::LogInfo("正在加载配置信息...");
  AConfig.LoadFromXMLFile(AFiles.Config);
  AParams.ApplyTo(AConfig);
  ApplyNetPassWord(AConfig.NetPassWord);
  TLogger::LogInfo("配置信息加载完成...");
  LoadWordFilterFile(AWordList, AFiles.WordFilter);
  AIPManager.LoadBlockIPFile();
  AIPManager.SetMaxConnections(AConfig.MaxConnOfIPaddr);
}

bool LoadLaunchParams(int argc, const char* const* argv) {
  if (argc < 2 || argv[1] == nullptr) return false;
  return LoadLaunchParams(argv[1], MutableLaunchParams());
}

bool LoadLaunchParams(std::string_view AArgument, TLaunchParams& AParams) {
  AParams = TLaunchParams();
  // The block is base64 text, which never starts with "-": such an argument is an option.
  if (AArgument.empty() || AArgument.front() == '-') return false;
  std::string error;
  if (AParams.Decode(Utf8ToAnsi(AArgument), error)) return true;
  const std::string line =
      "启动参数无效，已忽略: 第一个参数解不出400字节的启动参数块 (" + error + ")";
  TLogger::LogError(line);
  // The log file may not be open yet this early; the operator still sees why.
  std::fprintf(stderr, "%s\n", line.c_str());
  return false;
}

bool SendControlMessage(uint32_t AHandle, uint8_t AGateNumber, uint16_t AIdent,
                        std::string_view AText) {
  return TControlChannel::Send(AHandle, MakeControlWParam(AIdent, AGateNumber), AText);
}

bool SendStatusMessage(uint16_t AIdent, std::string_view ATextUtf8) {
  const TLaunchParams& params = LaunchParams();
  return SendControlMessage(params.ControlHandle(), params.GateNumber(), AIdent,
                            Utf8ToAnsi(ATextUtf8));
}

}  // namespace gw
