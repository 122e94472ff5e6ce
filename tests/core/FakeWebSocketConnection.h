// A client connection for core tests: records user object, sends and closes
// without any socket. Sends are held until the test completes them (on any
// thread), so a test decides when a send finishes, e.g. after the close.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "net/IWebSocketConnection.h"

namespace gw {

class TFakeWebSocketConnection : public IWebSocketConnection,
                                 public std::enable_shared_from_this<TFakeWebSocketConnection> {
 public:
  struct TSend {
    std::vector<uint8_t> Bytes;  // copied at WsSend time
    TWsSendCallback Callback;
  };

  explicit TFakeWebSocketConnection(std::string peerAddr = "10.1.2.3")
      : FPeerAddr(std::move(peerAddr)) {}

  void* GetUserObject() const override {
    std::lock_guard<std::mutex> guard(FLock);
    return FUserObject;
  }
  void SetUserObject(void* userObject) override {
    std::lock_guard<std::mutex> guard(FLock);
    FUserObject = userObject;
  }
  std::string PeerAddr() const override { return FPeerAddr; }
  void Close() override {
    std::lock_guard<std::mutex> guard(FLock);
    ++FCloseCount;
  }
  void WsSend(const void* data, size_t count, TWsSendCallback callback) override {
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::lock_guard<std::mutex> guard(FLock);
    FSends.push_back(TSend{std::vector<uint8_t>(bytes, bytes + count), std::move(callback)});
  }

  // Runs the completion callback of the oldest unfinished send; false when none.
  bool CompleteOldestSend(bool ok = true) {
    TSend send;
    {
      std::lock_guard<std::mutex> guard(FLock);
      if (FNextToComplete >= FSends.size()) return false;
      send.Callback = std::move(FSends[FNextToComplete].Callback);
      ++FNextToComplete;
    }
    send.Callback(shared_from_this(), ok);
    return true;
  }

  std::vector<std::vector<uint8_t>> SentBytes() const {
    std::lock_guard<std::mutex> guard(FLock);
    std::vector<std::vector<uint8_t>> out;
    for (const TSend& s : FSends) out.push_back(s.Bytes);
    return out;
  }
  int CloseCount() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FCloseCount;
  }

 private:
  const std::string FPeerAddr;
  mutable std::mutex FLock;  // guards everything below
  void* FUserObject = nullptr;
  std::vector<TSend> FSends;
  size_t FNextToComplete = 0;
  int FCloseCount = 0;
};

}  // namespace gw
