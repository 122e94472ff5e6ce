// What a reload of the settings did: whether it took, which settings changed (old and new value)
// and which of those wait for the next service start, with the problems found in the files.
// A value an admin interface can hand back as it is.
//
// Pure functions over their arguments; safe from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/SerialObject.h"
#include "config/SettingsValidation.h"

namespace gw {

struct TSettingChange {
  std::string Name;
  std::string Old;  // file forms; a pass word shows only that it changed
  std::string New;
  bool AtNextStart = false;  // read when the service starts; the running service keeps the old

  bool operator==(const TSettingChange&) const = default;
};

struct TConfigReloadResult {
  bool Ok = false;  // false: nothing of the files was applied, every old setting stays
  std::vector<TSettingChange> Changes;
  TSettingsProblems Problems;

  // Whether a changed setting takes effect only at the next start.
  bool RestartNeeded() const;
};

// Settings the running service read when it started (listen address and port, server addresses,
// worker count, the logic link's check time, the window's title and minimising).
bool SettingTakesEffectAtStart(std::string_view Name);

// The published properties whose file forms differ, in file order.
std::vector<TSettingChange> CompareSettings(const TuSerialObject& Old, const TuSerialObject& New);

// "MaxConnOfIPaddr 2 → 3", and " (takes effect at the next start)" when it waits for one.
std::string FormatSettingChange(const TSettingChange& Change);

}  // namespace gw
