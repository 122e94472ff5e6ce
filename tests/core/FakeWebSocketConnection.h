// A client connection for the core tests, without a socket: it records the user object,
// the sends and the closes. Close() runs the close handler once on the calling thread (as
// the transport does when no handler of the connection is running) and fails the sends
// still unfinished. Sends complete at once, or, with SetAutoComplete(false), when the test
// completes them (on any thread), e.g. after the close.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "net/IWebSocketConnection.h"

namespace gw {

class TFakeWebSocketConnection : public IWebSocketConnection,
                                 public std::enable_shared_from_this<TFakeWebSocketConnection> {
 public:
  using TCloseHandler = std::function<void(const std::shared_ptr<TFakeWebSocketConnection>&)>;

  explicit TFakeWebSocketConnection(std::string peer = "10.0.0.7") : FPeer(std::move(peer)) {}

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
      ++FCloseCount;
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
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> g(FLock);
      hook = FSendHook;
    }
    if (hook) hook();  // before the send counts as made
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
  // Runs on the sending thread inside every WsSend, with none of this connection's locks held.
  void SetSendHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> g(FLock);
    FSendHook = std::move(hook);
  }
  void SetAutoComplete(bool on) {
    std::lock_guard<std::mutex> g(FLock);
    FAutoComplete = on;
  }
  // Runs the completion callback of the oldest unfinished send; false when none.
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
  int CloseCount() const {
    std::lock_guard<std::mutex> g(FLock);
    return FCloseCount;
  }

 private:
  const std::string FPeer;
  mutable std::mutex FLock;  // guards everything below
  void* FUserObject = nullptr;
  bool FClosed = false;
  int FCloseCount = 0;
  bool FAutoComplete = true;
  TCloseHandler FOnClose;
  std::function<void()> FSendHook;
  std::vector<std::vector<uint8_t>> FSent;
  std::vector<TWsSendCallback> FPending;
};

}  // namespace gw
