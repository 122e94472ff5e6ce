// The socket server's hooks for a connection guard: refusal right after accept (no byte
// read), the admission deadline each I/O thread keeps (every stage a client can stall in,
// and a cleared deadline that never fires), the message count of one receive, and exactly
// one close report per admitted connection. Clients run on several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "NetTestUtil.h"
#include "net/AbstractConnection.h"
#include "net/IWebSocketServer.h"

namespace gw {
namespace {

using namespace test;

class TRecordingGuard : public IConnectionGuard {
 public:
  std::atomic<bool> RefuseAll{false};
  std::atomic<uint32_t> TimeoutMs{0};

  bool AdmitConnection(const std::string& address) override {
    if (RefuseAll.load()) {
      ++Refused;
      return false;
    }
    std::lock_guard<std::mutex> guard(Lock);
    ++Admitted;
    Addresses.insert(address);
    return true;
  }
  void ConnectionOpened(const std::shared_ptr<IAdmittedConnection>& connection) override {
    std::lock_guard<std::mutex> guard(Lock);
    ++Opened[connection->AdmittedUID()];
  }
  void ConnectionClosed(const std::string&, uint64_t uid) override {
    std::lock_guard<std::mutex> guard(Lock);
    ++Closed[uid];
  }
  uint32_t AdmissionTimeoutMs() const override { return TimeoutMs.load(); }
  void AdmissionTimedOut(const std::string&, TAdmissionStage stage) override {
    std::lock_guard<std::mutex> guard(Lock);
    ++TimedOut[stage];
  }

  int TimedOutIn(TAdmissionStage stage) {
    std::lock_guard<std::mutex> guard(Lock);
    return TimedOut[stage];
  }
  int TotalClosed() {
    std::lock_guard<std::mutex> guard(Lock);
    int n = 0;
    for (const auto& [uid, count] : Closed) n += count;
    return n;
  }

  std::atomic<int> Refused{0};
  std::mutex Lock;  // guards the records below
  int Admitted = 0;
  std::map<uint64_t, int> Opened, Closed;
  std::map<TAdmissionStage, int> TimedOut;
  std::set<std::string> Addresses;  // every address admitted
};

class AdmissionGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FGuard = std::make_shared<TRecordingGuard>();
    FServer = CreateWebSocketServer(4);
    FServer->SetPort(0);
    FServer->SetAddr("127.0.0.1");
    FServer->SetConnectionGuard(FGuard);
    // "pass" clears the deadline; every message is answered with the number of messages
    // delivered from its receive so far.
    FServer->OnMessage([](const PWebSocketConnection& c, TWsRequestType, const Bytes& data) {
      if (std::string(data.begin(), data.end()) == "pass") c->PassedAdmission();
      c->WsSendText(std::to_string(c->MessagesInThisRead()), nullptr);
    });
    bool ok = true;
    FServer->Start([&](bool success) { ok = ok && success; });
    ASSERT_TRUE(ok);
    FPort = FServer->Port();
  }
  void TearDown() override {
    if (FServer) FServer->Stop();
  }

  std::shared_ptr<TRecordingGuard> FGuard;
  PWebSocketServer FServer;
  uint16_t FPort = 0;
};

TEST_F(AdmissionGuardTest, RefusedConnectionsAreResetBeforeAnyByteAndNeverOpened) {
  FGuard->RefuseAll = true;
  TTestClient client;
  ASSERT_TRUE(client.Connect(FPort));
  client.SendRaw(TTestClient::UpgradeRequest());
  EXPECT_TRUE(client.WaitPeerClosed());
  EXPECT_TRUE(WaitUntil([&] { return FGuard->Refused.load() == 1; }));
  std::lock_guard<std::mutex> guard(FGuard->Lock);
  EXPECT_TRUE(FGuard->Opened.empty());
  EXPECT_TRUE(FGuard->Closed.empty());
}

TEST_F(AdmissionGuardTest, DeadlinesCloseStalledClientsInEveryStageAndSparePassedOnes) {
  // Long enough for a passing client on a loaded machine; the others wait it out.
  FGuard->TimeoutMs = 1500;
  constexpr int kEach = 4;
  std::vector<std::thread> threads;
  std::atomic<int> passedStillServed{0}, stalledClosed{0};
  for (int i = 0; i < kEach; ++i) {
    threads.emplace_back([&] {  // passes, then outlives every deadline
      TTestClient c;
      if (!c.Open(FPort) || !c.SendFrame(1, {'p', 'a', 's', 's'}) || !c.ReadFrame()) return;
      if (!WaitUntil([&] { return FGuard->TimedOutIn(asUnanswered) == kEach; })) return;
      if (c.SendFrame(1, {'x'}) && c.ReadFrame()) ++passedStillServed;
    });
    threads.emplace_back([&] {  // silent
      TTestClient c;
      if (c.Connect(FPort) && c.WaitPeerClosed()) ++stalledClosed;
    });
    threads.emplace_back([&] {  // header never finished
      TTestClient c;
      if (c.Connect(FPort) && c.SendRaw("GET / HTTP/1.1\r\nHost: x\r\n") && c.WaitPeerClosed())
        ++stalledClosed;
    });
    threads.emplace_back([&] {  // upgraded, never passes
      TTestClient c;
      if (c.Open(FPort) && c.SendFrame(1, {'h', 'i'}) && c.ReadFrame() && c.WaitPeerClosed())
        ++stalledClosed;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(stalledClosed.load(), 3 * kEach);
  EXPECT_EQ(passedStillServed.load(), kEach);
  EXPECT_EQ(FGuard->TimedOutIn(asNothingSent), kEach);
  EXPECT_EQ(FGuard->TimedOutIn(asHeader), kEach);
  EXPECT_EQ(FGuard->TimedOutIn(asUnanswered), kEach);
  // Every admitted connection is reported closed exactly once.
  FServer->Stop();
  std::lock_guard<std::mutex> guard(FGuard->Lock);
  EXPECT_EQ(FGuard->Admitted, 4 * kEach);
  EXPECT_EQ(FGuard->Opened.size(), static_cast<size_t>(4 * kEach));
  EXPECT_EQ(FGuard->Closed, FGuard->Opened);
}

TEST_F(AdmissionGuardTest, MessagesAreCountedPerReceive) {
  TTestClient c;
  ASSERT_TRUE(c.Open(FPort));
  Bytes burst;
  for (int i = 0; i < 5; ++i) {
    Bytes f = TTestClient::Frame(1, {'m'});
    burst.insert(burst.end(), f.begin(), f.end());
  }
  ASSERT_TRUE(c.SendRaw(burst));  // one write: one receive
  std::vector<std::string> counts;
  for (int i = 0; i < 5; ++i) {
    auto frame = c.ReadFrame();
    ASSERT_TRUE(frame);
    counts.emplace_back(frame->Payload.begin(), frame->Payload.end());
  }
  EXPECT_EQ(counts, (std::vector<std::string>{"1", "2", "3", "4", "5"}));
  ASSERT_TRUE(c.SendFrame(1, {'n'}));
  auto next = c.ReadFrame();
  ASSERT_TRUE(next);
  EXPECT_EQ(std::string(next->Payload.begin(), next->Payload.end()), "1");
}

// Behind a balancer: clients from a trusted address open with a PROXY header, and the
// guard is asked about the client it names once the header has arrived.
class ProxiedAdmissionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FGuard = std::make_shared<TRecordingGuard>();
    FServer = CreateWebSocketServer(4);
    FServer->SetPort(0);
    FServer->SetAddr("127.0.0.1");
    FServer->SetConnectionGuard(FGuard);
    FServer->SetProxyProtocol(*ParseCidrList("127.0.0.0/8"));
    bool ok = true;
    FServer->Start([&](bool success) { ok = ok && success; });
    ASSERT_TRUE(ok);
    FPort = FServer->Port();
  }
  void TearDown() override { FServer->Stop(); }

  static std::string Header(int i) {
    return "PROXY TCP4 10.1.0." + std::to_string(i) + " 127.0.0.1 4000 80\r\n";
  }
  // Every admitted connection opened and reported closed exactly once.
  void ExpectEveryAdmittedClosedOnce() {
    std::lock_guard<std::mutex> guard(FGuard->Lock);
    EXPECT_EQ(FGuard->Opened.size(), static_cast<size_t>(FGuard->Admitted));
    for (const auto& [uid, count] : FGuard->Opened) EXPECT_EQ(count, 1) << uid;
    EXPECT_EQ(FGuard->Closed, FGuard->Opened);
  }

  std::shared_ptr<TRecordingGuard> FGuard;
  PWebSocketServer FServer;
  uint16_t FPort = 0;
};

TEST_F(ProxiedAdmissionTest, GracefulCloseSendsGoingAwayToUpgradedClientsUnderTheirOwnAddress) {
  constexpr int kUpgraded = 6, kHalfHeader = 3;
  std::atomic<int> upgraded{0}, goingAway{0}, halfClosed{0};
  std::vector<std::thread> threads;
  for (int i = 1; i <= kUpgraded; ++i) {
    threads.emplace_back([&, i] {
      TTestClient c;
      // The header and the request in one write: the request must survive the header.
      if (!c.Connect(FPort) || !c.SendRaw(Header(i) + TTestClient::UpgradeRequest())) return;
      if (c.ReadHttpResponse().rfind("HTTP/1.1 101 ", 0) != 0) return;
      ++upgraded;
      auto close = c.ReadFrame();
      if (!close || close->OpCode != 8 || close->Payload != Bytes{0x03, 0xE9}) return;
      if (c.SendFrame(8, close->Payload) && c.WaitPeerClosed()) ++goingAway;
    });
  }
  for (int i = 0; i < kHalfHeader; ++i) {
    threads.emplace_back([&] {
      TTestClient c;
      if (c.Connect(FPort) && c.SendRaw("PROXY TCP4 10.2.") && c.WaitPeerClosed()) ++halfClosed;
    });
  }
  ASSERT_TRUE(WaitUntil([&] { return upgraded.load() == kUpgraded; }));
  ASSERT_TRUE(WaitUntil([&] { return FServer->ConnectionsCount() == kUpgraded + kHalfHeader; }));
  FServer->CloseGracefully(60000);  // returns once every client answered
  for (auto& t : threads) t.join();
  EXPECT_EQ(goingAway.load(), kUpgraded);
  EXPECT_EQ(halfClosed.load(), kHalfHeader);
  EXPECT_EQ(FServer->ConnectionsCount(), 0u);
  // The close work of the last answers may still run on the I/O threads; Stop ends them.
  FServer->Stop();
  {
    std::lock_guard<std::mutex> guard(FGuard->Lock);
    std::set<std::string> expected;
    for (int i = 1; i <= kUpgraded; ++i) expected.insert("10.1.0." + std::to_string(i));
    EXPECT_EQ(FGuard->Addresses, expected);  // half headers were never admitted
  }
  ExpectEveryAdmittedClosedOnce();
}

TEST_F(ProxiedAdmissionTest, AStopWhileHeadersArriveReportsEachAdmittedConnectionOnce) {
  constexpr int kThreads = 4, kEach = 25;
  std::atomic<int> started{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        TTestClient c;
        ++started;
        if (!c.Connect(FPort)) return;  // the listener is gone
        // Half of them in two writes, so that some headers are cut by the stop.
        const std::string header = Header(t * kEach + i);
        if (i % 2 == 0) {
          c.SendRaw(header + TTestClient::UpgradeRequest());
        } else {
          c.SendRaw(header.substr(0, 10));
          c.SendRaw(header.substr(10) + TTestClient::UpgradeRequest());
        }
        c.ReadHttpResponse(2000);
      }
    });
  }
  ASSERT_TRUE(WaitUntil([&] { return started.load() >= kThreads * kEach / 3; }));
  FServer->Stop();
  for (auto& t : threads) t.join();
  ExpectEveryAdmittedClosedOnce();
}

}  // namespace
}  // namespace gw
