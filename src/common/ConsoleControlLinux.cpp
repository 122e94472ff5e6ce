#include "common/ConsoleControl.h"

namespace gw {

// Signals (SIGTERM, SIGINT, SIGHUP) carry these actions here; there are no console events.
bool TConsoleControl::SetSystemHandler(bool) { return false; }

}  // namespace gw
