// Real peers for the console tests over loopback: a logic server that accepts the gateway's
// link and holds it (so the gateway takes clients), and a bare WebSocket client that upgrades
// and then waits for the gateway to close it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace gw::test {

// Waits for `predicate`, letting Qt events run, up to a generous time-out.
bool WaitUntil(const std::function<bool()>& predicate, int timeoutMs = 20000);

inline int ListenLoopback(uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

// Accepts connections and reads (and ignores) whatever arrives, until destroyed.
class TFakeLogicServer {
 public:
  TFakeLogicServer() {
    FListen = ListenLoopback(FPort);
    FThread = std::thread([this] { Run(); });
  }
  ~TFakeLogicServer() {
    FStop = true;
    FThread.join();
    for (int fd : FPeers) close(fd);
    close(FListen);
  }
  uint16_t Port() const { return FPort; }
  int Connections() const { return FConnections.load(); }

 private:
  void Run() {
    while (!FStop) {
      std::vector<pollfd> fds{{FListen, POLLIN, 0}};
      for (int fd : FPeers) fds.push_back({fd, POLLIN, 0});
      if (poll(fds.data(), fds.size(), 50) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        const int peer = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (peer >= 0) {
          FPeers.push_back(peer);
          ++FConnections;
        }
      }
      char buffer[4096];
      for (size_t i = 1; i < fds.size(); ++i)
        if (fds[i].revents & (POLLIN | POLLHUP)) (void)!read(fds[i].fd, buffer, sizeof buffer);
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
    if (FFd >= 0) close(FFd);
  }
  bool Connect(uint16_t port) {
    FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (connect(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    const std::string request =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    if (write(FFd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
      return false;
    std::string reply;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (reply.find("\r\n\r\n") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd p{FFd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char c[512];
      const ssize_t n = read(FFd, c, sizeof c);
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
    return data.size() < 126 &&
           write(FFd, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
  }
  // True once the gateway has closed the connection: a close frame or the end of the stream.
  // Data frames before it (the token challenge) are skipped.
  bool Closed() {
    for (;;) {
      pollfd p{FFd, POLLIN, 0};
      if (poll(&p, 1, 0) <= 0) break;
      char c[4096];
      const ssize_t n = read(FFd, c, sizeof c);
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
