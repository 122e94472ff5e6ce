#include "config/SettingsReload.h"

#include <algorithm>
#include <array>

namespace gw {

namespace {

constexpr std::array<std::string_view, 12> kReadAtStart = {
    "Title",    "ServerAddr",   "ServerPort",   "GateAddr",  "GatePort",  "CheckServerTimeOutTime",
    "Minimize", "LoginSrvAddr", "LoginSrvPort", "DBSrvAddr", "DBSrvPort", "WokerCount",
};

// Secrets are not written to logs or answers, even enciphered.
bool IsSecret(std::string_view Name) { return Name == "NetPassWord"; }

}  // namespace

bool TConfigReloadResult::RestartNeeded() const {
  return std::any_of(Changes.begin(), Changes.end(), [](const auto& c) { return c.AtNextStart; });
}

bool SettingTakesEffectAtStart(std::string_view Name) {
  return std::find(kReadAtStart.begin(), kReadAtStart.end(), Name) != kReadAtStart.end();
}

std::vector<TSettingChange> CompareSettings(const TuSerialObject& Old, const TuSerialObject& New) {
  std::vector<TSettingChange> changes;
  for (const TSerialProperty& p : New.Properties()) {
    const TSerialProperty* before = Old.FindProperty(p.Name);
    if (before == nullptr) continue;
    std::string oldText = before->GetText(Old);
    std::string newText = p.GetText(New);
    if (oldText == newText) continue;
    if (IsSecret(p.Name)) {
      oldText = oldText.empty() ? "(empty)" : "(set)";
      newText = newText.empty() ? "(empty)" : "(another)";
    }
    changes.push_back(
        {p.Name, std::move(oldText), std::move(newText), SettingTakesEffectAtStart(p.Name)});
  }
  return changes;
}

std::string FormatSettingChange(const TSettingChange& Change) {
  auto shown = [](const std::string& text) { return text.empty() ? std::string("\"\"") : text; };
  std::string out = Change.Name + " " + shown(Change.Old) + " → " + shown(Change.New);
  if (Change.AtNextStart) out += " (takes effect at the next start)";
  return out;
}

}  // namespace gw
