// TReadResult: what a pure protocol reader returns, either the value it read or the named
// reason it refused the bytes (an enumeration of the reader's own; each reader gives the
// reasons a text with a ...ReasonName function). A caller acts on the value or counts and
// logs the reason, one line per reason. Plain data: any thread.
#pragma once

#include <optional>
#include <utility>

namespace gw {

template <typename TValue, typename TReason>
class TReadResult {
 public:
  TReadResult(TValue Value) : FValue(std::move(Value)) {}  // NOLINT: a value reads as success
  TReadResult(TReason Reason) : FReason(Reason) {}         // NOLINT: a reason reads as refusal

  bool Ok() const { return FValue.has_value(); }
  explicit operator bool() const { return Ok(); }
  // Only when Ok().
  const TValue& Value() const { return *FValue; }
  const TValue& operator*() const { return *FValue; }
  const TValue* operator->() const { return &*FValue; }
  // Only when !Ok().
  TReason Reason() const { return FReason; }

 private:
  std::optional<TValue> FValue;
  TReason FReason{};
};

}  // namespace gw
