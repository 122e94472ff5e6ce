#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "codec/EDcode.h"
#include "links/LinkTestUtil.h"
#include "links/LogicSrvClient.h"
#include "protocol/ClientMessageReader.h"

namespace gw {
namespace {

using test::Bytes;
using test::LogicPacket;
using test::TFakeGateWayServer;
using test::TLogCapture;
using test::TManualTicks;
using test::TTestPeer;
using test::WaitUntil;

// A client message: type 0, a default message, then the six-bit version text.
std::string QueryMessage(int32_t configType, const std::string& versionText) {
  TDefaultMessage m;
  m.Ident = GM_CLIENT_QUERYDBCONFIG;
  m.Recog = configType;
  std::string out(1 + kDefaultMessageSize, '\0');
  WriteDefaultMessage(m, reinterpret_cast<uint8_t*>(&out[1]));
  return out + EncodeMsgText(versionText);
}

std::string Ver(const std::string& v) { return v + std::string(16 - v.size(), '.'); }

// Exposes the packet cutter, fed by hand without a socket or thread.
class TCutterLink : public TLogicSrvClient {
 public:
  using TLogicSrvClient::TLogicSrvClient;
  void Feed(const std::string& bytes) {
    if (!bytes.empty()) RecvStream().WriteBuf(bytes.data(), static_cast<int64_t>(bytes.size()));
    ProcessPackets();
  }
};

TEST(LogicSrvCutting, PartialHeadersAndPayloadsAtEveryBoundary) {
  const std::string stream = LogicPacket(GM_LOGIC_GATE_DATA, 11, std::string(100, 'x'), 2, 3) +
                             LogicPacket(GM_LOGIC_GATE_USERINDEX, 12, "", 0, 9) +
                             LogicPacket(GM_LOGIC_GATE_KICK, 13, "bye");
  const std::vector<std::string> expected = {stream.substr(0, 121), stream.substr(121, 21),
                                             stream.substr(142)};
  for (size_t chunk : {1, 2, 7, 20, 21, 22, 50, 120, 121, 145, 200}) {
    TFakeGateWayServer fake;
    TCutterLink link("127.0.0.1", 1, &fake);
    size_t fed = 0;
    size_t packetEnd[] = {121, 142, stream.size()};
    while (fed < stream.size()) {
      size_t n = std::min(chunk, stream.size() - fed);
      link.Feed(stream.substr(fed, n));
      fed += n;
      size_t whole = 0;
      for (size_t e : packetEnd) whole += fed >= e;
      ASSERT_EQ(fake.Calls().size(), whole) << "chunk " << chunk << " fed " << fed;
    }
    auto calls = fake.Calls();
    ASSERT_EQ(calls.size(), 3u);
    const int32_t idents[] = {GM_LOGIC_GATE_DATA, GM_LOGIC_GATE_USERINDEX, GM_LOGIC_GATE_KICK};
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(calls[i].Op, "Add");
      EXPECT_EQ(calls[i].Handle, 11u + i);
      EXPECT_EQ(calls[i].Ident, idents[i]);
      EXPECT_EQ(calls[i].Data, expected[i]) << "the whole packet, header included";
    }
    EXPECT_EQ(link.RecvStream().Size(), 0);
  }
}

TEST(LogicSrvCutting, WrongMagicIsSkippedByLengthAndUnknownIdentsLogged) {
  TFakeGateWayServer fake;
  TLogCapture log;
  TCutterLink link("127.0.0.1", 1, &fake);
  link.SetLogger(log.Proc());
  std::string bad = LogicPacket(GM_LOGIC_GATE_DATA, 5, "abcd");
  bad[0] = 0;
  link.Feed(bad + LogicPacket(23, 1, "z") + LogicPacket(24, 1) + LogicPacket(9, 1, "q") + bad +
            LogicPacket(GM_LOGIC_GATE_SYNCDATA, 6, "acct"));
  auto calls = fake.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Ident, GM_LOGIC_GATE_SYNCDATA);
  EXPECT_TRUE(log.Has("undefine qel message header ident : 9", llWarning)) << log.Dump();
  EXPECT_EQ(log.CountPrefix("undefine"), 1u) << "23 and 24 are silent";
  // A bad signature is said, at most once a second (the second is held back and counted).
  EXPECT_TRUE(log.Has(
      "LogicSrv packet with a bad signature dropped , Magic : 0xAABBAA00 , IDent : 5", llWarning))
      << log.Dump();
  EXPECT_EQ(log.CountPrefix("LogicSrv packet with a bad signature"), 1u) << log.Dump();
}

TEST(LogicSrvCutting, OutOfRangeLengthDropsTheConnection) {
  for (int32_t nLen : {-1, kMaxServerPacketLen + 1, INT32_MIN}) {
    TFakeGateWayServer fake;
    TLogCapture log;
    TCutterLink link("127.0.0.1", 1, &fake);
    link.SetLogger(log.Proc());
    link.Feed(LogicPacket(GM_LOGIC_GATE_DATA, 1, "", 0, 0, nLen) +
              LogicPacket(GM_LOGIC_GATE_DATA, 2));
    EXPECT_EQ(fake.Count("Add"), 0u);
    EXPECT_EQ(fake.Count("CloseAll"), 1u);
    EXPECT_EQ(link.RecvStream().Size(), 0);
    EXPECT_TRUE(
        log.HasPrefix("LogicSrv packet length out of range : " + std::to_string(nLen), llError))
        << log.Dump();
    EXPECT_TRUE(log.Has("LogicSrv Closed , Code : 0 ,Desc:Invalid Packet Length ", llWarning));
  }
  // The largest accepted length waits for its payload instead.
  TFakeGateWayServer fake;
  TCutterLink link("127.0.0.1", 1, &fake);
  link.Feed(LogicPacket(GM_LOGIC_GATE_DATA, 1, "", 0, 0, kMaxServerPacketLen));
  EXPECT_EQ(fake.Calls().size(), 0u);
  EXPECT_EQ(link.RecvStream().Size(), 21);
}

TEST(LogicSrvAppend, NegativeLengthIsLoggedAndNothingIsQueued) {
  TLogCapture log;
  TLogicSrvClient link("127.0.0.1", 1, nullptr);
  link.SetLogger(log.Proc());
  link.AppendServerMessage(GM_LOGIC_GATE_DATA, 0, 1, 0, -3, "abc", 0);
  EXPECT_TRUE(log.Has("Should Not Send nLen < 0 , IDent :5", llWarning)) << log.Dump();
}

// ---- first look at client messages and the configuration cache (no socket needed)

class LogicSrvForward : public ::testing::Test {
 protected:
  void Push(int32_t type, const std::string& table) {
    std::string p = LogicPacket(GM_LOGIC_GATE_DBCONFIG, type, table);
    link.DoQelPacket(reinterpret_cast<const uint8_t*>(p.data()), static_cast<int32_t>(p.size()));
  }
  // A client's query as the core answers it: read, then the tables the cache gives for it.
  void Forward(uint32_t, const std::string& msg) {
    const TClientRead<TGameMessage> read = ReadGameMessage(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(msg.data()), msg.size()));
    if (!read || read->Kind != TGameMessageKind::gmQueryDBConfig) return;
    for (const auto& entry : link.DBConfigAnswers(read->Asks)) answers.push_back(entry->Data);
  }
  std::vector<int32_t> RepliedTypes() {
    std::vector<int32_t> types;
    for (const auto& a : answers) {
      int32_t t;
      std::memcpy(&t, a.data() + 5, 4);
      types.push_back(t);
    }
    return types;
  }

  TFakeGateWayServer fake;
  TLogCapture log;
  TLogicSrvClient link{"127.0.0.1", 1, &fake};
  std::vector<std::string> answers;
  void SetUp() override { link.SetLogger(log.Proc()); }
};

TEST_F(LogicSrvForward, PushesAreCachedAsClientMessagesAndLaterPushesReplace) {
  Push(3, Ver("one") + "first table");
  Push(3, Ver("two") + "second");
  TDBDataObject entry;
  ASSERT_TRUE(link.GetDBConfig(3, entry));
  EXPECT_EQ(entry.Ver, Ver("two"));
  EXPECT_EQ(entry.Data, Bytes({0, 0x70, 0x10, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0}) +
                            std::string(20, '\0') + Ver("two") + "second");
  Push(4, "short");
  ASSERT_TRUE(link.GetDBConfig(4, entry));
  EXPECT_EQ(entry.Ver, "short");
  EXPECT_EQ(entry.Data.size(), 33u + 5u);
}

TEST_F(LogicSrvForward, TypedQueryAnswersOnlyAnOtherVersion) {
  Push(3, Ver("v1") + "table");
  Forward(5, QueryMessage(3, Ver("v1")));
  EXPECT_TRUE(answers.empty()) << "same version: nothing";
  Forward(5, QueryMessage(3, Ver("V1")));  // case matters
  Forward(5, QueryMessage(3, "old"));
  ASSERT_EQ(answers.size(), 2u);
  TDBDataObject entry;
  ASSERT_TRUE(link.GetDBConfig(3, entry));
  for (const auto& a : answers) EXPECT_EQ(a, entry.Data);
  Forward(5, QueryMessage(99, "x"));
  EXPECT_EQ(answers.size(), 2u);
  EXPECT_TRUE(log.Has("客户端请求的DB配置类型不存在:99", llWarning)) << log.Dump();
  EXPECT_TRUE(fake.Calls().empty()) << "the link answers nothing by itself";
}

TEST_F(LogicSrvForward, ListQueryMapsItemsToTypes) {
  // Each cached type holds exactly the version its list item carries.
  const std::map<int32_t, std::string> cached = {
      {1, "a"}, {2, "a"},  {3, "c"},  {4, "d"},  {5, "b"},  {6, "e"},  {7, "f"},
      {8, "f"}, {9, "zz"}, {10, "g"}, {11, "h"}, {12, "i"}, {13, "j"}, {14, "k"}};
  for (const auto& [type, ver] : cached) Push(type, ver);
  const std::vector<std::string> items = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k"};
  auto join = [](const std::vector<std::string>& v) {
    std::string s;
    for (size_t i = 0; i < v.size(); ++i) s += (i ? "/" : "") + v[i];
    return s;
  };
  Forward(5, QueryMessage(0, join(items)));
  EXPECT_TRUE(answers.empty()) << "every type current";
  Forward(5, QueryMessage(0, "a/b/c/d/e/f/g/h/i/X"));
  EXPECT_TRUE(answers.empty()) << "ten items: nothing";

  // Changing one item makes exactly the types that read it answer, in table order.
  const std::vector<std::vector<int32_t>> typesOfItem = {{1, 2}, {5},  {3},  {4},  {6}, {7, 8},
                                                         {10},   {11}, {12}, {13}, {14}};
  for (size_t i = 0; i < items.size(); ++i) {
    answers.clear();
    auto changed = items;
    changed[i] = "new";
    Forward(5, QueryMessage(0, join(changed) + "/extra"));
    EXPECT_EQ(RepliedTypes(), typesOfItem[i]) << "item " << i;
  }
  // Blanks separate too.
  answers.clear();
  Forward(5, QueryMessage(0, "X b c d e f g h i j k"));
  EXPECT_EQ(RepliedTypes(), (std::vector<int32_t>{1, 2}));
}

// ---- the running link over a real loopback connection

class LogicSrvLink : public ::testing::Test {
 protected:
  void SetUp() override {
    link.SetLogger(log.Proc());
    link.SetTickSource(ticks.Source());
  }
  void StartAndWaitConnected() {
    link.Start();
    ASSERT_TRUE(WaitUntil([&] { return peer.Connected() && link.IsConnected(); }));
    ASSERT_TRUE(WaitUntil([&] {
      return log.Has("LogicSrv 连接成功 127.0.0.1:" + std::to_string(peer.Port()) + " ", llWarning);
    })) << log.Dump();
  }

  TTestPeer peer;
  TFakeGateWayServer fake;
  TLogCapture log;
  TManualTicks ticks;
  TLogicSrvClient link{"127.0.0.1", peer.Port(), &fake};
};

const std::string kKeepAlive =
    Bytes({0xDD, 0xAA, 0xBB, 0xAA, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});

TEST_F(LogicSrvLink, KeepAliveEveryTwoSecondsOfTicks) {
  StartAndWaitConnected();
  ticks.Advance(2001);
  ASSERT_TRUE(peer.WaitReceivedAtLeast(21));
  EXPECT_EQ(peer.Take(21), kKeepAlive);
  ticks.Advance(2001);
  ASSERT_TRUE(peer.WaitReceivedAtLeast(21));
  EXPECT_EQ(peer.Take(21), kKeepAlive);
}

TEST_F(LogicSrvLink, PacketsQueuedBeforeConnectGoOutFirst) {
  link.RegisterSession(MakeSessionHandle(1, 1, 0), "10.0.0.7");
  link.SendCloseSession(0x01020304);
  StartAndWaitConnected();
  ASSERT_TRUE(peer.WaitReceivedAtLeast(29 + 21));
  EXPECT_EQ(peer.Take(29),
            Bytes({0xDD, 0xAA, 0xBB, 0xAA, 0, 0, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0}) +
                "10.0.0.7");
  EXPECT_EQ(peer.Take(21),
            Bytes({0xDD, 0xAA, 0xBB, 0xAA, 4, 3, 2, 1, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(LogicSrvLink, DispatchesAndAnswersEchoExactlyOnce) {
  StartAndWaitConnected();
  const std::string data = LogicPacket(GM_LOGIC_GATE_DATA, 42, "hello", 5, 7);
  peer.Send(LogicPacket(GM_LOGIC_GATE_CHECKSERVER, 0) + data + LogicPacket(GM_GATE_ECHO, 0) +
            LogicPacket(GM_LOGIC_GATE_SPEEDTIME, 43, std::string(32, 'S')));
  ASSERT_TRUE(peer.WaitReceivedAtLeast(21));
  ASSERT_TRUE(WaitUntil([&] { return fake.Count("Add") == 2; }));
  // A keep-alive behind the echo shows that nothing else was answered.
  ticks.Advance(2001);
  ASSERT_TRUE(peer.WaitReceivedAtLeast(42));
  std::string echo = kKeepAlive;
  echo[10] = 7;
  EXPECT_EQ(peer.Received(), echo + kKeepAlive);
  auto calls = fake.Calls();
  EXPECT_EQ(calls[0].Handle, 42u);
  EXPECT_EQ(calls[0].Ident, GM_LOGIC_GATE_DATA);
  EXPECT_EQ(calls[0].Data, data);
  EXPECT_EQ(calls[1].Ident, GM_LOGIC_GATE_SPEEDTIME);
  EXPECT_EQ(link.CheckServerTick(), 100000u);
}

// Every byte of both directions is counted for the statistics, the final flush included.
TEST_F(LogicSrvLink, CountsTheBytesOfBothDirections) {
  TGateWayTraffic traffic;
  link.SetTraffic(&traffic);
  StartAndWaitConnected();
  const std::string in =
      LogicPacket(GM_LOGIC_GATE_DATA, 42, "hello", 5, 7) + LogicPacket(GM_GATE_ECHO, 0);
  peer.Send(in);
  ASSERT_TRUE(WaitUntil([&] { return traffic.LogicBytesIn.load() == in.size(); }));
  ASSERT_TRUE(peer.WaitReceivedAtLeast(21));  // the echo's answer
  ASSERT_TRUE(WaitUntil([&] { return traffic.LogicBytesOut.load() == 21; }));
  const std::string address(5000, 'a');
  for (uint32_t h = 1; h <= 200; ++h) link.RegisterSession(h, address);
  link.Stop();
  EXPECT_EQ(traffic.LogicBytesOut.load(), 21u + 200u * (21 + 5000));
  EXPECT_TRUE(peer.WaitReceivedAtLeast(21u + 200u * (21 + 5000)));
  EXPECT_EQ(traffic.LogicBytesIn.load(), in.size());
  EXPECT_EQ(traffic.ClientBytesIn.load() + traffic.ClientBytesOut.load(), 0u);
}

TEST_F(LogicSrvLink, ConfigurationPushedOverTheLinkIsServed) {
  StartAndWaitConnected();
  peer.Send(LogicPacket(GM_LOGIC_GATE_DBCONFIG, 6, Ver("v6") + "rows"));
  TDBDataObject entry;
  ASSERT_TRUE(WaitUntil([&] { return link.GetDBConfig(6, entry); }));
  EXPECT_EQ(link.DBConfigAnswers({{6, "v5"}}).size(), 1u);
  EXPECT_TRUE(link.DBConfigAnswers({{6, Ver("v6")}}).empty());
}

TEST_F(LogicSrvLink, PeerCloseClosesEverySessionAndReconnects) {
  StartAndWaitConnected();
  peer.Send(LogicPacket(GM_LOGIC_GATE_DBCONFIG, 2, "kept"));
  TDBDataObject entry;
  ASSERT_TRUE(WaitUntil([&] { return link.GetDBConfig(2, entry); }));
  peer.CloseConnection();
  // The close shows when keep-alives are sent into the closed connection.
  ASSERT_TRUE(WaitUntil([&] {
    ticks.Advance(2001);
    return fake.Count("CloseAll") > 0;
  })) << log.Dump();
  auto calls = fake.Calls();
  EXPECT_EQ(calls.back().Data, "Logic Server Disconnect");
  EXPECT_TRUE(log.HasPrefix("LogicSrv Closed , Code : ", llWarning));
  ASSERT_TRUE(WaitUntil([&] { return peer.Accepted() == 2 && link.IsConnected(); }));
  EXPECT_TRUE(link.GetDBConfig(2, entry)) << "the cache survives reconnects";
}

TEST_F(LogicSrvLink, OutOfRangeLengthFromServerReconnects) {
  StartAndWaitConnected();
  peer.Send(LogicPacket(GM_LOGIC_GATE_DATA, 1, "", 0, 0, -5));
  ASSERT_TRUE(WaitUntil([&] { return peer.Accepted() == 2; })) << log.Dump();
  EXPECT_EQ(fake.Count("CloseAll"), 1u);
  EXPECT_EQ(fake.Count("Add"), 0u);
}

// A server that falls silent for the server time-out is lost exactly as a dropped
// connection is; the link connects again and works once the server reads again.
TEST_F(LogicSrvLink, SilentServerIsLostAndTheLinkReconnects) {
  link.SetServerTimeOut(30000);
  StartAndWaitConnected();
  peer.SetReading(false);
  ticks.Advance(20000);
  peer.Send(LogicPacket(GM_LOGIC_GATE_CHECKSERVER, 0));  // anything received restarts the time-out
  ASSERT_TRUE(WaitUntil([&] { return link.CheckServerTick() == ticks.Now(); }));
  ticks.Advance(20000);
  EXPECT_EQ(fake.Count("CloseAll"), 0u);
  ticks.Advance(10001);
  ASSERT_TRUE(WaitUntil([&] { return fake.Count("CloseAll") == 1; })) << log.Dump();
  EXPECT_EQ(fake.Calls().back().Data, "Logic Server Disconnect");
  EXPECT_TRUE(log.Has("LogicSrv Closed , Code : 0 ,Desc:CheckServer TimeOut ", llWarning))
      << log.Dump();
  ASSERT_TRUE(WaitUntil([&] { return peer.Accepted() == 2 && link.IsConnected(); }));
  peer.SetReading(true);
  link.RegisterSession(5, "10.0.0.5");
  ASSERT_TRUE(WaitUntil([&] { return peer.Received().find("10.0.0.5") != std::string::npos; }));
  EXPECT_EQ(fake.Count("CloseAll"), 1u);
}

// A server that keeps talking but stops reading is lost too once bytes have waited for it
// for the server time-out.
TEST_F(LogicSrvLink, ServerThatStopsReadingIsLost) {
  link.SetServerTimeOut(30000);
  StartAndWaitConnected();
  peer.SetReading(false);
  const std::string payload(64 * 1024, 'x');
  // Far more than both socket buffers take: the rest waits in the link.
  for (int32_t i = 0; i < 512; ++i) {
    link.AppendServerMessage(GM_LOGIC_GATE_DATA, 0, 1, i, static_cast<int32_t>(payload.size()),
                             payload.data(), 5);
  }
  // Each keep-alive is seen before time moves on, so the server is never silent for the
  // time-out however late the link thread runs: only the bytes waiting for it can end it.
  for (int step = 0; step < 20 && fake.Count("CloseAll") == 0; ++step) {
    peer.Send(LogicPacket(GM_LOGIC_GATE_CHECKSERVER, 0));
    ASSERT_TRUE(WaitUntil([&] {
      return link.CheckServerTick() == ticks.Now() || fake.Count("CloseAll") > 0;
    })) << log.Dump();
    ticks.Advance(5000);
  }
  ASSERT_TRUE(WaitUntil([&] { return fake.Count("CloseAll") == 1; })) << log.Dump();
  EXPECT_TRUE(log.Has("LogicSrv Closed , Code : 0 ,Desc:SendData TimeOut ", llWarning))
      << log.Dump();
  ASSERT_TRUE(WaitUntil([&] { return peer.Accepted() == 2; }));
}

TEST_F(LogicSrvLink, ZeroServerTimeOutNeverDropsASilentServer) {
  link.SetServerTimeOut(0);
  StartAndWaitConnected();
  ticks.Advance(1000000);
  ASSERT_TRUE(peer.WaitReceivedAtLeast(21));  // the keep-alive of the turn that saw the ticks
  EXPECT_EQ(fake.Count("CloseAll"), 0u);
  EXPECT_TRUE(link.IsConnected());
}

TEST(LogicSrvConnect, UnreachableServerLogsEachAttemptAndStopsPromptly) {
  TLogCapture log;
  TFakeGateWayServer fake;
  TLogicSrvClient link("127.0.0.1", test::ClosedPort(), &fake);
  link.SetLogger(log.Proc());
  link.Start();
  ASSERT_TRUE(WaitUntil([&] {
    return log.Has("LogicServerClient Run Error : Connection refused", llError);
  })) << log.Dump();
  EXPECT_FALSE(link.IsConnected());
  link.Stop();  // wakes the five-second pause
  EXPECT_EQ(fake.Calls().size(), 0u);
}

// Data packets (ident 5, handle 1) of what the peer received, by user index, after
// checking that the bytes are whole packets.
std::vector<int32_t> DataIndexes(const std::string& got) {
  std::vector<int32_t> indexes;
  size_t off = 0;
  while (off + 21 <= got.size()) {
    TServerMessageHeader h;
    std::memcpy(&h, got.data() + off, 21);
    EXPECT_EQ(h.dwMagic, kServerMessageMagic);
    if (h.dwMagic != kServerMessageMagic) return indexes;
    if (h.nIdent == GM_LOGIC_GATE_DATA) indexes.push_back(h.nUserListIndex);
    off += 21 + static_cast<size_t>(h.nLen);
  }
  EXPECT_EQ(off, got.size()) << "no torn packet";
  return indexes;
}

const char kBacklogFull[] = "LogicSrv send backlog over ";
const char kBacklogAgain[] = "LogicSrv send backlog accepts packets again, packets dropped : ";

class LogicSrvBacklog : public ::testing::Test {
 protected:
  void SetUp() override {
    link.SetLogger(log.Proc());
    link.SetTickSource(ticks.Source());
  }

  TTestPeer peer;
  TFakeGateWayServer fake;
  TLogCapture log;
  TManualTicks ticks;
  TLogicSrvClient link{"127.0.0.1", peer.Port(), &fake};
};

// Appends past the backlog bound are dropped with one line; what was accepted goes out
// whole and in order, and appends are taken again once the backlog has drained.
TEST_F(LogicSrvBacklog, AppendsPastTheBoundAreDroppedUntilItDrains) {
  link.SetSendBacklogLimit(1000);
  const std::string payload(100, 'p');  // 121-byte packets: 8 fit
  for (int32_t i = 0; i < 20; ++i)
    link.AppendServerMessage(GM_LOGIC_GATE_DATA, 0, 1, i, 100, payload.data(), 5);
  EXPECT_TRUE(
      log.Has(std::string(kBacklogFull) + "1000 bytes, packets dropped , IDent :5", llError))
      << log.Dump();
  EXPECT_EQ(log.CountPrefix(kBacklogFull), 1u) << "one line when dropping starts";

  link.Start();
  ASSERT_TRUE(peer.WaitReceivedAtLeast(8 * 121));
  ASSERT_TRUE(WaitUntil([&] {
    link.AppendServerMessage(GM_LOGIC_GATE_DATA, 0, 1, 100, 100, payload.data(), 5);
    return log.HasPrefix(std::string(kBacklogAgain) + "1", llWarning);
  })) << log.Dump();
  ASSERT_TRUE(peer.WaitReceivedAtLeast(9 * 121));
  EXPECT_EQ(DataIndexes(peer.Received()), (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 100}));
  link.Stop();
}

// A connected server that stops reading: the link's thread waits in its send, and
// appends are dropped at the bound instead of piling up; all recovers when it reads.
TEST_F(LogicSrvBacklog, StalledServerCannotMakeTheBacklogGrowWithoutEnd) {
  link.SetSendBacklogLimit(256 * 1024);
  link.Start();
  ASSERT_TRUE(WaitUntil([&] { return peer.Connected() && link.IsConnected(); }));
  peer.SetReading(false);
  const std::string payload(1003, 's');  // 1 KiB packets
  int32_t index = 0;
  // Far more than the socket buffers of both ends can hold.
  for (; index < 16384 && !log.HasPrefix(kBacklogFull, llError); ++index) {
    link.AppendServerMessage(GM_LOGIC_GATE_DATA, 0, 1, index, 1003, payload.data(), 5);
  }
  ASSERT_TRUE(log.HasPrefix(kBacklogFull, llError)) << "nothing bounds the backlog";
  EXPECT_TRUE(link.IsConnected());

  peer.SetReading(true);
  ASSERT_TRUE(WaitUntil([&] {
    link.AppendServerMessage(GM_LOGIC_GATE_DATA, 0, 1, 1 << 30, 1003, payload.data(), 5);
    return log.HasPrefix(kBacklogAgain, llWarning);
  })) << log.Dump();
  ASSERT_TRUE(WaitUntil([&] {
    std::string got = peer.Received();
    return got.size() >= 1024 && got.compare(got.size() - 1024 + 21, 1003, payload) == 0 &&
           got.compare(got.size() - 1024 + 12, 4, std::string("\0\0\0\x40", 4)) == 0;
  }));
  std::vector<int32_t> indexes = DataIndexes(peer.Received());
  ASSERT_FALSE(indexes.empty());
  EXPECT_EQ(indexes.front(), 0);
  EXPECT_EQ(indexes.back(), 1 << 30);
  for (size_t i = 1; i < indexes.size(); ++i) {
    ASSERT_LT(indexes[i - 1], indexes[i]) << "packets keep their order";
  }
  link.Stop();
}

// Stopping right after appends, as the gateway does after closing its clients: the ident
// 2 packets appended last reach the logic server, behind far more than the socket
// buffers hold. A server that does not read costs the stop no more than its time limit.
TEST_F(LogicSrvBacklog, StopDeliversThePacketsAppendedJustBefore) {
  link.SetStopFlushTimeLimit(60000);
  link.Start();
  ASSERT_TRUE(WaitUntil([&] { return peer.Connected() && link.IsConnected(); }));
  peer.SetReading(false);
  const std::string payload(1003, 'd');
  constexpr int32_t kData = 8192;  // 8 MiB of 1 KiB packets
  for (int32_t i = 0; i < kData; ++i)
    link.AppendServerMessage(GM_LOGIC_GATE_DATA, 0, 1, i, 1003, payload.data(), 5);
  for (uint32_t h = 1; h <= 100; ++h) link.SendCloseSession(h);
  peer.SetReading(true);
  link.Stop();

  const size_t total = size_t{kData} * 1024 + 100 * 21;
  ASSERT_TRUE(peer.WaitReceivedAtLeast(total));
  const std::string got = peer.Received();
  ASSERT_EQ(got.size(), total);
  std::vector<int32_t> indexes = DataIndexes(got);
  ASSERT_EQ(indexes.size(), size_t{kData});
  EXPECT_EQ(indexes.back(), kData - 1);
  for (uint32_t h = 1; h <= 100; ++h) {
    TServerMessageHeader header;
    std::memcpy(&header, got.data() + size_t{kData} * 1024 + (h - 1) * 21, 21);
    EXPECT_EQ(header.nIdent, GM_GATE_CLOSESESSION);
    EXPECT_EQ(header.nSocket, static_cast<int32_t>(h));
  }
  EXPECT_EQ(log.CountPrefix("LogicSrv stopped with "), 0u) << log.Dump();
}

TEST_F(LogicSrvBacklog, StopAgainstAServerThatDoesNotReadGivesUpAtItsTimeLimit) {
  link.SetStopFlushTimeLimit(100);
  link.Start();
  ASSERT_TRUE(WaitUntil([&] { return peer.Connected() && link.IsConnected(); }));
  peer.SetReading(false);
  const std::string payload(1003, 'd');
  for (int32_t i = 0; i < 8192; ++i)
    link.AppendServerMessage(GM_LOGIC_GATE_DATA, 0, 1, i, 1003, payload.data(), 5);
  link.Stop();
  EXPECT_TRUE(log.HasPrefix("LogicSrv stopped with ", llWarning)) << log.Dump();
  EXPECT_EQ(fake.Count("CloseAll"), 0u);
}

// Many writers append at once while the link sends: every packet arrives whole,
// each writer's packets in order — also when the link gathers between busy turns, when
// appends made during the gathering send no wake-up of their own.
class LogicSrvConcurrency : public ::testing::TestWithParam<uint32_t> {};

TEST_P(LogicSrvConcurrency, AppendsFromManyThreadsArriveWholeAndInOrder) {
  TTestPeer peer;
  TFakeGateWayServer fake;
  TLogicSrvClient link("127.0.0.1", peer.Port(), &fake);
  link.SetMinTurnMicros(GetParam());
  link.Start();
  ASSERT_TRUE(WaitUntil([&] { return link.IsConnected(); }));
  constexpr int kThreads = 4, kPackets = 500;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kPackets; ++i) {
        std::string payload(static_cast<size_t>(i % 50), static_cast<char>('a' + t));
        link.AppendServerMessage(GM_LOGIC_GATE_DATA, 0, t, i, static_cast<int32_t>(payload.size()),
                                 payload.data(), 5);
        if (i % 100 == 0) {  // configuration reads race with the link's pushes below
          TDBDataObject e;
          link.GetDBConfig(1, e);
          link.DBConfigAnswers({{1, "x"}});
        }
      }
    });
  }
  for (int i = 0; i < 20; ++i) peer.Send(LogicPacket(GM_LOGIC_GATE_DBCONFIG, 1, Ver("p") + "t"));
  for (auto& w : writers) w.join();

  size_t total = 0;
  for (int i = 0; i < kPackets; ++i) total += kThreads * (21 + static_cast<size_t>(i % 50));
  ASSERT_TRUE(peer.WaitReceivedAtLeast(total));
  std::string got = peer.Received();
  std::vector<int> next(kThreads, 0);
  size_t off = 0;
  while (off + 21 <= got.size()) {
    TServerMessageHeader h;
    std::memcpy(&h, got.data() + off, 21);
    ASSERT_EQ(h.dwMagic, kServerMessageMagic);
    if (h.nIdent == GM_GATE_KEEPALIVE) {
      off += 21;
      continue;
    }
    ASSERT_EQ(h.nIdent, GM_LOGIC_GATE_DATA);
    ASSERT_LT(h.nSocket, kThreads);
    EXPECT_EQ(h.nUserListIndex, next[h.nSocket]++);
    EXPECT_EQ(h.nLen, h.nUserListIndex % 50);
    EXPECT_EQ(got.substr(off + 21, h.nLen),
              std::string(h.nLen, static_cast<char>('a' + h.nSocket)));
    off += 21 + h.nLen;
  }
  EXPECT_EQ(off, got.size());
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kPackets);
  link.Stop();
}

INSTANTIATE_TEST_SUITE_P(GatherMicros, LogicSrvConcurrency, ::testing::Values(0u, 300u, 5000u));

}  // namespace
}  // namespace gw
