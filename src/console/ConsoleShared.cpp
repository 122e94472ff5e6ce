#include "console/ConsoleShared.h"

#include "config/GateShare.h"
#include "logging/Logger.h"

namespace gw {

void SaveConfiguration(const TGateWayConfigure& config, const std::string& file) {
  config.SaveToXMLFile(file);
}

std::vector<std::string> TempBlockAddresses(TGateIPManager& manager) {
  std::vector<std::string> addresses;
  manager.EarchTempBlockIPs(
      [&](int, const TSockaddr* entry) { addresses.push_back(entry->IPaddr); });
  return addresses;
}

std::vector<std::string> BlockAddresses(TGateIPManager& manager) {
  std::vector<std::string> addresses;
  manager.EarchBlockIPs([&](int, const TSockaddr* entry) { addresses.push_back(entry->IPaddr); });
  return addresses;
}

void SetIPLimit(TGateIPManager& manager, const TGateWayConfigure& config) {
  manager.SetMaxConnections(config.MaxConnOfIPaddr);
}

std::vector<std::string> CopyWordList() { return WordList().Items(); }

void ReplaceAndSaveWordList(const std::vector<std::string>& entries) {
  WordList().Assign(entries);
  WordList().SaveToFile(kWordFilterFile);
}

void ConsoleLogError(const std::string& text) { TLogger::LogError(text); }
void ConsoleLogInfo(const std::string& text) { TLogger::LogInfo(text); }

}  // namespace gw
