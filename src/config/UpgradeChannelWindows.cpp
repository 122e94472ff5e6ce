#include "config/UpgradeChannel.h"

namespace gw {

namespace {

constexpr char kNotSupported[] =
    "the listener hand-over (--take-over) is not supported on Windows: a listening socket "
    "cannot be passed to another process over the control channel there; stop the running "
    "gateway and start the new one, or run two gateways behind a balancer";

}  // namespace

bool TUpgradeChannel::Supported(std::string* AWhyNot) {
  if (AWhyNot) *AWhyNot = kNotSupported;
  return false;
}

std::unique_ptr<TUpgradeChannel> TUpgradeChannel::Connect(const std::string&, std::string& AError) {
  AError = kNotSupported;
  return nullptr;
}

TUpgradeChannel::TUpgradeChannel(int ASocket, int AWakeFd) : FSocket(ASocket), FWakeFd(AWakeFd) {}

TUpgradeChannel::~TUpgradeChannel() = default;

bool TUpgradeChannel::PeerIsTrusted() const { return false; }

bool TUpgradeChannel::Send(std::string_view, const std::vector<int>&) { return false; }

std::optional<TUpgradeMessage> TUpgradeChannel::Receive(int, bool* ATimedOut) {
  if (ATimedOut) *ATimedOut = false;
  return std::nullopt;
}

void TUpgradeChannel::CloseSockets(std::vector<int>& ASockets) { ASockets.clear(); }

}  // namespace gw
