// The build's identity, for --version, the log's start lines and the metrics: the version,
// the commit it was built from (12 hex digits, "-dirty" when the work tree had changes;
// "unknown" when built without git) and the build date (UTC, YYYY-MM-DD). Taken from git
// at every build (cmake/GateWayBuildInfo.cmake). Safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace gw {

std::string_view BuildVersion();
std::string_view BuildCommit();
std::string_view BuildDate();
// The OpenSSL library the program runs with, e.g. "OpenSSL 3.0.15 3 Sep 2024".
std::string_view OpenSslVersionText();
// "1.0.0 (commit 0123456789ab, built 2026-12-11)".
std::string BuildInfoText();

}  // namespace gw
