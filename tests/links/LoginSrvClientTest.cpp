#include <gtest/gtest.h>

#include <thread>

#include "codec/EDcode.h"
#include "links/LinkTestUtil.h"
#include "links/LoginSrvClient.h"

namespace gw {
namespace {

using test::Bytes;
using test::TFakeGateWayServer;
using test::TLogCapture;
using test::TManualTicks;
using test::TTestPeer;
using test::WaitUntil;

// A data frame for the handle text carrying `message` as the login server writes it.
std::string DataFrame(const std::string& handleText, const std::string& message) {
  return "%" + handleText + "/#" +
         EncodeSixBit(message.data(), static_cast<int32_t>(message.size())) + "!$";
}

std::vector<std::string> Entries(TGateIPManager& m, bool permanent) {
  std::vector<std::string> out;
  auto collect = [&](int, const TSockaddr* e) { out.push_back(e->IPaddr); };
  if (permanent) {
    m.EarchBlockIPs(collect);
  } else {
    m.EarchTempBlockIPs(collect);
  }
  return out;
}

class LoginSrvHandler : public ::testing::Test {
 protected:
  void SetUp() override { link.SetLogger(log.Proc()); }

  TFakeGateWayServer fake;
  TLogCapture log;
  TGateIPManager ips{"/nonexistent-dir/BlockIPList.txt"};
  TLoginSrvClient link{"LoginSrvClient", "127.0.0.1", 1, &fake, &ips};
};

TEST_F(LoginSrvHandler, ControlFramesCloseAndBlock) {
  fake.SetAddr(5, "10.1.1.5");
  fake.SetAddr(6, "10.1.1.6");
  link.DoPacket("%+-17$");
  link.DoPacket("%++$");
  link.DoPacket("%+X4$");
  link.DoPacket("%+$");
  link.DoPacket("%+B5$");
  link.DoPacket("%+T6$");
  link.DoPacket("%+B99$");  // no such session: closed, nothing worth blocking
  auto calls = fake.Calls();
  ASSERT_EQ(calls.size(), 4u);
  const std::pair<uint32_t, std::string> expected[] = {{17, "LoginSrv Close"},
                                                       {5, "LoginSrv Close Block"},
                                                       {6, "LoginSrv Close Kick"},
                                                       {99, "LoginSrv Close Block"}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(calls[i].Op, "Close");
    EXPECT_EQ(calls[i].Handle, expected[i].first);
    EXPECT_EQ(calls[i].Data, expected[i].second);
  }
  EXPECT_EQ(calls[1].Addr, "10.1.1.5");
  EXPECT_EQ(Entries(ips, false), std::vector<std::string>{"10.1.1.5"});
  EXPECT_EQ(Entries(ips, true), std::vector<std::string>{"10.1.1.6"});
  EXPECT_EQ(log.Dump(), "");
}

TEST_F(LoginSrvHandler, HandOverComesBeforeTheMessageReachesTheClient) {
  const std::string message = Bytes({0x12, 0x02}) + "character list";
  link.DoPacket(DataFrame("12", message));
  auto calls = fake.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].Op, "Step");
  EXPECT_EQ(calls[0].Handle, 12u);
  EXPECT_EQ(calls[0].Step, ssGame);
  EXPECT_FALSE(calls[0].SoftClose);
  EXPECT_EQ(calls[1].Op, "Direct");
  EXPECT_EQ(calls[1].Handle, 12u);
  EXPECT_EQ(calls[1].Data, "\x05" + message);
}

TEST_F(LoginSrvHandler, DataFramesReachTheClientWithTypeFive) {
  struct Case {
    std::string frame;
    uint32_t handle;
    std::string data;
  } cases[] = {
      {DataFrame("7", "hi"), 7, "\x05hi"},
      {DataFrame("//8", Bytes({0x13, 0x02})), 8, Bytes({5, 0x13, 0x02})},  // not 530
      {DataFrame("2147483647", "x"), 2147483647u, "\x05x"},
      {DataFrame("-2", "x"), 0xFFFFFFFEu, "\x05x"},
      {"%9/ab$", 9, "\x05"},  // nothing between the two framing characters
      {"%9$", 9, "\x05"},
  };
  for (const auto& c : cases) {
    fake.Reset();
    link.DoPacket(c.frame);
    auto calls = fake.Calls();
    ASSERT_EQ(calls.size(), 1u) << c.frame;
    EXPECT_EQ(calls[0].Op, "Direct");
    EXPECT_EQ(calls[0].Handle, c.handle) << c.frame;
    EXPECT_EQ(calls[0].Data, c.data) << c.frame;
  }
}

TEST_F(LoginSrvHandler, LongMessagesGrowTheDecodeBuffer) {
  std::string message(3000, '\0');
  for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>(i * 7);
  EXPECT_EQ(link.RecvDataSize(), 1024);
  link.DoPacket(DataFrame("3", message));
  EXPECT_GE(link.RecvDataSize(), 4001);
  ASSERT_EQ(fake.Calls().size(), 1u);
  EXPECT_EQ(fake.Calls()[0].Data, "\x05" + message);
}

TEST_F(LoginSrvHandler, MalformedFramesAreLoggedAndDropped) {
  struct Case {
    std::string frame;
    std::string line;
    TLogLevel level;
  } cases[] = {
      {"$", "TLoginSrvClient DoPacket To Short$", llMessage},
      {"xyz$", "TLoginSrvClient Packet Failxyz$", llMessage},
      {"junk%+-3$", "TLoginSrvClient Packet Failjunk%+-3$", llMessage},
      {DataFrame("0", "a"), "LoginSrv Proxy DecodeGatePacket SessionHandle  = 0  Error:", llError},
      {DataFrame("abc", "a"),
       "LoginSrv Proxy DecodeGatePacket SessionHandle  = 0  Error:", llError},
      {DataFrame("2147483648", "a"),
       "LoginSrv Proxy DecodeGatePacket SessionHandle  = 0  Error:", llError},
      {DataFrame("", "a"), "LoginSrv Proxy DecodeGatePacket SessionHandle  = 0  Error:", llError},
      {DataFrame("12x", "a"),
       "LoginSrv Proxy DecodeGatePacket SessionHandle  = 0  Error:", llError},
  };
  for (const auto& c : cases) {
    TLogCapture one;
    link.SetLogger(one.Proc());
    link.DoPacket(c.frame);
    std::string line = c.line;
    if (c.level == llError) line += c.frame;
    EXPECT_TRUE(one.Has(line, c.level)) << c.frame << "\n" << one.Dump();
  }
  link.DoPacket("%$");  // an empty body is dropped silently
  EXPECT_TRUE(fake.Calls().empty());
}

TEST(LoginSrvHandle, ParsesSignedDecimalOrGivesZero) {
  const std::pair<std::string, uint32_t> cases[] = {
      {"17", 17}, {"+17", 17}, {"-1", 0xFFFFFFFFu}, {"2147483647", 2147483647u}, {"2147483648", 0},
      {"", 0},    {"1 ", 0},   {"0x10", 0},         {"4294967295", 0},           {"abc", 0}};
  for (const auto& [text, handle] : cases) EXPECT_EQ(ParseLoginSessionHandle(text), handle) << text;
}

// ---- the running link over a real loopback connection

class LoginSrvLink : public ::testing::Test {
 protected:
  void SetUp() override {
    link.SetLogger(log.Proc());
    link.SetTickSource(ticks.Source());
  }
  void StartAndWaitConnected() {
    link.Start();
    ASSERT_TRUE(WaitUntil([&] {
      return peer.Connected() &&
             log.Has(" LoginSrvClient 连接成功 127.0.0.1:" + std::to_string(peer.Port()),
                     llMessage);
    })) << log.Dump();
  }
  // Waits until the peer holds exactly `text` at the front of what it received.
  bool Expect(const std::string& text) {
    if (!peer.WaitReceivedAtLeast(text.size())) return false;
    std::string got = peer.Take(text.size());
    EXPECT_EQ(got, text);
    return got == text;
  }

  TTestPeer peer;
  TFakeGateWayServer fake;
  TLogCapture log;
  TManualTicks ticks;
  TGateIPManager ips{"/nonexistent-dir/BlockIPList.txt"};
  TLoginSrvClient link{"LoginSrvClient", "127.0.0.1", peer.Port(), &fake, &ips};
};

TEST_F(LoginSrvLink, FramesGoOutExactlyAsBuilt) {
  StartAndWaitConnected();
  ticks.Advance(2001);
  ASSERT_TRUE(Expect("%--$"));
  link.RegisterSession(7, "10.0.0.7");
  ASSERT_TRUE(Expect("%N7/10.0.0.7/127.0.0.1$"));
  const std::string msg = Bytes({0x05, 0x41, 0x42});
  EXPECT_TRUE(link.ForwardTo(7, msg.data(), 3));
  ASSERT_TRUE(
      Expect("%D7/\x05"
             "AB$"));
  link.SendCloseSession(7);
  ASSERT_TRUE(Expect("%C7$"));
  link.RegisterSession(MakeSessionHandle(200, 1, 2), "1.2.3.4");
  ASSERT_TRUE(Expect("%N3355508738/1.2.3.4/127.0.0.1$"));  // unsigned decimal
  ticks.Advance(2001);
  ASSERT_TRUE(Expect("%--$"));
}

// The core reads login messages before they are carried and closes a client that sends a
// "$"; the link, a transport, still never frames one: it would end the frame early.
TEST_F(LoginSrvLink, BytesHoldingDollarAreNeverFramed) {
  StartAndWaitConnected();
  const std::string forged = "x$%+-9$%D9/";
  EXPECT_FALSE(link.ForwardTo(7, forged.data(), static_cast<uint32_t>(forged.size())));
  EXPECT_TRUE(fake.Calls().empty()) << "the link closes no session";
  EXPECT_TRUE(log.HasPrefix(
      "LoginSrvClient cannot frame a message holding \"$\" , dropped , SessionHandle : 7", llError))
      << log.Dump();
  // Nothing of it reached the login server: the next frame is the first one it sees.
  link.SendCloseSession(8);
  ASSERT_TRUE(Expect("%C8$"));
}

TEST_F(LoginSrvLink, FramesAreCutInOrderAndWaitForTheirEnd) {
  StartAndWaitConnected();
  peer.Send("%+-1$%+-2$%+-3");
  ASSERT_TRUE(WaitUntil([&] { return fake.Count("Close") == 2; }));
  peer.Send("$%+-400000");
  ASSERT_TRUE(WaitUntil([&] { return fake.Count("Close") == 3; }));
  peer.Send("$");
  ASSERT_TRUE(WaitUntil([&] { return fake.Count("Close") == 4; }));
  auto calls = fake.Calls();
  const uint32_t handles[] = {1, 2, 3, 400000};
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(calls[i].Handle, handles[i]);
}

TEST_F(LoginSrvLink, SilenceEndsTheConnectionButKeepsSessions) {
  StartAndWaitConnected();
  ticks.Advance(6000);
  ASSERT_TRUE(Expect("%--$"));
  peer.Send("%++$%+-5$");  // a control frame refreshes the time-out
  ASSERT_TRUE(WaitUntil([&] { return fake.Count("Close") == 1; }));
  ticks.Advance(6000);
  // The keep-alive comes from the same check that would have timed out.
  ASSERT_TRUE(Expect("%--$"));
  EXPECT_EQ(log.CountPrefix("LoginSrvClient  Closed"), 0u) << log.Dump();
  peer.Send(DataFrame("5", "data frames do not refresh"));
  ASSERT_TRUE(WaitUntil([&] { return fake.Count("Direct") == 1; }));
  ticks.Advance(4001);
  ASSERT_TRUE(WaitUntil([&] {
    return log.Has("LoginSrvClient  Closed , Code : 0 ,Desc:KeepAlive TimeOut ", llMessage);
  })) << log.Dump();
  ASSERT_TRUE(WaitUntil([&] { return peer.Accepted() == 2; }));
  EXPECT_EQ(fake.Count("Close"), 1u);
  EXPECT_EQ(fake.Count("CloseAll"), 0u);
}

TEST_F(LoginSrvLink, FramesWhileDisconnectedAreDropped) {
  link.RegisterSession(1, "9.9.9.9");
  link.SendCloseSession(1);
  StartAndWaitConnected();
  ticks.Advance(2001);
  ASSERT_TRUE(Expect("%--$"));
}

TEST_F(LoginSrvLink, EndlessFrameDropsTheConnection) {
  StartAndWaitConnected();
  peer.Send("%" + std::string(TProxySocketClient::kMaxFrameSize, 'a'));
  ASSERT_TRUE(WaitUntil([&] { return peer.Accepted() == 2; })) << log.Dump();
  EXPECT_TRUE(log.Has("LoginSrvClient  Closed , Code : 0 ,Desc:Frame Too Long ", llMessage));
}

// Stopping right after the clients' "%C" frames were appended: they reach the login
// server, behind megabytes of frames the link's thread had no time to send.
TEST_F(LoginSrvLink, StopDeliversTheFramesAppendedJustBefore) {
  link.SetStopFlushTimeLimit(60000);
  StartAndWaitConnected();
  const std::string msg(1000, 'm');
  std::string expected;
  for (uint32_t h = 1; h <= 8192; ++h) {
    ASSERT_TRUE(link.ForwardTo(h, msg.data(), static_cast<uint32_t>(msg.size())));
    expected += "%D" + std::to_string(h) + "/" + msg + "$";
  }
  for (uint32_t h = 1; h <= 100; ++h) {
    link.SendCloseSession(h);
    expected += "%C" + std::to_string(h) + "$";
  }
  link.Stop();
  ASSERT_TRUE(peer.WaitReceivedAtLeast(expected.size()));
  EXPECT_TRUE(peer.Received() == expected);
  EXPECT_EQ(log.CountPrefix("LoginSrvClient stopped with "), 0u) << log.Dump();
}

// A login server that stops reading while clients keep sending: the senders never wait
// for it (they all finish while it still reads nothing), what does not fit is dropped at
// the backlog bound with one line, the keep-alive time-out still ends the connection,
// and Stop ends although nothing more can be delivered.
TEST_F(LoginSrvLink, ServerThatStopsReadingNeverHoldsUpSendersOrStop) {
  link.SetSendBacklogLimit(1 << 20);
  link.SetStopFlushTimeLimit(100);
  StartAndWaitConnected();
  peer.SetReading(false);
  const std::string msg(4000, 'm');
  constexpr int kThreads = 4, kMessages = 2000;  // 32 MB: far beyond both socket buffers
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kMessages; ++i) {
        link.ForwardTo(static_cast<uint32_t>(t + 1), msg.data(), static_cast<uint32_t>(msg.size()));
        if (i % 500 == 0) link.RegisterSession(static_cast<uint32_t>(100 + i), "10.0.0.1");
      }
    });
  }
  for (auto& s : senders) s.join();
  EXPECT_TRUE(log.Has("LoginSrvClient send backlog over 1048576 bytes, frames dropped", llError))
      << log.Dump();
  // One line when dropping starts, and again only after frames were accepted again.
  EXPECT_LE(log.CountPrefix("LoginSrvClient send backlog over"),
            log.CountPrefix("LoginSrvClient send backlog accepts frames again") + 1);
  EXPECT_GT(link.Stats().Breaches(TLimitBreach::lbLoginSendBacklog), 0u);
  EXPECT_LE(link.SendBacklog(), 1 << 20);

  // No control frame for 10 s: the link gives up on the connection whatever its socket does.
  ticks.Advance(10001);
  ASSERT_TRUE(WaitUntil([&] {
    return log.Has("LoginSrvClient  Closed , Code : 0 ,Desc:KeepAlive TimeOut ", llMessage);
  })) << log.Dump();
  ASSERT_TRUE(WaitUntil([&] { return peer.Accepted() == 2 && link.IsConnected(); }));
  EXPECT_EQ(link.SendBacklog(), 0) << "nothing of the lost connection goes out on the new one";

  // Stalled again, with frames waiting: Stop gives up at its time limit.
  for (int i = 0; i < 2000; ++i) {
    link.ForwardTo(1, msg.data(), static_cast<uint32_t>(msg.size()));
  }
  link.Stop();
  // Where the system does not count unacknowledged bytes, a stop only knows that the socket
  // took them, and the socket's own buffer may hold all of them.
  int unacknowledged = 0;
  if (links::SocketUnacknowledgedBytes(link.SocketHandle(), unacknowledged) !=
      links::TUnacknowledged::uaUncounted) {
    EXPECT_TRUE(log.HasPrefix("LoginSrvClient stopped with ", llWarning)) << log.Dump();
  }
}

// BeginStop ends the link's thread at once; what is appended after it still reaches the
// server when Stop delivers the rest.
TEST_F(LoginSrvLink, AppendsAfterBeginStopAreDeliveredByStop) {
  StartAndWaitConnected();
  link.BeginStop();
  link.BeginStop();  // idempotent
  link.SendCloseSession(41);
  link.SendCloseSession(42);
  link.Stop();
  ASSERT_TRUE(Expect("%C41$%C42$"));
  EXPECT_EQ(log.CountPrefix("LoginSrvClient stopped with "), 0u) << log.Dump();
}

// Drives the loop's turns by hand on a connected link.
class TTurnLink : public TLoginSrvClient {
 public:
  using TLoginSrvClient::TLoginSrvClient;
  using TProxySocketClient::RunTurn;
  void Arrive(const std::string& bytes) {
    RecvStream().WriteBuf(bytes.data(), static_cast<int64_t>(bytes.size()));
  }
};

class LoginSrvTurns : public ::testing::Test {
 protected:
  void SetUp() override { link.SetTickSource(ticks.Source()); }

  TTestPeer peer;
  TFakeGateWayServer fake;
  TGateIPManager ips{"/nonexistent-dir/BlockIPList.txt"};
  TTurnLink link{"LoginSrvClient", "127.0.0.1", peer.Port(), &fake, &ips};
  TManualTicks ticks;
};

// Bytes that complete a waiting frame are cut even when they bring the buffer back to
// the size it had before the last cut.
TEST_F(LoginSrvTurns, CompletedFrameIsCutWhateverTheBufferSize) {
  link.RunTurn();  // connects
  ASSERT_TRUE(link.IsConnected());
  link.Arrive("%+-1$%+-2$%+-3");  // 14 bytes, 4 left after the cut
  link.RunTurn();
  ASSERT_EQ(fake.Count("Close"), 2u);
  link.Arrive("$%+-400000");  // 14 bytes again
  link.RunTurn();
  ASSERT_EQ(fake.Count("Close"), 3u);
  link.RunTurn();
  link.Arrive("$");
  link.RunTurn();
  auto calls = fake.Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[3].Handle, 400000u);
}

// A client that passes its token check while the link is just connecting is announced
// on the new connection: frames appended once the connection is up are never thrown
// away as leftovers of the old one.
TEST_F(LoginSrvTurns, FrameAppendedRightAfterConnectIsSent) {
  // The connect line is written as soon as the connection is up; an I/O thread may
  // append from then on. Appending from the log procedure hits exactly that moment.
  link.SetLogger([&](const std::string& text, TLogLevel) {
    if (text.find("连接成功") != std::string::npos) link.RegisterSession(7, "10.0.0.7");
  });
  link.RunTurn();  // connects
  ASSERT_TRUE(link.IsConnected());
  link.RunTurn();  // sends
  ASSERT_TRUE(peer.WaitReceivedAtLeast(23));
  EXPECT_EQ(peer.Received(), "%N7/10.0.0.7/127.0.0.1$");
}

TEST(LoginSrvConnect, UnreachableServerLogsAndStopsPromptly) {
  TLogCapture log;
  TFakeGateWayServer fake;
  const int port = test::ClosedPort();
  TLoginSrvClient link("LoginSrvClient", "127.0.0.1", port, &fake);
  link.SetLogger(log.Proc());
  link.Start();
  ASSERT_TRUE(WaitUntil([&] {
    return log.Has("[ERROR]:Socket 连接失败 LoginSrvClient, 127.0.0.1:" + std::to_string(port),
                   llError);
  })) << log.Dump();
  link.Stop();  // wakes the five-second pause
  EXPECT_FALSE(link.IsConnected());
}

// Client messages from many threads while the link polls and handles control frames:
// every frame arrives whole, each writer's frames in order.
TEST(LoginSrvConcurrency, ForwardsFromManyThreadsArriveWholeAndInOrder) {
  TTestPeer peer;
  TFakeGateWayServer fake;
  TGateIPManager ips{"/nonexistent-dir/BlockIPList.txt"};
  TLoginSrvClient link("LoginSrvClient", "127.0.0.1", peer.Port(), &fake, &ips);
  link.Start();
  ASSERT_TRUE(WaitUntil([&] { return peer.Connected() && link.IsConnected(); }));
  ASSERT_TRUE(WaitUntil([&] {
    link.SendCloseSession(999);  // frames are dropped until the link has settled in
    return peer.Received().find("%C999$") != std::string::npos;
  }));
  peer.ClearReceived();
  constexpr int kThreads = 4, kMessages = 300;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kMessages; ++i) {
        std::string m = std::to_string(i) + std::string(static_cast<size_t>(i % 40), 'm');
        link.ForwardTo(static_cast<uint32_t>(t + 1), m.data(), static_cast<uint32_t>(m.size()));
      }
    });
  }
  for (int i = 0; i < 50; ++i) peer.Send("%++$%+-" + std::to_string(100 + i) + "$");
  for (auto& w : writers) w.join();
  ASSERT_TRUE(WaitUntil([&] { return fake.Count("Close") == 50; }));

  size_t total = 0;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kMessages; ++i)
      total += 5 + std::to_string(i).size() + i % 40;  // "%D<t>/" ... "$"
  }
  ASSERT_TRUE(WaitUntil([&] {
    std::string r = peer.Received();
    size_t dataBytes = 0, pos = 0;
    while ((pos = r.find("%D", pos)) != std::string::npos) {
      size_t end = r.find('$', pos);
      if (end == std::string::npos) break;
      dataBytes += end + 1 - pos;
      pos = end + 1;
    }
    return dataBytes >= total;
  }));
  std::string got = peer.Received();
  std::vector<int> next(kThreads, 0);
  size_t pos = 0;
  while (pos < got.size()) {
    size_t end = got.find('$', pos);
    ASSERT_NE(end, std::string::npos);
    std::string frame = got.substr(pos, end + 1 - pos);
    pos = end + 1;
    if (frame == "%--$" || frame == "%C999$") continue;
    ASSERT_EQ(frame.substr(0, 2), "%D") << frame;
    int t = frame[2] - '1';
    ASSERT_TRUE(t >= 0 && t < kThreads) << frame;
    int i = next[t]++;
    EXPECT_EQ(frame, "%D" + std::to_string(t + 1) + "/" + std::to_string(i) +
                         std::string(static_cast<size_t>(i % 40), 'm') + "$");
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kMessages);
  link.Stop();
}

}  // namespace
}  // namespace gw
