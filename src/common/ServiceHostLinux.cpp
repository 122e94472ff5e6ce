#include "common/ServiceHost.h"

namespace gw {

// No Service Control Manager here: systemd runs the gateway as it is (see ServiceNotify.h).

bool TServiceHost::Install(const TInstallOptions&, std::string& Error) {
  Error = kUnavailableText;
  return false;
}

bool TServiceHost::Uninstall(const std::string&, std::string& Error) {
  Error = kUnavailableText;
  return false;
}

bool TServiceHost::Start(const std::string&, std::string& Error) {
  Error = kUnavailableText;
  return false;
}

bool TServiceHost::Control(const std::string&, uint32_t, std::string& Error) {
  Error = kUnavailableText;
  return false;
}

bool TServiceHost::Query(const std::string&, TServiceStatus&, std::string& Error) {
  Error = kUnavailableText;
  return false;
}

int TServiceHost::Run(const std::string&, THandlers, std::string& Error) {
  Error = kUnavailableText;
  return kFailedExitCode;
}

void TServiceHost::ReportEventError(const std::string&, const std::string&) {}

bool TServiceHost::Available() { return false; }

}  // namespace gw
