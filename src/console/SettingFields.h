// A dialog's fields bound to the configuration's settings by property name: one table line per
// field says which published property it shows and stores, so a dialog model copies its fields
// in and out through the configuration's own property table instead of naming every setting
// twice. An integer field may carry the spin range its value is pulled into when shown; an
// integer field bound to an enumeration holds the value's ordinal (a value outside the names
// stores nothing, the setting keeps its value).
// Pure functions over their arguments; used on the user-interface thread.
#pragma once

#include <span>
#include <string>
#include <variant>
#include <vector>

#include "config/SerialObject.h"
#include "console/SpinRange.h"

namespace gw {

template <class TFields>
struct TSettingField {
  using TMember = std::variant<std::string TFields::*, int TFields::*, bool TFields::*>;
  const char* Property;
  TMember Member;
  TSpinRange Range{};  // Min == Max: shown as stored
};

namespace setting_fields_detail {

// The property's value as the dialog field's type.
std::string ReadText(const TuSerialObject& config, const char* property);
int ReadInteger(const TuSerialObject& config, const char* property);
bool ReadBoolean(const TuSerialObject& config, const char* property);
void WriteText(TuSerialObject& config, const char* property, const std::string& value);
void WriteInteger(TuSerialObject& config, const char* property, int value);
void WriteBoolean(TuSerialObject& config, const char* property, bool value);

}  // namespace setting_fields_detail

// Fills the fields from the settings their table lines name.
template <class TFields>
void LoadSettingFields(const TuSerialObject& config, std::span<const TSettingField<TFields>> table,
                       TFields& fields) {
  namespace d = setting_fields_detail;
  for (const TSettingField<TFields>& line : table) {
    if (auto* text = std::get_if<std::string TFields::*>(&line.Member)) {
      fields.*(*text) = d::ReadText(config, line.Property);
    } else if (auto* number = std::get_if<int TFields::*>(&line.Member)) {
      fields.*(*number) = line.Range.Clamp(d::ReadInteger(config, line.Property));
    } else if (auto* flag = std::get_if<bool TFields::*>(&line.Member)) {
      fields.*(*flag) = d::ReadBoolean(config, line.Property);
    }
  }
}

// Stores the fields into the settings their table lines name.
template <class TFields>
void StoreSettingFields(const TFields& fields, std::span<const TSettingField<TFields>> table,
                        TuSerialObject& config) {
  namespace d = setting_fields_detail;
  for (const TSettingField<TFields>& line : table) {
    if (auto* text = std::get_if<std::string TFields::*>(&line.Member)) {
      d::WriteText(config, line.Property, fields.*(*text));
    } else if (auto* number = std::get_if<int TFields::*>(&line.Member)) {
      d::WriteInteger(config, line.Property, fields.*(*number));
    } else if (auto* flag = std::get_if<bool TFields::*>(&line.Member)) {
      d::WriteBoolean(config, line.Property, fields.*(*flag));
    }
  }
}

}  // namespace gw
