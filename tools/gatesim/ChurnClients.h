// The load runner behind "gatesim churn": players that come and go, as on a live server. A pool
// of N players, each living a random time (connect, token check, login, play at the given
// rate), then leaving politely (no more probes, its last echoes awaited, a close frame) and
// coming back at once as a new player; besides them, short-lived players arrive at a steady
// rate. Every life is a new player with an identity of its own, so a message that reaches
// another life (even a later life of the same slot) counts as misdelivered.
//
// The run is cut into named phases, from the program's standard input with Control ("phase
// NAME" starts a phase, "hold" lets every player leave at its end without coming back and
// stops the arrivals, "end" makes every player leave now; the end of the input is an "end"),
// and each phase is reported on its own: connects refused, reset or failed, sessions the
// gateway closed before their end (and how many with 1001), messages sent, echoed, lost
// (never echoed while the session lasted), cut (on their way when the gateway closed the
// session) and misdelivered, and the round trip's p50 and p99.
//
// Run blocks the calling thread until the run is over; the object is used by one thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace gw {

struct TChurnOptions {
  std::string Url = "ws://127.0.0.1:7200/";
  uint32_t Count = 100;  // the pool of players that come back
  double Rate = 10;      // probes per second per player
  double LifeMinSec = 10;
  double LifeMaxSec = 60;
  double ArrivalRate = 0;  // short-lived players arriving per second besides the pool
  double ArrivalLifeMinSec = 2;
  double ArrivalLifeMaxSec = 5;
  double DurationSec = 0;       // the run's length; 0: until "end" (Control only)
  double ConnectRate = 500;     // the pool's first connections per second
  double LoginTimeoutSec = 20;  // from a player's connect to its hand-over
  double LeaveSec = 3;          // a leaving player awaits its last echoes this long at most
  uint32_t Threads = 2;
  std::string KeysFolder = ".";
  std::string FirstPhase = "run";
  bool Control = false;  // read phase commands from standard input
  bool Progress = true;
  uint32_t SourceFirst = 0;  // source addresses, host order (0: the system's choice)
  uint32_t SourceLast = 0;
};

// Counts of a phase or of the whole run.
struct TChurnCounts {
  uint64_t Lives = 0;          // connects attempted
  uint64_t InGame = 0;         // lives handed over to the game
  uint64_t Ended = 0;          // lives that ended by themselves (left politely)
  uint64_t Refused = 0;        // connects refused
  uint64_t ConnectFailed = 0;  // connects that failed otherwise
  uint64_t Reset = 0;          // connections that ended without a close frame before their end
  uint64_t UpgradeFailed = 0;  // no 101 answer
  uint64_t GatewayClosed = 0;  // close frames from the gateway before the life's end
  uint64_t GoingAway = 0;      // of them with status 1001
  uint64_t LoginTimeouts = 0;
  uint64_t OtherErrors = 0;  // token challenge and protocol faults
  uint64_t Sent = 0;
  uint64_t Echoed = 0;
  uint64_t Lost = 0;
  uint64_t Cut = 0;
  uint64_t Misdelivered = 0;
  uint64_t BadEchoes = 0;

  TChurnCounts Minus(const TChurnCounts& Earlier) const;
};

struct TChurnPhase {
  std::string Name;
  double Seconds = 0;
  TChurnCounts Counts;
  uint64_t P50Micros = 0;
  uint64_t P99Micros = 0;
  uint64_t Samples = 0;
};

struct TChurnResult {
  std::vector<TChurnPhase> Phases;
  TChurnPhase Total;
  std::string Summary;  // the printed summary
};

// One phase as a summary line: "phase NAME: 12.0 s, lives 10, ..., p99 1.20 ms".
std::string ChurnPhaseLine(const TChurnPhase& Phase, const char* Label);

class TChurnClients {
 public:
  explicit TChurnClients(TChurnOptions Options);

  // Runs the whole load; false (with Error set) when it could not start at all.
  bool Run(TChurnResult& Result, std::string& Error, FILE* ProgressOut = stderr);

 private:
  TChurnOptions FOptions;
};

}  // namespace gw
