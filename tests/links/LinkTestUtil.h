// Test helpers for the server links: condition waits, a loopback TCP peer standing
// in for the logic or login server, a recording fake of the gateway server
// interface, a log capture and a hand-driven tick source.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gate/GateWaySocketServerInterface.h"
#include "links/LinkSocket.h"
#include "links/TestSocket.h"
#include "logging/LogLevel.h"
#include "protocol/LogicPacketFramer.h"
#include "support/LogicPacketBytes.h"
#include "support/WaitUntil.h"

namespace gw::test {

using test_support::WaitUntil;

inline std::string Bytes(std::initializer_list<int> v) {
  std::string s;
  for (int b : v) s.push_back(static_cast<char>(b));
  return s;
}

// A TCP server on 127.0.0.1 with an ephemeral port. It accepts connections one at a
// time (a new one replaces the old), records everything received on the current
// one and sends on request.
class TTestPeer {
 public:
  TTestPeer() : FListen(TTestSocket::ListenOnLoopback()), FPort(FListen->LocalPort()) {
    FThread = std::thread([this] { Run(); });
  }
  ~TTestPeer() {
    FStop = true;
    FThread.join();
    CloseConnection();
  }

  int Port() const { return FPort; }
  int Accepted() const { return FAccepted.load(); }
  bool Connected() const {
    std::lock_guard<std::mutex> g(FLock);
    return FConn != nullptr;
  }
  std::string Received() const {
    std::lock_guard<std::mutex> g(FLock);
    return FReceived;
  }
  void ClearReceived() {
    std::lock_guard<std::mutex> g(FLock);
    FReceived.clear();
  }
  // Removes and returns the first `n` received bytes (empty when fewer arrived).
  std::string Take(size_t n) {
    std::lock_guard<std::mutex> g(FLock);
    if (FReceived.size() < n) return {};
    std::string out = FReceived.substr(0, n);
    FReceived.erase(0, n);
    return out;
  }
  bool WaitReceivedAtLeast(size_t n) {
    return WaitUntil([&] { return Received().size() >= n; });
  }
  void Send(const std::string& bytes) {
    // A reference of our own keeps the socket open while a blocking send runs outside the
    // lock: the reader thread may drop or replace FConn meanwhile.
    std::shared_ptr<TTestSocket> conn;
    {
      std::lock_guard<std::mutex> g(FLock);
      conn = FConn;
    }
    if (conn) conn->SendAll(bytes.data(), bytes.size());
  }
  // Closes the current connection quietly (FIN), as a server that goes away.
  // The socket itself is released by the reader thread, which may be polling it now.
  void CloseConnection() {
    std::lock_guard<std::mutex> g(FLock);
    if (FConn) {
      FConn->Shutdown();
      FRetired.push_back(std::move(FConn));
    }
    FConn.reset();
  }
  // Stops reading (the reader thread then leaves the connection alone).
  void SetReading(bool on) { FReading = on; }

 private:
  void Run() {
    std::vector<char> buf(1 << 16);
    while (!FStop) {
      std::shared_ptr<TTestSocket> conn;
      {
        std::lock_guard<std::mutex> g(FLock);
        FRetired.clear();
        conn = FConn;
      }
      links::TPollEntry p[2] = {{FListen->Handle(), links::kPollIn, 0},
                                {conn ? conn->Handle() : links::kNoSocket,
                                 static_cast<short>(FReading ? links::kPollIn : 0), 0}};
      int r = links::PollSockets(p, conn ? 2 : 1, 10);
      if (r <= 0) continue;
      if (p[0].REvents & links::kPollIn) {
        std::shared_ptr<TTestSocket> accepted = FListen->Accept();
        if (accepted) {
          std::lock_guard<std::mutex> g(FLock);
          FConn = std::move(accepted);
          ++FAccepted;
        }
        continue;
      }
      if (conn && (p[1].REvents & (links::kPollIn | links::kPollHup | links::kPollErr))) {
        std::lock_guard<std::mutex> g(FLock);
        if (FConn != conn) continue;
        int64_t n = conn->Receive(buf.data(), buf.size());
        const int err = n < 0 ? links::LastSocketError() : 0;
        if (n > 0) {
          FReceived.append(buf.data(), static_cast<size_t>(n));
        } else if (n == 0 || (!links::IsWouldBlockError(err) && !links::IsInterruptedError(err))) {
          FConn.reset();
        }
      }
    }
  }

  const std::unique_ptr<TTestSocket> FListen;
  const int FPort;
  mutable std::mutex FLock;  // guards FConn, FRetired and FReceived
  std::shared_ptr<TTestSocket> FConn;
  // Shut down, released by the reader thread when it is not polling them.
  std::vector<std::shared_ptr<TTestSocket>> FRetired;
  std::string FReceived;
  std::atomic<int> FAccepted{0};
  std::atomic<bool> FStop{false};
  std::atomic<bool> FReading{true};
  std::thread FThread;
};

// A port on 127.0.0.1 where nothing listens.
inline int ClosedPort() { return TTestSocket::UnusedLoopbackPort(); }

// Records every call of the gateway server interface, in order.
class TFakeGateWayServer : public TGateWaySocketServerInterface {
 public:
  struct TCall {
    std::string Op;  // "Add", "Direct", "Close", "Step", "CloseAll"
    uint32_t Handle = 0;
    int32_t Ident = 0;
    std::string Data;  // bytes, or the reason for Close/CloseAll
    std::string Addr;
    TSessionStep Step = ssNone;
    bool SoftClose = false;
  };

  void AddSessionMessage(uint32_t h, int32_t ident, int32_t, const void* data,
                         uint32_t size) override {
    TCall c = Make("Add", h, std::string(static_cast<const char*>(data), size));
    c.Ident = ident;
    Push(c);
  }
  void AddSessionMessageDirect(uint32_t h, const void* data, uint32_t size) override {
    Push(Make("Direct", h, std::string(static_cast<const char*>(data), size)));
  }
  void CloseSession(uint32_t h, const std::string& addr, const std::string& reason) override {
    TCall c = Make("Close", h, reason);
    c.Addr = addr;
    Push(c);
  }
  void ChangeSessionStep(uint32_t h, TSessionStep step, bool soft) override {
    TCall c = Make("Step", h, "");
    c.Step = step;
    c.SoftClose = soft;
    Push(c);
  }
  void CloseAllSession(const std::string& reason) override { Push(Make("CloseAll", 0, reason)); }
  std::string GetSessionRemoteAddr(uint32_t h) override {
    std::lock_guard<std::mutex> g(FLock);
    auto it = FAddrs.find(h);
    return it == FAddrs.end() ? std::string() : it->second;
  }

  void SetAddr(uint32_t h, const std::string& a) {
    std::lock_guard<std::mutex> g(FLock);
    FAddrs[h] = a;
  }
  std::vector<TCall> Calls() const {
    std::lock_guard<std::mutex> g(FLock);
    return FCalls;
  }
  size_t Count(const std::string& op) const {
    size_t n = 0;
    for (const auto& c : Calls()) n += c.Op == op;
    return n;
  }
  void Reset() {
    std::lock_guard<std::mutex> g(FLock);
    FCalls.clear();
  }

 private:
  static TCall Make(const char* op, uint32_t h, std::string data) {
    TCall c;
    c.Op = op;
    c.Handle = h;
    c.Data = std::move(data);
    return c;
  }
  void Push(const TCall& c) {
    std::lock_guard<std::mutex> g(FLock);
    FCalls.push_back(c);
  }
  mutable std::mutex FLock;  // guards FCalls and FAddrs
  std::vector<TCall> FCalls;
  std::map<uint32_t, std::string> FAddrs;
};

// Collects log lines; Proc() is the log procedure to hand to a link.
class TLogCapture {
 public:
  TLogProc Proc() {
    return [this](const std::string& text, TLogLevel level) {
      std::lock_guard<std::mutex> g(FLock);
      FLines.push_back({text, level});
    };
  }
  bool Has(const std::string& text, TLogLevel level) const {
    std::lock_guard<std::mutex> g(FLock);
    for (const auto& l : FLines) {
      if (l.first == text && l.second == level) return true;
    }
    return false;
  }
  bool HasPrefix(const std::string& prefix, TLogLevel level) const {
    std::lock_guard<std::mutex> g(FLock);
    for (const auto& l : FLines) {
      if (l.first.compare(0, prefix.size(), prefix) == 0 && l.second == level) return true;
    }
    return false;
  }
  size_t CountPrefix(const std::string& prefix) const {
    std::lock_guard<std::mutex> g(FLock);
    size_t n = 0;
    for (const auto& l : FLines) n += l.first.compare(0, prefix.size(), prefix) == 0;
    return n;
  }
  std::string Dump() const {
    std::lock_guard<std::mutex> g(FLock);
    std::string s;
    for (const auto& l : FLines) s += "[" + std::to_string(l.second) + "] " + l.first + "\n";
    return s;
  }

 private:
  mutable std::mutex FLock;  // guards FLines
  std::vector<std::pair<std::string, TLogLevel>> FLines;
};

// A millisecond tick counter the test moves by hand.
class TManualTicks {
 public:
  std::function<uint32_t()> Source() {
    return [this] { return FNow.load(); };
  }
  void Advance(uint32_t ms) { FNow += ms; }
  uint32_t Now() const { return FNow.load(); }

 private:
  std::atomic<uint32_t> FNow{100000};
};

}  // namespace gw::test
