// Who besides the program's own user may read a private key file. A TLS key readable by
// other users of the host lets any of them impersonate the server; the gateway warns at
// load so the operator can tighten it (it still serves: refusing would take a running
// service down over a permission slip).
#pragma once

#include <string>

namespace gw {

// Empty when only the owner (and the program's own group) may read `path`; otherwise a
// short description for a warning, e.g. "mode 0644: readable by others". Also empty where
// the platform has no such permission bits to judge (Windows: access lists instead).
std::string KeyFileOpenness(const std::string& path);

}  // namespace gw
