// The simulated login server: accepts the gateway's login link and plays the server's part of
// it. Keep-alives ("%--$") are answered with a control frame ("%++$"); an open ("%N") is greeted
// with a data frame; client data ("%D") starting with kSimLoginPrefix is answered with the
// hand-over message (530), data starting with kSimLoginKickPrefix with a close control frame,
// anything else with a reply that repeats it; closes ("%C") are noted.
//
// Start/Stop on the owner's thread; the counters are safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <set>
#include <string>

#include "LoginFrame.h"
#include "SimTcpServer.h"

namespace gw {

struct TLoginServerSimOptions {
  // When false, keep-alives go unanswered (to show the gateway's keep-alive time-out).
  bool AnswerKeepAlive = true;
  // Faults: a session closed by its client gets a late hand-over (a frame for a closed
  // handle, naming nobody's login); a burst of garbage goes to every link this often
  // (a frame without "%", an unknown control, data for handle 0 and for a non-number).
  bool LateFrames = false;
  uint32_t GarbageEveryMs = 0;
};

class TLoginServerSim : public TSimTcpServer {
 public:
  TLoginServerSim(TSimLog& Log, TLoginServerSimOptions Options = {});
  ~TLoginServerSim() override;

  uint64_t Links() const { return FLinks.load(); }
  uint64_t Sessions() const { return FSessionCount.load(); }
  uint64_t HandOvers() const { return FHandOvers.load(); }
  uint64_t KeepAlives() const { return FKeepAlives.load(); }
  uint64_t LateSent() const { return FLateSent.load(); }
  uint64_t GarbageSent() const { return FGarbageSent.load(); }

  // The late hand-over a closed session gets under LateFrames.
  static std::string LateHandOverMessage(uint32_t Handle);

  // The greeting a new session receives (its first word is kSimGreetIdent).
  static std::string GreetingMessage(uint32_t Handle);

 protected:
  void OnOpen(TConnId Conn, const std::string& Peer) override;
  size_t OnReceive(TConnId Conn, std::string_view Data) override;
  void OnClose(TConnId Conn) override;
  void OnTimer() override;

 private:
  void HandleFrame(TConnId Conn, std::string_view Frame);
  void HandleData(TConnId Conn, const TLoginFrame& F);

  TLoginServerSimOptions FOptions;
  std::atomic<uint64_t> FLinks{0};
  std::atomic<uint64_t> FSessionCount{0};
  std::atomic<uint64_t> FHandOvers{0};
  std::atomic<uint64_t> FKeepAlives{0};
  std::atomic<uint64_t> FLateSent{0};
  std::atomic<uint64_t> FGarbageSent{0};
  uint32_t FTimerTurns = 0;  // server thread only

  std::set<uint32_t> FSessions;  // server thread only
};

}  // namespace gw
