// The simulators' readiness wait over real loopback sockets: wake-ups from other threads,
// sockets registered and removed in any order, peers that close, and edge-triggered writes.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "EventPoller.h"
#include "SimSocket.h"
#include "support/WaitUntil.h"

using namespace gw;

namespace {

constexpr int kWaitMs = 20;

// A listener on an ephemeral loopback port and connected, non-blocking pairs of sockets.
class TLoopback {
 public:
  TLoopback() {
    FListen = OpenStreamSocket();
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_TRUE(BindAndListen(FListen, sa, 64)) << SocketErrorText("listen");
    sockaddr_storage bound{};
    SocketLocalAddress(FListen, bound);
    FAddr = reinterpret_cast<const sockaddr_in&>(bound);
  }
  ~TLoopback() {
    for (int fd : FOpen) SocketClose(fd);
    SocketClose(FListen);
  }
  // The connecting end and the accepted end.
  std::pair<int, int> Pair() {
    int client = OpenStreamSocket();
    EXPECT_TRUE(StartConnect(client, FAddr));
    int server = -1;
    sockaddr_in peer{};
    EXPECT_TRUE(test_support::WaitUntil([&] {
      server = AcceptStream(FListen, peer);
      return server >= 0;
    }));
    FOpen.push_back(client);
    FOpen.push_back(server);
    return {client, server};
  }
  void Close(int Fd) {
    SocketClose(Fd);
    std::erase(FOpen, Fd);
  }

 private:
  int FListen = -1;
  sockaddr_in FAddr{};
  std::vector<int> FOpen;
};

// Waits until the poller reported every tag in Expected; the tags reported meanwhile go to Seen.
bool WaitForTags(TEventPoller& Poller, const std::set<uint64_t>& Expected, std::set<uint64_t>& Seen,
                 uint32_t Bits = pfIn) {
  return test_support::WaitUntil([&] {
    TPollEvent events[16];
    int n = Poller.Wait(events, 16, kWaitMs);
    for (int i = 0; i < n; ++i) {
      if (events[i].Events & Bits) Seen.insert(events[i].Tag);
    }
    for (uint64_t tag : Expected) {
      if (!Seen.count(tag)) return false;
    }
    return true;
  });
}

TEST(EventPoller, AWakeFromAnotherThreadEndsTheWait) {
  TEventPoller poller;
  ASSERT_TRUE(poller.Ok());
  for (int round = 0; round < 3; ++round) {
    bool woken = false;
    std::thread waker([&] { poller.Wake(); });
    // A wait far longer than the test may take: only the wake-up ends it.
    TPollEvent events[4];
    while (!woken) {
      int n = poller.Wait(events, 4, 60000);
      for (int i = 0; i < n; ++i) woken = woken || events[i].Tag == TEventPoller::kWakeTag;
    }
    waker.join();
  }
  // Taken: a wake-up is reported once.
  TPollEvent events[4];
  EXPECT_EQ(poller.Wait(events, 4, 0), 0);
}

TEST(EventPoller, ReportsTheSocketsStillRegisteredWhateverWasRemoved) {
  TEventPoller poller;
  TLoopback net;
  std::vector<std::pair<int, int>> pairs;
  for (uint64_t i = 0; i < 6; ++i) {
    pairs.push_back(net.Pair());
    poller.Add(pairs.back().second, 100 + i, pfIn);
  }
  // The first, a middle one and the last go; the others keep their own tags.
  for (size_t gone : {size_t{0}, size_t{3}, size_t{5}}) poller.Remove(pairs[gone].second);
  for (auto& [client, server] : pairs) {
    ASSERT_EQ(SocketSend(client, "x", 1), 1);
  }
  std::set<uint64_t> seen;
  EXPECT_TRUE(WaitForTags(poller, {101, 102, 104}, seen));
  EXPECT_EQ(seen, (std::set<uint64_t>{101, 102, 104}));
  // Modify moves a socket to a new tag; one added after the removals gets its own.
  poller.Modify(pairs[1].second, 200, pfIn);
  auto added = net.Pair();
  poller.Add(added.second, 300, pfIn);
  ASSERT_EQ(SocketSend(added.first, "y", 1), 1);
  seen.clear();
  EXPECT_TRUE(WaitForTags(poller, {200, 102, 104, 300}, seen));
  EXPECT_FALSE(seen.count(101));
}

TEST(EventPoller, APeerThatClosesIsReported) {
  TEventPoller poller;
  TLoopback net;
  auto [client, server] = net.Pair();
  poller.Add(server, 7, pfIn);
  net.Close(client);
  std::set<uint64_t> seen;
  EXPECT_TRUE(WaitForTags(poller, {7}, seen, pfIn | pfHup | pfErr));
  char byte;
  EXPECT_EQ(SocketRecv(server, &byte, 1), 0) << "the end of the stream";
}

// Edge-triggered writing: readiness comes once, and again after a send would block once the
// peer made room.
TEST(EventPoller, EdgeTriggeredWriteReadinessComesOncePerBlockedSend) {
  TEventPoller poller;
  TLoopback net;
  auto [client, server] = net.Pair();
  poller.Add(client, 9, pfIn | pfOut | pfEdge);
  std::set<uint64_t> seen;
  ASSERT_TRUE(WaitForTags(poller, {9}, seen, pfOut));
  TPollEvent events[4];
  EXPECT_EQ(poller.Wait(events, 4, 0), 0) << "reported again without a new edge";

  std::string chunk(64 * 1024, 'z');
  size_t sent = 0;
  for (int i = 0; i < 4096; ++i) {  // 256 MiB at most: far beyond any socket buffer
    ssize_t n = SocketSend(client, chunk.data(), chunk.size());
    if (n < 0) break;
    sent += static_cast<size_t>(n);
  }
  ASSERT_EQ(errno, EAGAIN) << "the peer's buffers never filled";
  poller.WantWriteAgain(client);
  // The peer reads everything; somewhere on the way the sender may write again.
  bool writable = false;
  size_t received = 0;
  char buf[65536];
  EXPECT_TRUE(test_support::WaitUntil([&] {
    ssize_t n = SocketRecv(server, buf, sizeof(buf));
    if (n > 0) received += static_cast<size_t>(n);
    int k = poller.Wait(events, 4, 0);
    for (int i = 0; i < k; ++i) writable = writable || (events[i].Events & pfOut);
    return writable;
  }));
  EXPECT_LE(received, sent);
}

}  // namespace
