// ws-load: load tool for echo servers. Measures echoed messages per second and
// round-trip percentiles over WebSocket (or raw TCP), or the server's resident memory
// per idle connection.
//
//   ws-load --port P [--host H] [--tcp] [--tls] [--connections N] [--size B] [--inflight K]
//           [--threads T] [--warmup S] [--seconds S]
//   ws-load --port P [--tls] --handshakes [--threads T] [--warmup S] [--seconds S]
//   ws-load --port P --idle --server-pid PID [--connections N]
// --tls speaks TLS (wss) to the server, without checking its certificate.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/net/LoadClient.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: ws-load --port P [--host H] [--tcp] [--tls] [--connections N] [--size B]\n"
               "               [--inflight K] [--threads T] [--warmup S] [--seconds S]\n"
               "       ws-load --port P [--tls] --handshakes [--threads T] [--warmup S] "
               "[--seconds S]\n"
               "       ws-load --port P --idle --server-pid PID [--connections N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  gw::bench::TLoadOptions o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "--tcp") {
      o.WebSocket = false;
    } else if (a == "--tls") {
      o.Tls = true;
    } else if (a == "--handshakes") {
      o.Handshakes = true;
    } else if (a == "--idle") {
      o.Idle = true;
    } else if ((a == "--port") && (v = next())) {
      o.Port = static_cast<uint16_t>(std::atoi(v));
    } else if (a == "--host" && (v = next())) {
      o.Host = v;
    } else if (a == "--connections" && (v = next())) {
      o.Connections = std::atoi(v);
    } else if (a == "--size" && (v = next())) {
      o.MessageSize = std::atoi(v);
    } else if (a == "--inflight" && (v = next())) {
      o.InFlight = std::atoi(v);
    } else if (a == "--threads" && (v = next())) {
      o.Threads = std::atoi(v);
    } else if (a == "--warmup" && (v = next())) {
      o.WarmupSeconds = std::atof(v);
    } else if (a == "--seconds" && (v = next())) {
      o.Seconds = std::atof(v);
    } else if (a == "--server-pid" && (v = next())) {
      o.ServerPid = std::atoi(v);
    } else {
      return Usage();
    }
  }
  if (o.Port == 0 || o.Connections <= 0 || o.InFlight <= 0 || (o.Idle && o.ServerPid <= 0)) {
    return Usage();
  }
  gw::bench::TLoadClient client(o);
  gw::bench::TLoadResult r;
  std::string error;
  if (!client.Run(r, error)) {
    std::fprintf(stderr, "ws-load: %s\n", error.c_str());
    return 1;
  }
  if (o.Handshakes) {
    std::printf("%s handshakes threads=%d handshakes_per_s=%.0f failed=%d\n", o.Tls ? "wss" : "ws",
                o.Threads, r.HandshakesPerSecond, r.Errors);
    return 0;
  }
  if (o.Idle) {
    std::printf(
        "idle connections=%d rss_before_kb=%ld rss_after_kb=%ld bytes_per_connection=%.0f\n",
        o.Connections, r.RssBeforeKb, r.RssAfterKb, r.BytesPerConnection);
  } else {
    std::printf(
        "%s connections=%d size=%d inflight=%d msgs_per_s=%.0f p50_us=%.1f p99_us=%.1f "
        "max_us=%.1f errors=%d\n",
        o.WebSocket ? (o.Tls ? "wss" : "ws") : (o.Tls ? "tls" : "tcp"), o.Connections,
        o.MessageSize, o.InFlight, r.MessagesPerSecond, r.P50Us, r.P99Us, r.MaxUs, r.Errors);
  }
  return r.Errors == 0 ? 0 : 1;
}
