#include "core/TakeOver.h"

#include <cstdio>
#include <optional>

#include "common/PeerLimits.h"
#include "common/Platform.h"

namespace gw {

TTakeOver::~TTakeOver() {
  TUpgradeChannel::CloseSockets(FSockets.Client);
  TUpgradeChannel::CloseSockets(FSockets.Metrics);
}

bool TTakeOver::Request(const std::string& AWorkFolder, std::string& AError) {
  std::string error;
  FChannel = TUpgradeChannel::Connect(AWorkFolder, error);
  if (!FChannel) {
    AError = "no running gateway found for the work folder " + AWorkFolder + ": " + error;
    return false;
  }
  if (!FChannel->Send("HELLO 1 " + std::to_string(CurrentProcessId()))) {
    AError = "the running gateway of " + AWorkFolder + " could not be asked";
    return false;
  }
  bool timedOut = false;
  std::optional<TUpgradeMessage> answer =
      FChannel->Receive(limits::kTakeOverReplyWaitMs, &timedOut);
  if (!answer) {
    if (timedOut) CountLimitBreach(TLimitBreach::lbTakeOverWait);
    AError = "the running gateway of " + AWorkFolder +
             (timedOut ? " did not answer within " +
                             std::to_string(limits::kTakeOverReplyWaitMs / 1000) + " s"
                       : " closed the connection without an answer");
    return false;
  }
  if (answer->Text.starts_with("REFUSED ")) {
    TUpgradeChannel::CloseSockets(answer->Sockets);
    AError = "the running gateway refused: " + answer->Text.substr(8);
    return false;
  }
  unsigned pid = 0;
  size_t clients = 0;
  if (std::sscanf(answer->Text.c_str(), "LISTENERS %u %zu", &pid, &clients) != 2 || clients == 0 ||
      clients > answer->Sockets.size()) {
    TUpgradeChannel::CloseSockets(answer->Sockets);
    AError = "the running gateway answered something else than its listening sockets";
    return false;
  }
  FOldPid = pid;
  FSockets.Client.assign(answer->Sockets.begin(),
                         answer->Sockets.begin() + static_cast<std::ptrdiff_t>(clients));
  FSockets.Metrics.assign(answer->Sockets.begin() + static_cast<std::ptrdiff_t>(clients),
                          answer->Sockets.end());
  return true;
}

TGateWaySocketServer::TListenSockets TTakeOver::TakeSockets() {
  TGateWaySocketServer::TListenSockets sockets = std::move(FSockets);
  FSockets = {};
  return sockets;
}

bool TTakeOver::AskDrain(std::string& AError) {
  if (!FChannel || !FChannel->Send("DRAIN")) {
    AError = "the drain request could not be sent";
    return false;
  }
  bool timedOut = false;
  std::optional<TUpgradeMessage> answer =
      FChannel->Receive(limits::kTakeOverReplyWaitMs, &timedOut);
  if (answer) TUpgradeChannel::CloseSockets(answer->Sockets);
  FChannel.reset();
  if (answer && answer->Text == "DRAINING") return true;
  if (timedOut) CountLimitBreach(TLimitBreach::lbTakeOverWait);
  AError = answer ? answer->Text : (timedOut ? "no answer" : "the connection ended");
  return false;
}

}  // namespace gw
