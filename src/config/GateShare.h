// The gateway's process-wide shared state and the procedures that work on it: the
// configuration instance, the IP manager, the chat word list, the launch parameter block, and
// the status messages to a controlling program.
//
// Each object comes into being on first use (the program touches them all at start-up, before
// the user interface) and lives until the process ends. Thread safety: see each object's
// class; the configuration instance and the launch block belong to the user-interface thread
// (the block is written once by LoadLaunchParams, before any other thread runs).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "config/GateIPManager.h"
#include "config/GateWayConfigure.h"
#include "config/LaunchParams.h"
#include "config/SettingsReload.h"
#include "config/SettingsValidation.h"
#include "config/WordList.h"

namespace gw {

// ".\WordFilter.txt": the word list file, relative to the working directory.
inline constexpr char kWordFilterFile[] = "./WordFilter.txt";

// The two fixed status texts (UTF-8 here; they go out in GBK).
inline constexpr char kServiceStartingText[] = "正在启动GateWay...";
inline constexpr char kServiceStartedText[] = "游戏网关启动完成...";

TGateWayConfigure& GateWayConfig();
TGateIPManager& IPManager();
TWordList& WordList();
const TLaunchParams& LaunchParams();

// Writes "正在加载文字过滤配置信息...", replaces the word list with the file's lines when the
// file exists, then writes "文字过滤信息加载完成...". Throws ESettingsFileError when the file
// exists but cannot be read (the list keeps its entries).
void LoadWordFilterFile(const std::string& AFileName = kWordFilterFile);
void LoadWordFilterFile(TWordList& AWordList, const std::string& AFileName);

// Deciphers the first command-line argument, when there is one, into the launch block. An
// argument that is not a launch block (it does not decipher to 400 bytes, or it is an option
// such as "-profile") leaves the block all 0: the error is logged and the gateway runs without
// it. Returns whether a block was taken. Call once, before the user interface starts.
bool LoadLaunchParams(int argc, const char* const* argv);
bool LoadLaunchParams(std::string_view AArgument, TLaunchParams& AParams);

// The files the configuration load reads; tests point them elsewhere.
struct TGateWayFiles {
  std::string Config = kGateWayConfigFile;
  std::string WordFilter = kWordFilterFile;
};

// Settings that cannot be used: the text names the file and line of the first error (and how
// many more there are).
class ESettingsInvalid : public ESettingsFileError {
 public:
  using ESettingsFileError::ESettingsFileError;
};

// The settings file read into a copy of the current configuration, with the launch block's
// overrides applied. Problems name the file by its absolute path.
struct TGateWaySettingsRead {
  TGateWayConfigure Config;
  TSettingsProblems Problems;
  bool Missing = false;  // there was no file
};

// Reads AFile strictly (see ReadSettingsDocument) over a copy of ACurrent. A missing file is
// written with ACurrent's values first when ACreateMissing (a warning names its absolute path),
// and only reported otherwise (`gateway --check` writes nothing). A file that cannot be read or
// written is an error problem. Never throws for the file's content; touches no shared object.
TGateWaySettingsRead ReadGateWaySettings(const TGateWayConfigure& ACurrent,
                                         const TLaunchParams& AParams, const std::string& AFile,
                                         bool ACreateMissing);

// The absolute form of a settings file's name, as problems and warnings give it.
std::string AbsoluteSettingsPath(const std::string& AFile);

// Writes each problem as a warning or error line of the logger.
void LogSettingsProblems(const TSettingsProblems& AProblems);

// The whole configuration load of a service start, for every front-end: writes
// "正在加载配置信息...", reads the configuration file strictly (warnings become [W] lines),
// applies the launch block's overrides, hands NetPassWord to the message coder, writes
// "配置信息加载完成...", loads the word list and the permanent block list, and sets the IP
// manager's limit from MaxConnOfIPaddr. Throws ESettingsInvalid, naming file and line, when the
// settings file has errors: the configuration then holds what could be read and nothing else
// is loaded. Throws ESettingsFileError when a list cannot be read.
void LoadGateWayConfig(const TGateWayFiles& AFiles = {});
void LoadGateWayConfig(TGateWayConfigure& AConfig, const TLaunchParams& AParams,
                       TWordList& AWordList, TGateIPManager& AIPManager,
                       const TGateWayFiles& AFiles);

// The configuration load of a reload (SIGHUP, the console's command, the service's control):
// all or nothing. The settings file is read into a copy and the word list and the permanent
// block list are read before anything is applied; when one of them fails, every old setting and
// list stays, the lines say why (file and line) and the result is not Ok. Otherwise the copy
// replaces the configuration, the pass word, lists and limit follow, and the result lists what
// changed. Never throws for a file's content or a file that cannot be read.
TConfigReloadResult ReloadGateWayConfig(const TGateWayFiles& AFiles = {});
TConfigReloadResult ReloadGateWayConfig(TGateWayConfigure& AConfig, const TLaunchParams& AParams,
                                        TWordList& AWordList, TGateIPManager& AIPManager,
                                        const TGateWayFiles& AFiles);

// Sends a status message to the controlling program's handle: wParam = ident × 65536 + gate
// number, AText sent as its bytes (callers pass ANSI text). A handle of 0 sends nothing.
// Returns whether a listener took it.
bool SendControlMessage(uint32_t AHandle, uint8_t AGateNumber, uint16_t AIdent,
                        std::string_view AText);
// The same to the handle and with the gate number of the launch block; fixed UTF-8 texts are
// converted to GBK here.
bool SendStatusMessage(uint16_t AIdent, std::string_view ATextUtf8);

}  // namespace gw
