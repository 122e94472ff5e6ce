// The simulated game logic server: accepts the gateway's logic link and plays the server's part
// of that link. On connect it pushes a few configuration tables (ident 22); it answers every
// keep-alive (4) with a check (3), sends an echo (7) now and then and notes the gateway's reply;
// an open (1) is answered with the session's user index (6), speed times (8) and account and
// player name (27); client data (5) is echoed to the same session unchanged, except a default
// message with kSimKickIdent, which kicks the session (21).
//
// Sessions are keyed by link and handle: during a binary upgrade two gateway processes are
// linked at once and their handles may be equal, so a handle names a session only together
// with the link it was opened on. Client data for a handle that is open on another link but not
// on the one it came by is counted as misrouted (cross-talk between gateways shows up there);
// data or a close for a handle open on no link at all is counted as unknown (a close after a
// lost link is one).
//
// Start/Stop on the owner's thread; KickSession and the counters are safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "LogicPacket.h"
#include "SimTcpServer.h"

namespace gw {

struct TLogicServerSimOptions {
  bool PushTables = true;
  uint32_t CheckServerEveryMs = 3000;  // ident 3 to every link; 0: only as keep-alive answers
  uint32_t EchoEveryMs = 5000;         // ident 7 to every link; 0: never
  // Faults: keep-alives (4) go unanswered; a session's last data comes back once more right
  // after its close (a late packet for a closed handle); a burst of garbage goes to every link
  // this often (a packet with a wrong magic, one with an unknown ident, data for handle 0).
  bool AnswerKeepAlive = true;
  bool LateFrames = false;
  uint32_t GarbageEveryMs = 0;
};

class TLogicServerSim : public TSimTcpServer {
 public:
  TLogicServerSim(TSimLog& Log, TLogicServerSimOptions Options = {});
  ~TLogicServerSim() override;

  // Kicks the session Handle of gateway link Link (links are numbered from 1 in the order they
  // connected, as the log shows), with a reason text when Reason is not empty. Safe from any
  // thread; runs on the server thread.
  void KickSession(TConnId Link, uint32_t Handle, const std::string& Reason);

  // Counters, safe from any thread.
  uint64_t Links() const { return FLinks.load(); }
  uint64_t OpenSessions() const { return FOpenSessions.load(); }
  uint64_t DataPackets() const { return FDataPackets.load(); }
  uint64_t EchoReplies() const { return FEchoReplies.load(); }
  uint64_t LateSent() const { return FLateSent.load(); }
  uint64_t GarbageSent() const { return FGarbageSent.load(); }
  uint64_t SessionsOpened() const { return FSessionsOpened.load(); }
  uint64_t Misrouted() const { return FMisrouted.load(); }
  uint64_t UnknownHandles() const { return FUnknownHandles.load(); }

  std::string Stats() const override;

  // The tables pushed on connect, by configuration type: 16 bytes of version, then content.
  static std::map<int32_t, std::string> SampleTables();
  // The 78-byte sync data payload: account (length byte + 12) and player name (length byte +
  // 64), GBK text.
  static std::string SyncDataPayload(const std::string& AccountUtf8, const std::string& NameUtf8);
  // The 129-byte kick reason payload: length byte + 128 bytes of GBK text.
  static std::string KickReasonPayload(const std::string& ReasonUtf8);

 protected:
  void OnOpen(TConnId Conn, const std::string& Peer) override;
  size_t OnReceive(TConnId Conn, std::string_view Data) override;
  void OnClose(TConnId Conn) override;
  void OnTimer() override;

 private:
  struct TSession {
    int32_t UserIndex;
    std::string Addr;
    TSimLogicHeader LastData{};  // its last client data, for a late packet after its close
    std::string LastPayload;
  };

  void HandlePacket(TConnId Conn, const TSimLogicHeader& H, std::string_view Payload);
  void OpenSession(TConnId Conn, const TSimLogicHeader& H, std::string_view Payload);
  void HandleData(TConnId Conn, const TSimLogicHeader& H, std::string_view Payload);
  void Kick(TConnId Conn, uint32_t Handle, const std::string& Reason);
  // Counts and reports a packet for a handle that has no session on Conn.
  void NoSession(TConnId Conn, uint32_t Handle, const char* What);
  void SendTo(TConnId Conn, TSimLogicHeader H, std::string_view Payload);

  TLogicServerSimOptions FOptions;
  std::atomic<uint64_t> FLinks{0};
  std::atomic<uint64_t> FOpenSessions{0};
  std::atomic<uint64_t> FDataPackets{0};
  std::atomic<uint64_t> FEchoReplies{0};
  std::atomic<uint64_t> FLateSent{0};
  std::atomic<uint64_t> FGarbageSent{0};
  std::atomic<uint64_t> FSessionsOpened{0};
  std::atomic<uint64_t> FMisrouted{0};
  std::atomic<uint64_t> FUnknownHandles{0};

  // Server thread only. Keyed by handle, then link: the sessions of one handle on every link
  // lie together.
  using TSessionKey = std::pair<uint32_t, TConnId>;
  std::map<TSessionKey, TSession> FSessions;
  int32_t FNextUserIndex = 1;
  uint32_t FTimerTurns = 0;
  uint64_t FDataLogged = 0;
};

}  // namespace gw
