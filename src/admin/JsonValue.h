// TJsonValue: one JSON value (RFC 8259) read from a request body of the admin API. The
// reader is strict: one value, nothing but white space after it, strings of valid UTF-8
// (escapes included, surrogates paired), nesting at most kMaxDepth deep. A failure says
// where and why ("offset 12: expected ':'"), for the 400 answer.
//
// Thread safety: none needed; a value is built once and then only read.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gw {

class TJsonValue {
 public:
  enum class TKind { jkNull, jkBool, jkNumber, jkString, jkArray, jkObject };
  static constexpr int kMaxDepth = 16;

  // The value `text` holds, or nullopt with `error` set.
  static std::optional<TJsonValue> Parse(std::string_view text, std::string& error);

  TKind Kind() const { return FKind; }
  bool IsObject() const { return FKind == TKind::jkObject; }
  bool IsString() const { return FKind == TKind::jkString; }
  bool AsBool() const { return FBool; }
  double AsNumber() const { return FNumber; }
  const std::string& AsString() const { return FString; }
  const std::vector<TJsonValue>& Items() const { return FItems; }
  const std::map<std::string, TJsonValue>& Members() const { return FMembers; }
  // The member `name` of an object, or null (also for a value that is no object).
  const TJsonValue* Find(const std::string& name) const;

 private:
  friend class TJsonReader;
  TKind FKind = TKind::jkNull;
  bool FBool = false;
  double FNumber = 0;
  std::string FString;
  std::vector<TJsonValue> FItems;
  std::map<std::string, TJsonValue> FMembers;
};

}  // namespace gw
