#include "console/SettingFields.h"

#include <stdexcept>

namespace gw::setting_fields_detail {

namespace {

// A table line naming a setting the configuration does not publish is a programming error.
const TSerialProperty& Property(const TuSerialObject& config, const char* name) {
  const TSerialProperty* p = config.FindProperty(name);
  if (p == nullptr) throw std::logic_error(std::string("no setting named ") + name);
  return *p;
}

}  // namespace

std::string ReadText(const TuSerialObject& config, const char* property) {
  return Property(config, property).GetText(config);
}

int ReadInteger(const TuSerialObject& config, const char* property) {
  const TSerialProperty& p = Property(config, property);
  const std::string text = p.GetText(config);
  if (p.Kind == skEnumeration) {
    for (size_t i = 0; i < p.ValueNames.size(); ++i)
      if (text == p.ValueNames[i]) return static_cast<int>(i);
  }
  return SerialIntegerValue(text);
}

bool ReadBoolean(const TuSerialObject& config, const char* property) {
  return Property(config, property).GetText(config) == "True";
}

void WriteText(TuSerialObject& config, const char* property, const std::string& value) {
  Property(config, property).SetText(config, value);
}

void WriteInteger(TuSerialObject& config, const char* property, int value) {
  const TSerialProperty& p = Property(config, property);
  if (p.Kind == skEnumeration) {
    // No value name (e.g. no radio button checked): the setting keeps its value.
    if (value >= 0 && static_cast<size_t>(value) < p.ValueNames.size())
      p.SetText(config, p.ValueNames[static_cast<size_t>(value)]);
    return;
  }
  p.SetText(config, SerialIntegerText(value));
}

void WriteBoolean(TuSerialObject& config, const char* property, bool value) {
  Property(config, property).SetText(config, value ? "True" : "False");
}

}  // namespace gw::setting_fields_detail
