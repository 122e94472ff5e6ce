// Tells a service manager (systemd's Type=notify) about the service's state through
// the datagram socket named by $NOTIFY_SOCKET ("READY=1", "RELOADING=1", "STOPPING=1",
// "STATUS=…"). Without that variable nothing is sent. Safe from any thread.
#pragma once

#include <string_view>

namespace gw {

// Sends one state message; false when there is no manager or the send failed.
bool NotifyServiceManager(std::string_view state);

}  // namespace gw
