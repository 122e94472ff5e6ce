#include "config/GateShare.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>

#include "codec/EDcode.h"
#include "common/AnsiCodePage.h"
#include "common/Utf8Path.h"
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

std::string AbsoluteSettingsPath(const std::string& AFile) {
  std::error_code ec;
  const std::filesystem::path path = std::filesystem::absolute(PathFromUtf8(AFile), ec);
  if (ec) return AFile;
  return Utf8FromPath(path.lexically_normal());
}

TGateWaySettingsRead ReadGateWaySettings(const TGateWayConfigure& ACurrent,
                                         const TLaunchParams& AParams, const std::string& AFile,
                                         bool ACreateMissing) {
  TGateWaySettingsRead read{ACurrent, {}, false};
  const std::string shown = AbsoluteSettingsPath(AFile);
  auto fileProblem = [&](TSettingsSeverity severity, std::string text) {
    read.Problems.push_back({severity, shown, 0, std::move(text)});
  };
  std::string document;
  try {
    if (!FileExists(AFile)) {
      read.Missing = true;
      // At start the values in force are the defaults; at a reload, the settings running.
      const bool defaults = ACurrent.SaveToText() == TGateWayConfigure().SaveToText();
      const std::string values = defaults ? "the default settings" : "the settings in force";
      if (!ACreateMissing) {
        fileProblem(TSettingsSeverity::Warning,
                    "settings file not found; the gateway would write it with " + values);
      } else {
        ACurrent.SaveToXMLFile(AFile);
        fileProblem(TSettingsSeverity::Warning, "settings file not found; written with " + values);
      }
      if (!ACreateMissing) {
        AParams.ApplyTo(read.Config);
        return read;
      }
    }
    document = ReadSettingsFile(AFile);
  } catch (const std::exception& e) {
    fileProblem(TSettingsSeverity::Error, e.what());
    return read;
  }
  TSettingsProblems problems = ReadSettingsDocument(read.Config, document, shown);
  read.Problems.insert(read.Problems.end(), problems.begin(), problems.end());
  AParams.ApplyTo(read.Config);
  return read;
}

void LogSettingsProblems(const TSettingsProblems& AProblems) {
  for (const TSettingsProblem& p : AProblems) {
    if (p.Severity == TSettingsSeverity::Error) {
      TLogger::LogError(FormatSettingsProblem(p));
    } else {
      TLogger::LogWarning(FormatSettingsProblem(p));
    }
  }
}

namespace {

// The text of an exception for settings with errors: the first error, and the count of the rest.
std::string InvalidSettingsText(const TSettingsProblems& AProblems) {
  const size_t errors = CountSettingsProblems(AProblems, TSettingsSeverity::Error);
  for (const TSettingsProblem& p : AProblems) {
    if (p.Severity != TSettingsSeverity::Error) continue;
    std::string text = FormatSettingsProblem(p);
    if (errors > 1) text += " (and " + std::to_string(errors - 1) + " more errors)";
    return text;
  }
  return {};
}

}  // namespace

void LoadGateWayConfig(const TGateWayFiles& AFiles) {
  LoadGateWayConfig(GateWayConfig(), LaunchParams(), WordList(), IPManager(), AFiles);
}

void LoadGateWayConfig(TGateWayConfigure& AConfig, const TLaunchParams& AParams,
                       TWordList& AWordList, TGateIPManager& AIPManager,
                       const TGateWayFiles& AFiles) {
  TLogger::LogInfo("正在加载配置信息...");
  TGateWaySettingsRead read = ReadGateWaySettings(AConfig, AParams, AFiles.Config, true);
  LogSettingsProblems(read.Problems);
  // No service runs yet: the values that could be read are taken even when the start fails, so
  // the failure lines name the file's port and a settings dialog shows (and saves back) what
  // the operator wrote rather than the values of before.
  AConfig = read.Config;
  if (HasSettingsErrors(read.Problems)) throw ESettingsInvalid(InvalidSettingsText(read.Problems));
  ApplyNetPassWord(AConfig.NetPassWord);
  TLogger::LogInfo("配置信息加载完成...");
  LoadWordFilterFile(AWordList, AFiles.WordFilter);
  AIPManager.LoadBlockIPFile();
  AIPManager.SetMaxConnections(AConfig.MaxConnOfIPaddr);
}

TConfigReloadResult ReloadGateWayConfig(const TGateWayFiles& AFiles) {
  return ReloadGateWayConfig(GateWayConfig(), LaunchParams(), WordList(), IPManager(), AFiles);
}

TConfigReloadResult ReloadGateWayConfig(TGateWayConfigure& AConfig, const TLaunchParams& AParams,
                                        TWordList& AWordList, TGateIPManager& AIPManager,
                                        const TGateWayFiles& AFiles) {
  TConfigReloadResult result;
  TLogger::LogInfo("正在加载配置信息...");
  TGateWaySettingsRead read = ReadGateWaySettings(AConfig, AParams, AFiles.Config, true);
  result.Problems = std::move(read.Problems);
  // The lists are read before anything is applied, so that none of them can fail halfway.
  auto listProblem = [&](const std::string& file, const std::exception& e) {
    result.Problems.push_back({TSettingsSeverity::Error, AbsoluteSettingsPath(file), 0, e.what()});
  };
  std::optional<TTextLines> words;
  try {
    if (FileExists(AFiles.WordFilter)) words = DecodeTextLines(ReadSettingsFile(AFiles.WordFilter));
  } catch (const std::exception& e) {
    listProblem(AFiles.WordFilter, e);
  }
  if (!HasSettingsErrors(result.Problems)) {
    try {
      // The block list is the first thing applied; it replaces the list whole or not at all.
      AIPManager.LoadBlockIPFile();
    } catch (const std::exception& e) {
      listProblem(AIPManager.BlockIPFile(), e);
    }
  }
  if (HasSettingsErrors(result.Problems)) {
    TLogger::LogError("Settings not reloaded, every previous setting stays in force: " +
                      InvalidSettingsText(result.Problems));
    LogSettingsProblems(result.Problems);
    return result;
  }
  LogSettingsProblems(result.Problems);
  result.Changes = CompareSettings(AConfig, read.Config);
  AConfig = read.Config;
  ApplyNetPassWord(AConfig.NetPassWord);
  TLogger::LogInfo("配置信息加载完成...");
  TLogger::LogInfo("正在加载文字过滤配置信息...");
  if (words) AWordList.Assign(std::move(words->Lines), words->Encoding);
  TLogger::LogInfo("文字过滤信息加载完成...");
  AIPManager.SetMaxConnections(AConfig.MaxConnOfIPaddr);
  result.Ok = true;
  return result;
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
