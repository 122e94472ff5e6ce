// The gateway server as the upstream server links see it. The logic server link
// and the login server link hold a reference to this interface and call it from
// their own threads to hand messages to sessions, change a session's step and
// close sessions.
//
// Thread safety: every operation is safe to call from any thread; none raises
// errors (a problem is logged and the call dropped). What changes a session (messages,
// direct output, a step change, a hand-over) is queued to the worker that owns it and
// takes effect in that worker's next turn, in the order the calls were made.
#pragma once

#include <cstdint>
#include <string>

#include "gate/GateWayDefine.h"

namespace gw {

class TGateWaySocketServerInterface {
 public:
  virtual ~TGateWaySocketServerInterface() = default;

  // Copies `size` bytes from `data` into a new session message and queues it on
  // the worker that owns the handle. The caller keeps its buffer.
  virtual void AddSessionMessage(uint32_t sessionHandle, int32_t ident, int32_t param,
                                 const void* data, uint32_t size) = 0;

  // Copies the bytes into a new session message that the session's worker puts onto
  // the session's outgoing queue, to be sent to the client unchanged.
  virtual void AddSessionMessageDirect(uint32_t sessionHandle, const void* data, uint32_t size) = 0;

  // Closes the session's client connection; `reason` goes to the log.
  // `remoteIPAddr` is not used.
  virtual void CloseSession(uint32_t sessionHandle, const std::string& remoteIPAddr,
                            const std::string& reason) = 0;

  // Moves the session to `sessionStep`; on a soft close the session gets a new
  // handle on the logic server.
  virtual void ChangeSessionStep(uint32_t sessionHandle, TSessionStep sessionStep,
                                 bool isGameSoftClose) = 0;

  // The login server hands the session over to the game: the step becomes ssGame, the
  // login server's message (`data`, sent to the client unchanged) goes onto the session's
  // outgoing queue, and then the logic server hears of the session, so nothing the logic
  // server answers can reach the client before that message. Nothing for a handle no
  // session holds. Links and tests that need no ordering may rely on this default.
  virtual void HandOverSession(uint32_t sessionHandle, const void* data, uint32_t size) {
    ChangeSessionStep(sessionHandle, ssGame, false);
    AddSessionMessageDirect(sessionHandle, data, size);
  }

  // Closes every session of every worker.
  virtual void CloseAllSession(const std::string& reason) = 0;

  // The client address of the session the handle names (as the transport
  // reported it when the connection opened), or an empty text when no session
  // holds that handle. The login server link needs the real address to put it
  // on a block list when the login server blocks or kicks a session.
  virtual std::string GetSessionRemoteAddr(uint32_t sessionHandle) = 0;
};

}  // namespace gw
