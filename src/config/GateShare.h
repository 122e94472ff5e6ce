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

// The whole configuration load of a service start or reload, for every front-end: writes
// "正在加载配置信息...", loads the configuration file, applies the launch block's overrides,
// hands NetPassWord to the message coder, writes "配置信息加载完成...", loads the word list and
// the permanent block list, and sets the IP manager's limit from MaxConnOfIPaddr. The first
// step that fails (a file that cannot be read or created) throws and ends the load there.
void LoadGateWayConfig(const TGateWayFiles& AFiles = {});
void LoadGateWayConfig(TGateWayConfigure& AConfig, const TLaunchParams& AParams,
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
