// The socket engine under the HTTP layer: chunking of reads, socket options of
// accepted connections, listeners on every local address.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "NetTestUtil.h"
#include "net/SocketServer.h"
#include "net/SocketTypes.h"

namespace gw {
namespace {

using namespace test;  // WaitUntil, TTestClient, Pattern, Bytes

// An engine whose connections record the chunks they are handed. The first chunk's
// delivery waits until the test opens the gate, so later bytes pile up in the socket.
class TRecordingEngine : public TSocketServer {
 public:
  explicit TRecordingEngine(int threads) : TSocketServer(threads) {}
  ~TRecordingEngine() override { StopServer(); }

  std::mutex Lock;  // guards everything below
  std::condition_variable Changed;
  std::vector<Bytes> Chunks;
  std::vector<std::thread::id> ChunkThreads;
  bool GateOpen = false;
  int Disconnects = 0;

  size_t ChunkCount() {
    std::lock_guard<std::mutex> guard(Lock);
    return Chunks.size();
  }

 protected:
  class TConnection : public TAbstractConnection {
   public:
    TConnection(TRecordingEngine& owner, int socket)
        : TAbstractConnection(owner, socket, ctAccept), FEngine(owner) {}

   protected:
    void HandleReceived(const uint8_t* data, size_t size) override {
      std::unique_lock<std::mutex> guard(FEngine.Lock);
      FEngine.Chunks.emplace_back(data, data + size);
      FEngine.ChunkThreads.push_back(std::this_thread::get_id());
      FEngine.Changed.notify_all();
      FEngine.Changed.wait(guard, [&] { return FEngine.GateOpen; });
    }

   private:
    TRecordingEngine& FEngine;
  };

  PAbstractConnection NewConnection(int socket) override {
    return std::make_shared<TConnection>(*this, socket);
  }
  void HandleDisconnected(TAbstractConnection&) override {
    std::lock_guard<std::mutex> guard(Lock);
    ++Disconnects;
  }
};

uint16_t StartOnLoopback(TSocketServer& engine) {
  engine.SetServerAddr("127.0.0.1");
  engine.SetServerPort(0);
  bool ok = false;
  engine.StartServer([&](bool success) { ok = success; });
  EXPECT_TRUE(ok);
  return engine.ServerPort();
}

TEST(SocketEngineTest, BurstIsDeliveredAs32768ThenTheRestInOrderOnOneThread) {
  TRecordingEngine engine(3);
  uint16_t port = StartOnLoopback(engine);
  TTestClient client;
  ASSERT_TRUE(client.Connect(port));
  ASSERT_TRUE(client.SendRaw("x", 1));
  ASSERT_TRUE(WaitUntil([&] { return engine.ChunkCount() == 1; }));  // held at the gate
  Bytes burst = Pattern(40000, 7);
  ASSERT_TRUE(client.SendRaw(burst));
  // The whole burst waits in the server's socket.
  auto connections = engine.Connections();
  ASSERT_EQ(connections.size(), 1u);
  const int serverSide = connections[0]->Socket();
  ASSERT_TRUE(WaitUntil([&] { return ReadableBytes(serverSide) == 40000; }));
  {
    std::lock_guard<std::mutex> guard(engine.Lock);
    engine.GateOpen = true;
    engine.Changed.notify_all();
  }
  ASSERT_TRUE(WaitUntil([&] { return engine.ChunkCount() == 3; }));
  std::lock_guard<std::mutex> guard(engine.Lock);
  EXPECT_EQ(engine.Chunks[1].size(), 32768u);
  EXPECT_EQ(engine.Chunks[2].size(), 7232u);
  Bytes joined = engine.Chunks[1];
  joined.insert(joined.end(), engine.Chunks[2].begin(), engine.Chunks[2].end());
  EXPECT_EQ(joined, burst);
  EXPECT_EQ(engine.ChunkThreads[1], engine.ChunkThreads[2]);
}

TEST(SocketEngineTest, AcceptedSocketsGetKeepAliveAndIdentifiers) {
  TRecordingEngine engine(2);
  {
    std::lock_guard<std::mutex> guard(engine.Lock);
    engine.GateOpen = true;
  }
  uint16_t port = StartOnLoopback(engine);
  TTestClient a, b;
  ASSERT_TRUE(a.Connect(port));
  ASSERT_TRUE(b.Connect(port));
  ASSERT_TRUE(WaitUntil([&] { return engine.ConnectionCount() == 2; }));
  auto connections = engine.Connections();
  ASSERT_EQ(connections.size(), 2u);
  for (const auto& c : connections) {
    int fd = c->Socket();
    EXPECT_NE(GetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE), 0);
#if defined(__linux__)  // Windows sets the timings with an ioctl that cannot be read back
    EXPECT_EQ(GetIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 5);
    EXPECT_EQ(GetIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 3);
    EXPECT_EQ(GetIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 5);
#endif
    EXPECT_EQ(GetIntOption(fd, IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_EQ(SocketUIDKind(c->UID()), skConnection);
    EXPECT_EQ(c->PeerAddrText(), "127.0.0.1");
    EXPECT_EQ(c->LocalPort(), port);
    EXPECT_EQ(c->ConnectStatus(), csConnected);
  }
  EXPECT_NE(connections[0]->UID(), connections[1]->UID());
  EXPECT_EQ(SocketUIDKind(NewSocketUID(skListen)), skListen);
  // A peer that closes its side: one notification, on an I/O thread.
  a.CloseSocket();
  ASSERT_TRUE(WaitUntil([&] { return engine.ConnectionCount() == 1; }));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> guard(engine.Lock);
    return engine.Disconnects == 1;
  }));
}

TEST(SocketEngineTest, EmptyAddressListensOnIPv6AndIPv4WithOneSharedPort) {
  int probe = OpenTcpSocket(AF_INET6);
  if (probe < 0) GTEST_SKIP() << "no IPv6 on this host";
  CloseTcpSocket(probe);
  TRecordingEngine engine(2);
  {
    std::lock_guard<std::mutex> guard(engine.Lock);
    engine.GateOpen = true;
  }
  engine.SetServerPort(0);
  std::vector<bool> results;
  engine.StartServer([&](bool ok) { results.push_back(ok); });
  EXPECT_EQ(results, (std::vector<bool>{true, true}));
  EXPECT_EQ(engine.ListensCount(), 2u);
  uint16_t port = engine.ServerPort();
  ASSERT_NE(port, 0);
  TTestClient v4, v6;
  ASSERT_TRUE(v4.Connect(port, "127.0.0.1"));
  ASSERT_TRUE(v6.Connect(port, "::1"));
  ASSERT_TRUE(WaitUntil([&] { return engine.ConnectionCount() == 2; }));
  std::vector<std::string> peers;
  for (const auto& c : engine.Connections()) peers.push_back(c->PeerAddrText());
  std::sort(peers.begin(), peers.end());
  EXPECT_EQ(peers, (std::vector<std::string>{"127.0.0.1", "::1"}));
  engine.StopServer();
  EXPECT_EQ(engine.ListensCount(), 0u);
  EXPECT_EQ(engine.ConnectionCount(), 0u);
  // A stopped server starts again with new threads.
  results.clear();
  engine.StartServer([&](bool ok) { results.push_back(ok); });
  EXPECT_EQ(results, (std::vector<bool>{true, true}));
  TTestClient again;
  ASSERT_TRUE(again.Connect(engine.ServerPort(), "127.0.0.1"));
  ASSERT_TRUE(WaitUntil([&] { return engine.ConnectionCount() == 1; }));
}

}  // namespace
}  // namespace gw
