// TLoadClient: the project's load tool core. It opens N connections to an echo
// server (WebSocket, upgraded and sending masked binary frames as browsers do, or
// raw TCP), keeps K messages in flight on each, and measures echoed messages per
// second and round-trip percentiles; or it opens N connections and holds them idle
// while the server's resident memory is read; or it measures how many connections a
// second go through the (TLS and) WebSocket handshake. With Tls, every connection
// speaks TLS (wss), trusting any certificate: the server's cost is measured, not PKI.
//
// Thread safety: Run is called once, from one thread; it starts and joins its own
// worker threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace gw::bench {

struct TLoadOptions {
  std::string Host = "127.0.0.1";
  uint16_t Port = 0;
  bool WebSocket = true;    // false: raw TCP echo
  bool Tls = false;         // TLS before everything else (wss)
  bool Handshakes = false;  // connect, upgrade and close in a loop; count per second
  int Connections = 200;
  int MessageSize = 32;  // payload bytes; at least 8 (the send time travels in it)
  int InFlight = 8;      // messages outstanding per connection
  int Threads = 1;       // client threads, each with its own epoll instance
  double WarmupSeconds = 2;
  double Seconds = 10;
  bool Idle = false;  // open the connections, hold them, report server memory
  int ServerPid = 0;  // for the idle measurement
};

struct TLoadResult {
  uint64_t Messages = 0;  // echoes received in the measured window
  double Seconds = 0;
  double MessagesPerSecond = 0;
  double P50Us = 0, P99Us = 0, MaxUs = 0;
  int Errors = 0;  // connections that failed or closed
  // Handshake mode.
  uint64_t Handshakes = 0;
  double HandshakesPerSecond = 0;
  // Idle mode.
  long RssBeforeKb = 0, RssAfterKb = 0;
  double BytesPerConnection = 0;
};

class TLoadClient {
 public:
  explicit TLoadClient(TLoadOptions options) : FOptions(std::move(options)) {}
  // False with `error` set when the connections could not be opened.
  bool Run(TLoadResult& result, std::string& error);

 private:
  bool RunIdle(TLoadResult& result, std::string& error);
  bool RunHandshakes(TLoadResult& result, std::string& error);
  TLoadOptions FOptions;
};

// Resident set size of a process in KiB (VmRSS), -1 when unknown.
long ProcessRssKb(int pid);

}  // namespace gw::bench
