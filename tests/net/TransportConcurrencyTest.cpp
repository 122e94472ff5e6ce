// Races the transport must survive: Close against a peer reset, Close from another
// thread while a message handler runs, sends from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "NetTestUtil.h"
#include "net/IWebSocketServer.h"
#include "net/WsFrame.h"

namespace gw {
namespace {

using namespace test;  // WaitUntil, TTestClient, Pattern, Bytes

PWebSocketServer StartServer(int threads) {
  PWebSocketServer server = CreateWebSocketServer(threads);
  server->SetAddr("127.0.0.1");
  server->SetPort(0);
  return server;
}

TEST(TransportConcurrencyTest, CloseRacingPeerResetGivesOneCloseEvent) {
  PWebSocketServer server = StartServer(4);
  std::mutex lock;
  std::vector<PWebSocketConnection> opened;
  std::map<IWebSocketConnection*, int> closes;
  std::atomic<int> inFlightCallbacks{0};
  server->OnOpen([&](const PWebSocketConnection& c) {
    std::lock_guard<std::mutex> guard(lock);
    opened.push_back(c);
  });
  server->OnClose([&](const PWebSocketConnection& c) {
    std::lock_guard<std::mutex> guard(lock);
    ++closes[c.get()];
  });
  bool ok = false;
  server->Start([&](bool s) { ok = s; });
  ASSERT_TRUE(ok);
  constexpr int kRounds = 40;
  for (int round = 0; round < kRounds; ++round) {
    TTestClient client;
    ASSERT_TRUE(client.Open(server->Port()));
    ASSERT_TRUE(WaitUntil([&] {
      std::lock_guard<std::mutex> guard(lock);
      return opened.size() == static_cast<size_t>(round + 1);
    }));
    PWebSocketConnection connection;
    {
      std::lock_guard<std::mutex> guard(lock);
      connection = opened.back();
    }
    static const uint8_t kPayload[64] = {};
    std::thread closer([&] {
      inFlightCallbacks.fetch_add(1);
      connection->WsSend(kPayload, sizeof(kPayload), [&](const PWebSocketConnection&, bool) {
        inFlightCallbacks.fetch_sub(1);
      });
      connection->Close();
    });
    client.Reset();
    closer.join();
    ASSERT_TRUE(WaitUntil([&] {
      std::lock_guard<std::mutex> guard(lock);
      return closes[connection.get()] >= 1;
    }));
  }
  server->Stop();
  EXPECT_EQ(inFlightCallbacks.load(), 0) << "every send callback ran";
  std::lock_guard<std::mutex> guard(lock);
  ASSERT_EQ(closes.size(), static_cast<size_t>(kRounds));
  for (const auto& e : closes) EXPECT_EQ(e.second, 1);
}

TEST(TransportConcurrencyTest, CloseDuringMessageHandlerWaitsForItAndEndsDelivery) {
  PWebSocketServer server = StartServer(2);
  std::mutex lock;
  std::condition_variable changed;
  bool inHandler = false, release = false, closeSeen = false, handlerDone = false;
  int messages = 0;
  std::thread::id handlerThread, closeThread;
  PWebSocketConnection connection;
  server->OnOpen([&](const PWebSocketConnection& c) {
    std::lock_guard<std::mutex> guard(lock);
    connection = c;
  });
  server->OnMessage([&](const PWebSocketConnection&, TWsRequestType, const Bytes&) {
    std::unique_lock<std::mutex> guard(lock);
    ++messages;
    if (messages > 1) return;
    inHandler = true;
    handlerThread = std::this_thread::get_id();
    changed.notify_all();
    changed.wait(guard, [&] { return release; });
    EXPECT_FALSE(closeSeen) << "close event ran while the message handler was running";
    handlerDone = true;
  });
  server->OnClose([&](const PWebSocketConnection&) {
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_TRUE(handlerDone);
    closeSeen = true;
    closeThread = std::this_thread::get_id();
  });
  bool ok = false;
  server->Start([&](bool s) { ok = s; });
  ASSERT_TRUE(ok);
  TTestClient client;
  ASSERT_TRUE(client.Open(server->Port()));
  Bytes burst;
  for (int i = 0; i < 5; ++i) {
    Bytes f = TTestClient::Frame(wsoBinary, {static_cast<uint8_t>(i)});
    burst.insert(burst.end(), f.begin(), f.end());
  }
  ASSERT_TRUE(client.SendRaw(burst));
  {
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(20), [&] { return inHandler; }));
  }
  connection->Close();  // returns at once although the handler still runs
  {
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_FALSE(closeSeen);
    release = true;
    changed.notify_all();
  }
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> guard(lock);
    return closeSeen;
  }));
  server->Stop();
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(messages, 1) << "no message after the close";
  EXPECT_EQ(closeThread, handlerThread);
}

TEST(TransportConcurrencyTest, CloseHandlerThatThrowsEndsNeitherTheProcessNorStop) {
  PWebSocketServer server = StartServer(2);
  std::mutex lock;
  std::condition_variable changed;
  bool inHandler = false, release = false;
  int closes = 0;
  std::vector<PWebSocketConnection> opened;
  server->OnOpen([&](const PWebSocketConnection& c) {
    std::lock_guard<std::mutex> guard(lock);
    opened.push_back(c);
  });
  server->OnMessage([&](const PWebSocketConnection&, TWsRequestType, const Bytes& data) {
    if (data != Bytes{1}) return;
    std::unique_lock<std::mutex> guard(lock);
    inHandler = true;
    changed.notify_all();
    changed.wait(guard, [&] { return release; });
  });
  server->OnClose([&](const PWebSocketConnection&) {
    {
      std::lock_guard<std::mutex> guard(lock);
      ++closes;
    }
    throw std::runtime_error("close handler failed");
  });
  bool ok = false;
  server->Start([&](bool s) { ok = s; });
  ASSERT_TRUE(ok);
  // Closed from this thread while its message handler runs: the close event, and its
  // exception, come on the I/O thread once the handler returns.
  TTestClient first;
  ASSERT_TRUE(first.Open(server->Port()));
  ASSERT_TRUE(first.SendFrame(wsoBinary, {1}));
  {
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(20), [&] { return inHandler; }));
  }
  opened.at(0)->Close();
  {
    std::lock_guard<std::mutex> guard(lock);
    release = true;
    changed.notify_all();
  }
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> guard(lock);
    return closes == 1;
  }));
  // Stop closes the rest although every close handler throws.
  TTestClient second, third;
  ASSERT_TRUE(second.Open(server->Port()));
  ASSERT_TRUE(third.Open(server->Port()));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> guard(lock);
    return opened.size() == 3;
  }));
  EXPECT_NO_THROW(server->Stop());
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(closes, 3);
  EXPECT_EQ(server->ConnectionsCount(), 0u);
}

TEST(TransportConcurrencyTest, SendsFromSeveralThreadsStayWholeAndInPerThreadOrder) {
  PWebSocketServer server = StartServer(2);
  std::mutex lock;
  PWebSocketConnection connection;
  server->OnOpen([&](const PWebSocketConnection& c) {
    std::lock_guard<std::mutex> guard(lock);
    connection = c;
  });
  bool ok = false;
  server->Start([&](bool s) { ok = s; });
  ASSERT_TRUE(ok);
  TTestClient client;
  ASSERT_TRUE(client.Open(server->Port()));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> guard(lock);
    return connection != nullptr;
  }));
  constexpr int kThreads = 4, kPerThread = 300;
  std::vector<std::vector<Bytes>> payloads(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPerThread; ++i) {
      Bytes p = Pattern(static_cast<size_t>(1 + (i * 997) % 20000), static_cast<uint8_t>(i));
      p[0] = static_cast<uint8_t>(t);
      payloads[static_cast<size_t>(t)].push_back(std::move(p));
    }
  }
  std::atomic<int> done{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (const Bytes& p : payloads[static_cast<size_t>(t)]) {
        connection->WsSend(p.data(), p.size(), [&](const PWebSocketConnection&, bool sent) {
          EXPECT_TRUE(sent);
          done.fetch_add(1);
        });
      }
    });
  }
  std::vector<size_t> next(kThreads, 0);
  for (int n = 0; n < kThreads * kPerThread; ++n) {
    auto frame = client.ReadFrame();
    ASSERT_TRUE(frame) << n;
    ASSERT_FALSE(frame->Payload.empty());
    size_t t = frame->Payload[0];
    ASSERT_LT(t, static_cast<size_t>(kThreads));
    ASSERT_LT(next[t], static_cast<size_t>(kPerThread));
    EXPECT_EQ(frame->Payload, payloads[t][next[t]]) << "thread " << t << " message " << next[t];
    ++next[t];
  }
  for (auto& s : senders) s.join();
  EXPECT_TRUE(WaitUntil([&] { return done.load() == kThreads * kPerThread; }));
  server->Stop();
}

}  // namespace
}  // namespace gw
