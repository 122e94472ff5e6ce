// The simulated login server: accepts the gateway's login link and plays the server's part of
// it. Keep-alives ("%--$") are answered with a control frame ("%++$"); an open ("%N") is greeted
// with a data frame; client data ("%D") starting with kSimLoginPrefix is answered with the
// hand-over message (530), data starting with kSimLoginKickPrefix with a close control frame,
// anything else with a reply that repeats it; closes ("%C") are noted.
//
// Sessions are keyed by link and handle (two gateway processes linked at once during a binary
// upgrade may use equal handles). Data or a close for a handle that is open on another link but
// not on the one it came by is counted as misrouted; for a handle open on no link, as unknown
// (a session already handed over to the logic server, or one of a lost link).
//
// Start/Stop on the owner's thread; the counters are safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <set>
#include <string>
#include <utility>

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
  uint64_t SessionsOpened() const { return FSessionsOpened.load(); }
  uint64_t Misrouted() const { return FMisrouted.load(); }
  uint64_t UnknownHandles() const { return FUnknownHandles.load(); }

  std::string Stats() const override;

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
  // Whether Handle has a session on Conn; when not, the frame is counted and reported.
  bool HasSession(TConnId Conn, uint32_t Handle, const char* What);

  TLoginServerSimOptions FOptions;
  std::atomic<uint64_t> FLinks{0};
  std::atomic<uint64_t> FSessionCount{0};
  std::atomic<uint64_t> FHandOvers{0};
  std::atomic<uint64_t> FKeepAlives{0};
  std::atomic<uint64_t> FLateSent{0};
  std::atomic<uint64_t> FGarbageSent{0};
  std::atomic<uint64_t> FSessionsOpened{0};
  std::atomic<uint64_t> FMisrouted{0};
  std::atomic<uint64_t> FUnknownHandles{0};
  uint32_t FTimerTurns = 0;  // server thread only

  // Server thread only: open sessions as (handle, link), so that one handle's links lie together.
  std::set<std::pair<uint32_t, TConnId>> FSessions;
};

}  // namespace gw
