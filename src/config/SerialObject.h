// Base of the serialisable objects: a class publishes its settings as one table of named, typed
// properties (TSerialProperty), and this base writes them to XML, reads them back by name and
// puts them to their defaults. Adding a setting to a derived class is one table line.
//
// Not thread-safe: an object is loaded, edited and saved on one thread (the user-interface
// thread for the configuration); nothing here takes a lock.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "config/TextFile.h"

namespace gw {

class TuSerialObject;

enum TSerialKind : uint8_t { skString, skInteger, skBoolean, skEnumeration };

// An enumeration stored by its value names declares them with an overload of
// `SerialValueNames(TEnum)` returning the names in value order (found by argument lookup).
template <class TEnum>
concept SerialEnumeration = std::is_enum_v<TEnum> && requires(TEnum e) {
  { SerialValueNames(e) } -> std::convertible_to<std::span<const char* const>>;
};

// One published property: its name, its kind, and how to read, write and default it on an
// object of the class that declares it.
struct TSerialProperty {
  std::string Name;
  TSerialKind Kind = skString;
  // The value in its file form ("True", "mBlock", "-5", the text itself).
  std::function<std::string(const TuSerialObject&)> GetText;
  // Takes a value in its file form; false (object unchanged) when a boolean or enumeration
  // text matches no value name. Integers that are not whole numbers become 0.
  std::function<bool(TuSerialObject&, std::string_view)> SetText;
  // Puts the property to its default; empty for a property that LoadDefault leaves alone.
  std::function<void(TuSerialObject&)> SetDefault;
  // An enumeration's value names in value order (its file forms); empty for other kinds.
  std::span<const char* const> ValueNames;
};

using TSerialPropertyList = std::vector<TSerialProperty>;

// Conversions of the file forms, shared by every property of a kind.
std::string SerialIntegerText(int32_t Value);
int32_t SerialIntegerValue(std::string_view Text);  // 0 when not a whole 32-bit number

namespace serial_detail {

template <class TValue>
constexpr TSerialKind KindOf() {
  if constexpr (std::is_same_v<TValue, std::string>)
    return skString;
  else if constexpr (std::is_same_v<TValue, int32_t>)
    return skInteger;
  else if constexpr (std::is_same_v<TValue, bool>)
    return skBoolean;
  else
    return skEnumeration;
}

template <class TValue>
std::string ToText(const TValue& Value) {
  if constexpr (std::is_same_v<TValue, std::string>) {
    return Value;
  } else if constexpr (std::is_same_v<TValue, int32_t>) {
    return SerialIntegerText(Value);
  } else if constexpr (std::is_same_v<TValue, bool>) {
    return Value ? "True" : "False";
  } else {
    std::span<const char* const> names = SerialValueNames(Value);
    const auto index = static_cast<size_t>(Value);
    return index < names.size() ? names[index] : SerialIntegerText(static_cast<int32_t>(index));
  }
}

template <class TValue>
bool FromText(std::string_view Text, TValue& Value) {
  if constexpr (std::is_same_v<TValue, std::string>) {
    Value.assign(Text);
  } else if constexpr (std::is_same_v<TValue, int32_t>) {
    Value = SerialIntegerValue(Text);
  } else if constexpr (std::is_same_v<TValue, bool>) {
    if (SameTextIgnoringCase(Text, "False")) {
      Value = false;
    } else if (SameTextIgnoringCase(Text, "True")) {
      Value = true;
    } else {
      return false;
    }
  } else {
    std::span<const char* const> names = SerialValueNames(Value);
    for (size_t i = 0; i < names.size(); ++i) {
      if (SameTextIgnoringCase(Text, names[i])) {
        Value = static_cast<TValue>(i);
        return true;
      }
    }
    return false;
  }
  return true;
}

}  // namespace serial_detail

template <class TValue>
concept SerialValue = std::is_same_v<TValue, std::string> || std::is_same_v<TValue, int32_t> ||
    std::is_same_v<TValue, bool> || SerialEnumeration<TValue>;

// A table line: Published("Title", &TMyConfig::Title, "default") publishes the field with a
// fixed default; a callable default (e.g. a lambda) is evaluated each time defaults are set;
// without a default the property keeps its value on LoadDefault.
template <class TObject, SerialValue TValue>
TSerialProperty Published(std::string Name, TValue TObject::*Field) {
  static_assert(std::is_base_of_v<TuSerialObject, TObject>);
  TSerialProperty p;
  p.Name = std::move(Name);
  p.Kind = serial_detail::KindOf<TValue>();
  p.GetText = [Field](const TuSerialObject& o) {
    return serial_detail::ToText(static_cast<const TObject&>(o).*Field);
  };
  p.SetText = [Field](TuSerialObject& o, std::string_view text) {
    return serial_detail::FromText(text, static_cast<TObject&>(o).*Field);
  };
  if constexpr (SerialEnumeration<TValue>) p.ValueNames = SerialValueNames(TValue{});
  return p;
}

template <class TObject, SerialValue TValue, class TDefault>
TSerialProperty Published(std::string Name, TValue TObject::*Field, TDefault Default) {
  TSerialProperty p = Published(std::move(Name), Field);
  if constexpr (std::is_invocable_r_v<TValue, TDefault>) {
    p.SetDefault = [Field, Default](TuSerialObject& o) {
      static_cast<TObject&>(o).*Field = Default();
    };
  } else {
    p.SetDefault = [Field, value = TValue(Default)](TuSerialObject& o) {
      static_cast<TObject&>(o).*Field = value;
    };
  }
  return p;
}

// Appends the lines of a derived class to those of its base.
TSerialPropertyList ExtendProperties(const TSerialPropertyList& Base,
                                     std::initializer_list<TSerialProperty> Own);

class TuSerialObject {
 public:
  virtual ~TuSerialObject() = default;

  // The element name of the saved object: the class name of the most derived class.
  virtual std::string_view ClassName() const = 0;
  // Every published property in file order, those of base classes first.
  virtual const TSerialPropertyList& Properties() const = 0;

  // Puts every property that has a default to it.
  virtual void LoadDefault();

  // The published property of that name (letter case ignored, as the file reader matches
  // elements); null when the class publishes none.
  const TSerialProperty* FindProperty(std::string_view Name) const;

  // Creates or truncates the file and writes the object. Throws ESettingsFileError when the
  // file cannot be created or written.
  virtual void SaveToXMLFile(const std::string& AXMLFile) const;
  // A missing file is first created with the current values. Throws ESettingsFileError when the
  // file exists but cannot be read; nothing changes then. Problems inside the document never
  // fail: the properties whose elements could be read take their values, the rest stay.
  virtual void LoadFromXMLFile(const std::string& AXMLFile);

  // The same writing and reading on an open stream. SaveToStream throws ESettingsFileError when
  // the stream fails; LoadFromStream reads what the stream holds.
  virtual void SaveToStream(std::ostream& AStream) const;
  virtual void LoadFromStream(std::istream& AStream);

  // The file form of the object, and the reading of a document held in memory.
  std::string SaveToText() const;
  void LoadFromText(std::string_view Document);

 protected:
  TuSerialObject() = default;
  TuSerialObject(const TuSerialObject&) = default;
  TuSerialObject& operator=(const TuSerialObject&) = default;

  // Puts the properties of one class level to their defaults: each constructor runs this for
  // its own lines, so a new object holds its defaults, applied from the base class downward.
  void LoadDefaults(std::span<const TSerialProperty> Own);
};

}  // namespace gw
