// The attack runner behind "gatesim attack": N attacking connections against the gateway, each
// behaving in one hostile way, re-opened whenever the gateway closes them, for a given time. It
// exercises the gateway's protection settings and shows what they cost honest clients when run
// beside "gatesim clients". Source addresses may be spread over a range of 127.0.0.0/8 so that
// per-address rules can be exercised from one machine.
//
// Modes:
//   silent      connects and sends nothing
//   slowloris   sends its upgrade request one byte every 200 ms
//   no-answer   upgrades, reads the token challenge, never answers it
//   oversize    passes the token check, then sends one message of --size bytes
//   msg-flood   passes the token check, then sends --burst small messages in one write
//   conn-flood  connects and closes again as fast as it can
//
// Run blocks the calling thread (one thread, one poller) until the time is up.
#pragma once

#include <cstdint>
#include <string>

namespace gw {

enum class TAttackMode { amSilent, amSlowloris, amNoAnswer, amOversize, amMsgFlood, amConnFlood };

// "A.B.C.D" or "A.B.C.D-E.F.G.H" into host-order bounds; false when it is neither.
bool ParseSourceRange(const std::string& Text, uint32_t& First, uint32_t& Last);

// "silent", "slowloris", ... ; false for an unknown name.
bool ParseAttackMode(const std::string& Name, TAttackMode& Mode);

struct TAttackOptions {
  std::string Url = "ws://127.0.0.1:7200/";
  TAttackMode Mode = TAttackMode::amSilent;
  uint32_t Count = 10;      // attacking connections at a time
  double DurationSec = 10;  // how long the attack lasts
  std::string Sources;      // "127.0.0.2-127.0.0.200" (empty: the system's choice)
  uint32_t Size = 65536;    // oversize: message size
  uint32_t Burst = 100;     // msg-flood: messages per write
  double ReopenMs = 100;    // pause before a closed connection is opened again
  std::string KeysFolder = ".";
};

struct TAttackResult {
  uint64_t Opened = 0;     // connections opened
  uint64_t Refused = 0;    // reset or failed before the gateway sent a byte
  uint64_t Closed = 0;     // closed by the gateway later
  uint64_t StillOpen = 0;  // open when the time was up
  uint64_t HeldP50Ms = 0;  // how long closed connections were held
  uint64_t HeldMaxMs = 0;
  std::string Summary;
};

class TAttackClients {
 public:
  explicit TAttackClients(TAttackOptions Options) : FOptions(std::move(Options)) {}
  // False (with Error set) when the attack could not start at all.
  bool Run(TAttackResult& Result, std::string& Error);

 private:
  TAttackOptions FOptions;
};

}  // namespace gw
