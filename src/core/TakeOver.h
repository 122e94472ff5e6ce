// TTakeOver: the new process's side of a binary upgrade by listener hand-over (see
// TListenerHandOff for the conversation). Request finds the gateway serving the work folder
// and receives its listening sockets; the service then starts on them without accepting;
// once its logic link is up, AskDrain has the old gateway stop accepting and drain, and the
// new one accepts from then on.
//
// Thread safety: one owner thread.
#pragma once

#include <memory>
#include <string>

#include "config/UpgradeChannel.h"
#include "core/GateWayServer.h"

namespace gw {

class TTakeOver {
 public:
  TTakeOver() = default;
  ~TTakeOver();  // closes sockets not taken
  TTakeOver(const TTakeOver&) = delete;
  TTakeOver& operator=(const TTakeOver&) = delete;

  // Connects to the gateway serving AWorkFolder and receives its listening sockets. False
  // with AError (one line for an operator) when there is none, it refuses, or it is silent.
  bool Request(const std::string& AWorkFolder, std::string& AError);
  // The sockets received; the caller owns them from then on.
  TGateWaySocketServer::TListenSockets TakeSockets();
  uint32_t OldProcessId() const { return FOldPid; }
  // Asks the old gateway to stop accepting and drain; false with AError when it did not say it
  // does (it may have ended meanwhile: the sockets are this process's either way).
  bool AskDrain(std::string& AError);

 private:
  std::unique_ptr<TUpgradeChannel> FChannel;
  TGateWaySocketServer::TListenSockets FSockets;
  uint32_t FOldPid = 0;
};

}  // namespace gw
