// One simulated game client, as a state machine over bytes (the socket belongs to the runner,
// TBotClients): WebSocket upgrade, token challenge answered with the deployment keys, greeting
// and login through the login server, hand-over, then echo probes (move, attack and default
// messages in turn) at a fixed rate, each matched with its echo and timed. Batches (type 0x80)
// from the gateway are unpacked.
//
// Not thread-safe: each bot is driven by one runner thread. The shared counters it updates
// (TBotTotals) are atomic; the round-trip histogram is the runner thread's own.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "LatencyHistogram.h"
#include "SimProtocol.h"
#include "WsClient.h"
#include "codec/DeploymentKeys.h"

namespace gw {

enum TBotError : uint8_t {
  beConnect,       // TCP connect failed
  beUpgrade,       // no valid 101 answer
  beChallenge,     // no or unreadable token challenge
  beLoginTimeout,  // not in the game within the login time-out
  beClosed,        // the connection closed before the run ended
  beProtocol,      // a malformed frame, batch or message
  beBadEcho,       // an echo that matches no probe sent, or damaged
  beLost,          // a probe whose echo never came back
  beMisdelivered,  // a message meant for another bot (its echo or hand-over) reached this one
  beRefused,       // TCP connect refused (nothing accepts on the port)
  beReset,         // the connection ended without a close frame (reset or cut) before its end
  beCut,           // a probe still awaiting its echo when the gateway closed the connection
  beErrorCount
};

const char* BotErrorName(TBotError E);

// Counters shared by every bot of a run; atomic, updated from the runner threads.
struct TBotTotals {
  std::atomic<uint64_t> Connected{0};    // upgrade answered
  std::atomic<uint64_t> TokenPassed{0};  // greeted by the login server
  std::atomic<uint64_t> InGame{0};       // handed over
  std::atomic<uint64_t> Sent{0};         // probes sent
  std::atomic<uint64_t> Echoed{0};       // probes back and intact
  std::atomic<uint64_t> Others{0};       // other messages received in the game
  std::array<std::atomic<uint64_t>, beErrorCount> Errors{};

  void Count(TBotError E) { Errors[E].fetch_add(1, std::memory_order_relaxed); }
  uint64_t ErrorTotal() const;
};

struct TBotConfig {
  std::string Host = "127.0.0.1";
  uint16_t Port = 7200;
  std::string Path = "/";
  uint32_t Index = 0;  // names the bot in its login
  const TDeploymentKeys* Keys = nullptr;
};

class TBotClient {
 public:
  enum class TStage {
    bsConnecting,  // TCP connect in progress
    bsUpgrading,   // upgrade request sent
    bsChallenge,   // waiting for the token challenge
    bsGreeting,    // answer sent, waiting for the login server's greeting
    bsLogin,       // login sent, waiting for the hand-over
    bsPlaying,     // in the game
    bsDone,        // finished (closed by us) or failed
  };

  TBotClient(const TBotConfig& Config, TBotTotals& Totals, TLatencyHistogram& RoundTrips);

  // The TCP connection is up: the upgrade request is appended to Out.
  void OnConnected(std::string& Out);
  // Bytes from the gateway; replies are appended to Out. False when the bot has failed and its
  // connection should be closed (the reason is already counted).
  bool OnBytes(std::string_view Data, std::string& Out, uint64_t NowMicros);
  // Sends one probe when Sending and one is due. Rate is probes per second.
  void OnTick(uint64_t NowMicros, bool Sending, double Rate, std::string& Out);
  // The connection ended under the bot without a close frame (reset, or cut by the peer):
  // counted as beReset unless the bot was done; its unanswered probes count as beCut.
  void OnClosed();
  // Ends the run for this bot: its unanswered probes are counted lost; a close frame is
  // appended to Out when the connection is still up.
  void Finish(std::string& Out);
  // Marks the bot failed with E (counted once).
  void Fail(TBotError E);

  TStage Stage() const { return FStage; }
  // The status of the gateway's close frame (1005 when it carried none); 0 when none came.
  uint16_t PeerCloseCode() const { return FPeerCloseCode; }
  size_t Pending() const { return FPending.size(); }
  uint64_t StageSince() const { return FStageSince; }
  // Probes and replies the bot sends, for tests.
  void SendMessage(std::string_view Message, std::string& Out);

 private:
  bool HandleMessage(std::string_view M, std::string& Out, uint64_t NowMicros);
  bool HandleGameMessage(std::string_view M, std::string& Out, uint64_t NowMicros);
  void Enter(TStage S, uint64_t NowMicros);
  // Ends the bot because the gateway closed its connection: pending probes are cut.
  void ClosedUnder(TBotError E);

  TBotConfig FConfig;
  TBotTotals& FTotals;
  TLatencyHistogram& FRoundTrips;
  TWsClient FWs;
  std::string FIn;
  TStage FStage = TStage::bsConnecting;
  uint64_t FStageSince = 0;
  uint64_t FNextSend = 0;
  uint32_t FNextSeq = 1;  // low half of the next probe's sequence number
  uint32_t FMask;
  uint16_t FPeerCloseCode = 0;
  std::deque<uint32_t> FPending;  // sequence numbers of probes awaiting their echo, in order
};

}  // namespace gw
