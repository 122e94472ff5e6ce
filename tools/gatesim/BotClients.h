// The load runner behind "gatesim clients": N bots (TBotClient) on a few threads, each thread
// with its own poller and non-blocking sockets. Bots connect at a limited rate, log in, and
// once every bot is in the game (or has failed, or the login time-out has passed) they send
// probes at the given rate for the given duration; then they stop, wait for the last echoes and
// close. A one-line progress display runs meanwhile; the summary (connections, messages per
// second, round-trip p50/p99, errors) is printed at the end.
//
// Run blocks the calling thread until the run is over; the object is used by one thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "BotClient.h"

namespace gw {

struct TBotClientsOptions {
  std::string Url = "ws://127.0.0.1:7200/";
  uint32_t Count = 10;
  double Rate = 1;          // probes per second per bot
  double DurationSec = 10;  // sending time
  uint32_t Threads = 2;
  double ConnectRate = 1000;    // new connections per second
  double LoginTimeoutSec = 20;  // from a bot's connect to its hand-over
  double DrainSec = 3;          // wait for the last echoes
  std::string KeysFolder = ".";
  int WatchPid = 0;  // the gateway's process, for CPU and memory figures (0: none)
  bool Progress = true;
  // Source addresses the bots are spread over, host order (0: the system's choice), so
  // that a gateway's per-address limits see a few bots per address.
  uint32_t SourceFirst = 0;
  uint32_t SourceLast = 0;
};

struct TBotClientsResult {
  uint64_t Bots = 0;
  uint64_t Connected = 0;
  uint64_t InGame = 0;
  uint64_t Sent = 0;
  uint64_t Echoed = 0;
  uint64_t Errors = 0;
  uint64_t Misdelivered = 0;  // part of Errors
  double WindowSec = 0;
  double EchoedPerSec = 0;
  uint64_t P50Micros = 0;
  uint64_t P99Micros = 0;
  uint64_t MaxMicros = 0;
  std::string Summary;  // the printed summary
};

// Parses ws://host:port/path. False with a reason in Error otherwise.
bool ParseWsUrl(const std::string& Url, std::string& Host, uint16_t& Port, std::string& Path,
                std::string& Error);

class TBotClients {
 public:
  explicit TBotClients(TBotClientsOptions Options);

  // Runs the whole load; false (with Error set) when it could not start at all.
  bool Run(TBotClientsResult& Result, std::string& Error, FILE* ProgressOut = stderr);

 private:
  TBotClientsOptions FOptions;
};

}  // namespace gw
