// Helpers for the relay tests (beside the link helpers): a client connection whose Close()
// runs a close handler on the calling thread (as the transport does), and a
// reader for the logic server packets a loopback peer received.
#pragma once

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "links/LinkTestUtil.h"
#include "links/LogicSrvClient.h"
#include "logging/LogLevel.h"
#include "net/IWebSocketConnection.h"

namespace gw::test {

// A client connection without a socket. Close() runs the close handler once on
// the calling thread; sends are recorded and either completed at once or held
// until the test completes them.
class TTestConnection : public IWebSocketConnection,
                        public std::enable_shared_from_this<TTestConnection> {
 public:
  using TCloseHandler = std::function<void(const std::shared_ptr<TTestConnection>&)>;

  explicit TTestConnection(std::string peer = "10.0.0.7") : FPeer(std::move(peer)) {}

  void* GetUserObject() const override {
    std::lock_guard<std::mutex> g(FLock);
    return FUserObject;
  }
  void SetUserObject(void* obj) override {
    std::lock_guard<std::mutex> g(FLock);
    FUserObject = obj;
  }
  std::string PeerAddr() const override { return FPeer; }
  void Close() override {
    TCloseHandler handler;
    {
      std::lock_guard<std::mutex> g(FLock);
      if (FClosed) return;
      FClosed = true;
      handler = FOnClose;
    }
    // Unfinished sends fail when the connection closes.
    while (CompleteOldestSend(false)) {
    }
    if (handler) handler(shared_from_this());
  }
  void WsSend(const void* data, size_t count, TWsSendCallback callback) override {
    const auto* p = static_cast<const uint8_t*>(data);
    bool now, closed;
    {
      std::lock_guard<std::mutex> g(FLock);
      FSent.emplace_back(p, p + count);
      closed = FClosed;
      now = FAutoComplete || closed;
      if (!now) FPending.push_back(std::move(callback));
    }
    if (now) callback(shared_from_this(), !closed);
  }

  void SetCloseHandler(TCloseHandler h) {
    std::lock_guard<std::mutex> g(FLock);
    FOnClose = std::move(h);
  }
  void SetAutoComplete(bool on) {
    std::lock_guard<std::mutex> g(FLock);
    FAutoComplete = on;
  }
  bool CompleteOldestSend(bool ok = true) {
    TWsSendCallback cb;
    {
      std::lock_guard<std::mutex> g(FLock);
      if (FPending.empty()) return false;
      cb = std::move(FPending.front());
      FPending.erase(FPending.begin());
    }
    cb(shared_from_this(), ok);
    return true;
  }
  size_t PendingCount() const {
    std::lock_guard<std::mutex> g(FLock);
    return FPending.size();
  }
  std::vector<std::vector<uint8_t>> Sent() const {
    std::lock_guard<std::mutex> g(FLock);
    return FSent;
  }
  size_t SentCount() const {
    std::lock_guard<std::mutex> g(FLock);
    return FSent.size();
  }
  bool Closed() const {
    std::lock_guard<std::mutex> g(FLock);
    return FClosed;
  }

 private:
  const std::string FPeer;
  mutable std::mutex FLock;
  void* FUserObject = nullptr;
  bool FClosed = false;
  bool FAutoComplete = true;
  TCloseHandler FOnClose;
  std::vector<std::vector<uint8_t>> FSent;
  std::vector<TWsSendCallback> FPending;
};

// One packet as the logic server receives it.
struct TLogicPacket {
  TServerMessageHeader Header{};
  std::string Payload;
};

// Cuts the next whole packet off the peer's received bytes; false when none is complete.
inline bool TakeLogicPacket(TTestPeer& peer, TLogicPacket& out) {
  std::string head = peer.Received();
  if (head.size() < sizeof(TServerMessageHeader)) return false;
  TServerMessageHeader h;
  std::memcpy(&h, head.data(), sizeof(h));
  size_t total = sizeof(h) + static_cast<size_t>(h.nLen);
  std::string bytes = peer.Take(total);
  if (bytes.empty()) return false;
  out.Header = h;
  out.Payload = bytes.substr(sizeof(h));
  return true;
}

// Waits for the next packet that is not a keep-alive (ident 4) or echo (ident 7).
inline bool NextLogicPacket(TTestPeer& peer, TLogicPacket& out,
                            std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  return WaitUntil(
      [&] {
        while (TakeLogicPacket(peer, out)) {
          if (out.Header.nIdent != GM_GATE_KEEPALIVE && out.Header.nIdent != GM_GATE_ECHO) {
            return true;
          }
        }
        return false;
      },
      timeout);
}

// A logic server packet (header and payload) as the link hands it to the workers.
inline std::string LogicPacket(uint16_t ident, uint32_t handle, const std::string& payload,
                               uint8_t msgType = 0, int32_t userIndex = 0) {
  TServerMessageHeader h{};
  h.dwMagic = kServerMessageMagic;
  h.nSocket = static_cast<int32_t>(handle);
  h.wSocketIndex = static_cast<uint16_t>(userIndex);
  h.nIdent = ident;
  h.nUserListIndex = userIndex;
  h.nLen = static_cast<int32_t>(payload.size());
  h.nMsgType = msgType;
  std::string out(reinterpret_cast<const char*>(&h), sizeof(h));
  return out + payload;
}

}  // namespace gw::test
