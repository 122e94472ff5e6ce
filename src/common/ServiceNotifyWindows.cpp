#include "common/ServiceNotify.h"

namespace gw {

// Windows has no systemd: a service there reports its state to the Service Control Manager
// through the service's own status handle, which is the service runner's business. Nothing
// is sent from here.
bool NotifyServiceManager(std::string_view) { return false; }

}  // namespace gw
