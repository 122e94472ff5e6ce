// A spin field's range and step, and the rule that pulls a value into it. Dialog models use it
// to decide what a field shows and stores without a widget; the widgets copy it onto a QSpinBox.
// Plain value type: safe to use from any thread.
#pragma once

#include <climits>

namespace gw {

struct TSpinRange {
  int Min = 0;
  int Max = 0;
  int Step = 1;

  // A field whose minimum equals its maximum has no range at all: any whole number stands.
  bool HasRange() const { return Min != Max; }
  // The lowest and highest value the field accepts, for a widget's own limits.
  int Lowest() const { return HasRange() ? Min : INT_MIN; }
  int Highest() const { return HasRange() ? Max : INT_MAX; }

  // The value pulled into the range (unchanged for a field without range).
  int Clamp(int value) const;
};

}  // namespace gw
