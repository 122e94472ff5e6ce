#include "console/SpinRange.h"

namespace gw {

int TSpinRange::Clamp(int value) const {
  if (!HasRange()) return value;
  if (value < Min) return Min;
  if (value > Max) return Max;
  return value;
}

}  // namespace gw
