// ws-echo: echoes every WebSocket message back to its sender (binary as binary, text
// as text) using the gateway's client transport. Prints "listening on <port>" once
// the listeners are open, then runs until it is told to stop (see EchoSignals.h).
//
// Usage: ws-echo <port> [--threads N (default: one per processor)] [--max-message BYTES]
// [--max-queued BYTES] [--nodelay]
//                [--close-command PREFIX]
// With --close-command, a text message PREFIX<code> (e.g. "!close 1008") is not echoed: the
// server closes that connection with a close frame carrying <code>, as the gateway does when
// it ends a session.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "EchoSignals.h"
#include "net/IWebSocketServer.h"
#include "net/TlsContext.h"

namespace {

int Usage(std::FILE* Out = stderr) {
  std::fprintf(Out,
               "usage: ws-echo <port> [--threads N] [--max-message BYTES] [--max-queued BYTES] "
               "[--nodelay] [--close-command PREFIX] [--tls-cert FILE --tls-key FILE]\n");
  return Out == stderr ? 2 : 0;
}

bool ParseNumber(const char* text, unsigned long long max, unsigned long long& out) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v > max) return false;
  out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  for (int i = 1; i < argc; ++i) {
    // Asked for, the usage goes to standard output and is a success.
    if (std::string_view(argv[i]) == "--help" || std::string_view(argv[i]) == "-h") {
      return Usage(stdout);
    }
  }
  // One I/O thread per processor by default: the echo runs entirely on the I/O threads,
  // so more threads than processors only add context switches between them.
  const unsigned processors = std::thread::hardware_concurrency();
  unsigned long long port = 0, threads = processors == 0 ? 2 : processors,
                     maxMessage = gw::IWebSocketServer::kDefaultMaxMessageSize,
                     maxQueued = gw::IWebSocketServer::kDefaultMaxQueuedBytes;
  bool noDelay = false;
  std::string closeCommand, tlsCert, tlsKey;
  if (!ParseNumber(argv[1], 65535, port)) return Usage();
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--threads" && i + 1 < argc) {
      if (!ParseNumber(argv[++i], 256, threads) || threads == 0) return Usage();
    } else if (arg == "--max-message" && i + 1 < argc) {
      if (!ParseNumber(argv[++i], 1ull << 40, maxMessage)) return Usage();
    } else if (arg == "--max-queued" && i + 1 < argc) {
      if (!ParseNumber(argv[++i], 1ull << 40, maxQueued)) return Usage();
    } else if (arg == "--close-command" && i + 1 < argc) {
      closeCommand = argv[++i];
      if (closeCommand.empty()) return Usage();
    } else if (arg == "--tls-cert" && i + 1 < argc) {
      tlsCert = argv[++i];
    } else if (arg == "--tls-key" && i + 1 < argc) {
      tlsKey = argv[++i];
    } else if (arg == "--nodelay") {
      noDelay = true;
    } else {
      return Usage();
    }
  }
  if (tlsCert.empty() != tlsKey.empty()) {
    std::fprintf(stderr, "ws-echo: --tls-cert and --tls-key go together\n");
    return 2;
  }
  gw::PTlsContext tls;
  if (!tlsCert.empty()) {
    std::string error;
    tls = gw::TTlsContext::Load(tlsCert, tlsKey, error);
    if (!tls) {
      std::fprintf(stderr, "ws-echo: %s\n", error.c_str());
      return 1;
    }
  }

  echo::PrepareSignals();

  gw::PWebSocketServer server = gw::CreateWebSocketServer(static_cast<int>(threads));
  server->SetPort(static_cast<uint16_t>(port));
  server->SetMaxMessageSize(static_cast<size_t>(maxMessage));
  server->SetMaxQueuedBytes(static_cast<size_t>(maxQueued));
  server->SetNoDelay(noDelay);
  server->SetTlsContext(tls);
  server->SetLogger(
      [](const std::string& text, gw::TLogLevel) { std::fprintf(stderr, "%s\n", text.c_str()); });
  server->OnMessage([closeCommand](const gw::PWebSocketConnection& connection,
                                   gw::TWsRequestType type, const std::vector<uint8_t>& data) {
    if (type == gw::wsrtText && !closeCommand.empty()) {
      std::string text(data.begin(), data.end());
      unsigned long long code = 0;
      if (text.rfind(closeCommand, 0) == 0 &&
          ParseNumber(text.c_str() + closeCommand.size(), 4999, code)) {
        connection->CloseWithStatus(static_cast<uint16_t>(code));
        return;
      }
    }
    if (type == gw::wsrtText) {
      connection->WsSendText(std::string(data.begin(), data.end()), nullptr);
    } else {
      connection->WsSendBytes(data, nullptr);
    }
  });
  bool ok = true;
  server->Start([&ok](bool success) { ok = ok && success; });
  if (!ok) {
    std::fprintf(stderr, "ws-echo: cannot listen on port %llu\n", port);
    return 1;
  }
  std::printf("listening on %u\n", server->Port());
  std::fflush(stdout);

  for (;;) {
    if (echo::WaitForSignal() == echo::sgStop) break;
    if (tlsCert.empty()) continue;
    std::string error;
    if (gw::PTlsContext next = gw::TTlsContext::Load(tlsCert, tlsKey, error)) {
      server->SetTlsContext(next);
      std::fprintf(stderr, "ws-echo: TLS certificate reloaded: %s, expires %s\n",
                   next->Subject().c_str(), next->NotAfter().c_str());
    } else {
      std::fprintf(stderr, "ws-echo: TLS certificate not reloaded, the previous one stays: %s\n",
                   error.c_str());
    }
  }
  server->Stop();
  return 0;
}
