#include "net/DescriptorLimit.h"

namespace gw {

// Sockets are kernel handles on Windows, bounded by memory rather than by a per-process
// limit the process could raise: nothing to do, and no figure to report.
TDescriptorLimit RaiseDescriptorLimit() { return {}; }

}  // namespace gw
