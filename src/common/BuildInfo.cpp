#include "common/BuildInfo.h"

#include <openssl/crypto.h>

#include "BuildInfoValues.h"

namespace gw {

std::string_view BuildVersion() { return GW_BUILD_VERSION; }
std::string_view BuildCommit() { return GW_BUILD_COMMIT; }
std::string_view BuildDate() { return GW_BUILD_DATE; }

std::string_view OpenSslVersionText() { return OpenSSL_version(OPENSSL_VERSION); }

std::string BuildInfoText() {
  return std::string(BuildVersion()) + " (commit " + std::string(BuildCommit()) + ", built " +
         std::string(BuildDate()) + ")";
}

}  // namespace gw
