// The console's access to the process-wide objects it edits: the configuration, the IP
// manager's lists, the word list and the logger. Keeps the dialogs' code free of how those
// objects lock and store themselves. User-interface thread only, except ConsoleLogError.
#pragma once

#include <string>
#include <vector>

#include "config/GateIPManager.h"
#include "config/GateWayConfigure.h"

namespace gw {

// Saves the whole configuration; throws when the file cannot be written (the caller's error
// handler reports it; the configuration already holds the new values).
void SaveConfiguration(const TGateWayConfigure& config, const std::string& file);

// The addresses of the temporary and the permanent block list, in list order.
std::vector<std::string> TempBlockAddresses(TGateIPManager& manager);
std::vector<std::string> BlockAddresses(TGateIPManager& manager);

// Copies the configuration's per-address connection limit into the IP manager.
void SetIPLimit(TGateIPManager& manager, const TGateWayConfigure& config);

// A copy of the word list, taken under its lock.
std::vector<std::string> CopyWordList();
// Replaces the word list under its lock, then saves it to the word list file.
void ReplaceAndSaveWordList(const std::vector<std::string>& entries);

// An error line through the process-wide logger (log file and log view). Any thread.
void ConsoleLogError(const std::string& text);
void ConsoleLogInfo(const std::string& text);

}  // namespace gw
