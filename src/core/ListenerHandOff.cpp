#include "core/ListenerHandOff.h"

#include <cstdio>
#include <optional>
#include <vector>

#include "common/PeerLimits.h"
#include "common/Platform.h"
#include "core/ServiceControl.h"
#include "logging/Logger.h"

namespace gw {

TListenerHandOff::TListenerHandOff(TServiceControl& Service, const std::string& AWorkFolder)
    : FService(Service),
      FListener(std::make_unique<TUpgradeListener>(
          AWorkFolder,
          [](const std::string& text, TLogLevel level) { TLogger::AddLog(text, level); })) {
  FListener->Start([this](TUpgradeChannel& channel) { Serve(channel); });
}

TListenerHandOff::~TListenerHandOff() { FListener->Stop(); }

void TListenerHandOff::Serve(TUpgradeChannel& Channel) {
  bool timedOut = false;
  std::optional<TUpgradeMessage> hello = Channel.Receive(limits::kTakeOverReplyWaitMs, &timedOut);
  unsigned version = 0, pid = 0;
  if (!hello || std::sscanf(hello->Text.c_str(), "HELLO %u %u", &version, &pid) != 2) {
    if (timedOut) CountLimitBreach(TLimitBreach::lbTakeOverWait);
    if (hello) TUpgradeChannel::CloseSockets(hello->Sockets);
    TLogger::LogWarning("Take-over: a request without a valid greeting was ignored");
    return;
  }
  TUpgradeChannel::CloseSockets(hello->Sockets);
  const std::string who = "process " + std::to_string(pid);
  if (version != 1) {
    Channel.Send("REFUSED this gateway speaks version 1 of the hand-over");
    return;
  }
  TGateWaySocketServer::TListenSockets sockets = FService.ListenSocketsForHandOver();
  if (sockets.Client.empty()) {
    TUpgradeChannel::CloseSockets(sockets.Metrics);
    Channel.Send("REFUSED the running gateway (pid " + std::to_string(CurrentProcessId()) +
                 ") is not serving: it drains, stops or has handed its listeners over already");
    TLogger::LogWarning("Take-over by " + who + " refused: this gateway is not serving");
    return;
  }
  std::vector<int> all = sockets.Client;
  all.insert(all.end(), sockets.Metrics.begin(), sockets.Metrics.end());
  const bool sent = Channel.Send("LISTENERS " + std::to_string(CurrentProcessId()) + " " +
                                     std::to_string(sockets.Client.size()),
                                 all);
  const size_t count = all.size();
  TUpgradeChannel::CloseSockets(all);  // the new process holds its own copies now
  if (!sent) {
    TLogger::LogWarning("Take-over by " + who + ": the listening sockets could not be sent");
    return;
  }
  TLogger::LogInfo("Take-over requested by " + who + ": listening sockets handed over (" +
                   std::to_string(count) + "); accepting on until it is ready");
  // The new process first brings its links up; it may take that long before it asks.
  std::optional<TUpgradeMessage> drain =
      Channel.Receive(limits::kTakeOverLinkWaitMs + limits::kTakeOverReplyWaitMs, &timedOut);
  if (drain) TUpgradeChannel::CloseSockets(drain->Sockets);
  if (!drain || drain->Text != "DRAIN") {
    if (timedOut) CountLimitBreach(TLimitBreach::lbTakeOverWait);
    TLogger::LogWarning("Take-over by " + who + " abandoned before it served: this gateway " +
                        "goes on serving");
    return;
  }
  // The name goes first: the new process listens on it as soon as it hears the answer.
  FListener->Retire();
  if (!FService.HandOverListeners("take-over by " + who)) {
    Channel.Send("REFUSED the running gateway stops already");
    return;
  }
  TLogger::LogInfo("Take-over: " + who + " accepts the new clients now; this gateway drains");
  Channel.Send("DRAINING");
}

}  // namespace gw
