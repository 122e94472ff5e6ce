#include "common/InputEndWatch.h"

namespace gw {

// Linux programs are stopped by signals.
struct TInputEndWatch::TShared {};

TInputEndWatch::TInputEndWatch(std::function<void()> Stop) { (void)Stop; }

TInputEndWatch::~TInputEndWatch() = default;

}  // namespace gw
