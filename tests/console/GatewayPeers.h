// Real peers for the console tests over loopback: a logic server that accepts the gateway's
// link and holds it (so the gateway takes clients), and a bare WebSocket client that upgrades
// and then waits for the gateway to close it.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSockets.h"

namespace gw::test {

// Waits for `predicate`, letting Qt events run, up to a generous time-out.
bool WaitUntil(const std::function<bool()>& predicate, int timeoutMs = 20000);

// Accepts connections and reads (and ignores) whatever arrives, until destroyed.
class TFakeLogicServer {
 public:
  TFakeLogicServer() {
    FListen = test_support::ListenLoopback(FPort);
    FThread = std::thread([this] { Run(); });
  }
  ~TFakeLogicServer() {
    FStop = true;
    FThread.join();
    for (int fd : FPeers) test_support::CloseTcpSocket(fd);
    test_support::CloseTcpSocket(FListen);
  }
  uint16_t Port() const { return FPort; }
  int Connections() const { return FConnections.load(); }

 private:
  void Run() {
    // The listener waits a little each turn; the peers' bytes are only drained.
    while (!FStop) {
      if (test_support::WaitReadable(FListen, 20)) {
        const int peer = test_support::AcceptPeer(FListen);
        if (peer >= 0) {
          FPeers.push_back(peer);
          ++FConnections;
        }
      }
      char buffer[4096];
      for (int fd : FPeers)
        while (test_support::WaitReadable(fd, 0) &&
               test_support::ReceiveSome(fd, buffer, sizeof buffer) > 0) {
        }
    }
  }

  uint16_t FPort = 0;
  int FListen = -1;
  std::vector<int> FPeers;
  std::atomic<int> FConnections{0};
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

// A WebSocket client that completes the upgrade and then only watches for the close.
class TBareWsClient {
 public:
  ~TBareWsClient() {
    if (FFd >= 0) test_support::CloseTcpSocket(FFd);
  }
  bool Connect(uint16_t port) {
    FFd = test_support::ConnectLoopback(port);
    if (FFd < 0) return false;
    const std::string request =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    if (test_support::SendSome(FFd, request.data(), request.size()) !=
        static_cast<ssize_t>(request.size()))
      return false;
    std::string reply;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (reply.find("\r\n\r\n") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      if (!test_support::WaitReadable(FFd, 100)) continue;
      char c[512];
      const ssize_t n = test_support::ReceiveSome(FFd, c, sizeof c);
      if (n <= 0) return false;
      reply.append(c, static_cast<size_t>(n));
    }
    return reply.rfind("HTTP/1.1 101", 0) == 0;
  }
  // Sends one binary message of fewer than 126 bytes (masked, as a client must; the zero mask
  // leaves the bytes as they are).
  bool SendBinary(const std::string& data) {
    std::string frame{'\x82', static_cast<char>(0x80 | data.size()), 0, 0, 0, 0};
    frame += data;
    return data.size() < 126 && test_support::SendSome(FFd, frame.data(), frame.size()) ==
                                    static_cast<ssize_t>(frame.size());
  }
  // True once the gateway has closed the connection: a close frame or the end of the stream.
  // Data frames before it (the token challenge) are skipped.
  bool Closed() {
    for (;;) {
      if (!test_support::WaitReadable(FFd, 0)) break;
      char c[4096];
      const ssize_t n = test_support::ReceiveSome(FFd, c, sizeof c);
      if (n <= 0) return true;
      FPending.append(c, static_cast<size_t>(n));
    }
    for (;;) {
      if (FPending.size() < 2) return false;
      const auto* b = reinterpret_cast<const unsigned char*>(FPending.data());
      if ((b[0] & 0x0F) == 0x8) return true;
      size_t header = 2;
      uint64_t length = b[1] & 0x7F;
      if (length == 126) {
        header = 4;
        if (FPending.size() < header) return false;
        length = (uint64_t{b[2]} << 8) | b[3];
      } else if (length == 127) {
        header = 10;
        if (FPending.size() < header) return false;
        length = 0;
        for (int i = 2; i < 10; ++i) length = (length << 8) | b[i];
      }
      if (FPending.size() < header + length) return false;
      FPending.erase(0, header + length);
    }
  }

 private:
  int FFd = -1;
  std::string FPending;
};

}  // namespace gw::test
