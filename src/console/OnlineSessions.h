// What the console needs to know about the connected clients: a snapshot of the live sessions,
// a way to close one of them by its handle and a way to close every session of one address. The
// main window implements it over the current gateway server; the online users window and the IP
// filter dialog use it. Implementations must be safe to call from the user-interface thread while
// the service runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gate/GateWayDefine.h"

namespace gw {

struct TOnlineSession {
  uint32_t SessionHandle = 0;
  std::string Address;
  TSessionStep Step = ssNone;
  bool TokenChecked = false;
};

class IOnlineSessions {
 public:
  virtual ~IOnlineSessions() = default;
  // The live sessions, in worker and slot order; empty when the service is not running.
  virtual std::vector<TOnlineSession> ListSessions() = 0;
  // Closes the one session with exactly this handle; false when it is gone already.
  virtual bool CloseSession(uint32_t sessionHandle, const std::string& reason) = 0;
  // Closes every session whose client address equals `address`; returns how many were closed.
  virtual int CloseSessionsOf(const std::string& address, const std::string& reason) = 0;
};

// The "当前状态" text of a session.
std::string SessionStateText(const TOnlineSession& session);

}  // namespace gw
