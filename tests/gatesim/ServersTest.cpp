// The simulated servers over real loopback sockets, with a test peer in the gateway's place.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>

#include "LogicServerSim.h"
#include "LoginServerSim.h"
#include "SimProtocol.h"
#include "codec/EDcode.h"
#include "common/AnsiCodePage.h"
#include "net/SocketApi.h"
#include "support/TestSockets.h"
#include "support/WaitUntil.h"

using namespace gw;
using namespace gw::test_support;

namespace {

constexpr auto kTimeout = std::chrono::seconds(20);

bool WaitUntil(const std::function<bool()>& Predicate) {
  return test_support::WaitUntil(Predicate, kTimeout);
}

// A blocking TCP peer standing in for the gateway's link.
class TPeer {
 public:
  explicit TPeer(uint16_t Port) {
    FFd = ConnectLoopback(Port);
    FConnected = FFd >= 0;
  }
  ~TPeer() { Close(); }
  void Close() {
    if (FFd >= 0) CloseTcpSocket(FFd);
    FFd = -1;
  }
  bool Connected() const { return FConnected; }
  void Send(std::string_view Bytes) {
    ASSERT_EQ(SendSome(FFd, Bytes.data(), Bytes.size()), static_cast<ssize_t>(Bytes.size()));
  }
  // Reads until Enough(buffer) holds or the time-out passes; false on time-out or close.
  bool ReadUntil(const std::function<bool(const std::string&)>& Enough) {
    auto end = std::chrono::steady_clock::now() + kTimeout;
    while (!Enough(FIn)) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      if (!WaitReadable(FFd, static_cast<int>(left.count()))) return false;
      char buf[65536];
      ssize_t n = ReceiveSome(FFd, buf, sizeof(buf));
      if (n <= 0) return false;
      FIn.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  // True when the peer closed its end within the time-out.
  bool SeesClose() {
    auto end = std::chrono::steady_clock::now() + kTimeout;
    while (std::chrono::steady_clock::now() < end) {
      if (WaitReadable(FFd, 100)) {
        char buf[4096];
        ssize_t n = ReceiveSome(FFd, buf, sizeof(buf));
        if (n <= 0) return true;
      }
    }
    return false;
  }
  std::string& In() { return FIn; }

 private:
  int FFd = -1;
  bool FConnected = false;
  std::string FIn;
};

struct TPacket {
  TSimLogicHeader H;
  std::string Payload;
};

// Reads logic packets until one with Ident has arrived; returns all read so far.
std::vector<TPacket> ReadPacketsUntil(TPeer& Peer, std::vector<TPacket>& Seen, uint16_t Ident) {
  Peer.ReadUntil([&](const std::string& in) {
    TLogicCutStatus st;
    size_t used = CutLogicPackets(
        reinterpret_cast<const uint8_t*>(in.data()), in.size(),
        [&](const TSimLogicHeader& h, std::string_view p) {
          Seen.push_back({h, std::string(p)});
        },
        st);
    Peer.In().erase(0, used);
    for (const auto& p : Seen) {
      if (p.H.nIdent == Ident) return true;
    }
    return false;
  });
  return Seen;
}

const TPacket* Find(const std::vector<TPacket>& Packets, uint16_t Ident) {
  for (const auto& p : Packets) {
    if (p.H.nIdent == Ident) return &p;
  }
  return nullptr;
}

class LogicServerSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TLogicServerSimOptions o;
    o.CheckServerEveryMs = 0;
    o.EchoEveryMs = 200;
    FServer = std::make_unique<TLogicServerSim>(FLog, o);
    std::string error;
    ASSERT_TRUE(FServer->Start("127.0.0.1", 0, error)) << error;
  }
  TSimLog FLog{false, nullptr};
  std::unique_ptr<TLogicServerSim> FServer;
};

TEST_F(LogicServerSimTest, PushesTablesThenServesASessionAndEchoesItsData) {
  TPeer gw(FServer->Port());
  ASSERT_TRUE(gw.Connected());
  std::vector<TPacket> seen;
  // Tables first; the echo from the server arrives within its period.
  ReadPacketsUntil(gw, seen, liEcho);
  size_t tables = 0;
  for (const auto& p : seen) {
    if (p.H.nIdent != liDBConfig) continue;
    ++tables;
    EXPECT_EQ(p.Payload, TLogicServerSim::SampleTables().at(p.H.nSocket));
    EXPECT_GE(p.Payload.size(), 16u);
  }
  EXPECT_EQ(tables, TLogicServerSim::SampleTables().size());
  // The gateway answers the echo; a keep-alive is answered with a check.
  gw.Send(BuildLogicPacket({.nIdent = liEcho}, {}));
  ASSERT_TRUE(WaitUntil([&] { return FServer->EchoReplies() >= 1; }));
  seen.clear();
  gw.Send(BuildLogicPacket({.nIdent = liKeepAlive}, {}));
  ReadPacketsUntil(gw, seen, liCheckServer);

  const int32_t handle = 0x01010000;
  seen.clear();
  gw.Send(BuildLogicPacket({.nSocket = handle, .nIdent = liOpenSession}, "10.0.0.7"));
  ReadPacketsUntil(gw, seen, liSyncData);
  const TPacket* index = Find(seen, liUserIndex);
  const TPacket* speed = Find(seen, liSpeedTime);
  const TPacket* sync = Find(seen, liSyncData);
  ASSERT_TRUE(index && speed && sync);
  EXPECT_LT(index - seen.data(), speed - seen.data());
  EXPECT_LT(speed - seen.data(), sync - seen.data());
  EXPECT_EQ(index->H.nSocket, handle);
  EXPECT_GT(index->H.nUserListIndex, 0);
  EXPECT_EQ(index->H.wSocketIndex, static_cast<uint16_t>(index->H.nUserListIndex));
  ASSERT_EQ(speed->Payload.size(), 32u);
  EXPECT_EQ(ReadLe16(speed->Payload.data()), kSimSpeedTimeIdent);
  EXPECT_EQ(static_cast<int32_t>(ReadLe32(speed->Payload.data() + 8)), kSimRunTime);
  EXPECT_EQ(static_cast<int32_t>(ReadLe32(speed->Payload.data() + 20)), kSimSpellTime);
  ASSERT_EQ(sync->Payload.size(), 78u);
  uint8_t accountLen = static_cast<uint8_t>(sync->Payload[0]);
  ASSERT_LE(accountLen, 12);
  EXPECT_EQ(sync->Payload.substr(1, accountLen), "acc" + std::to_string(index->H.nUserListIndex));
  uint8_t nameLen = static_cast<uint8_t>(sync->Payload[13]);
  ASSERT_LE(nameLen, 64);
  EXPECT_EQ(AnsiToUtf8(sync->Payload.substr(14, nameLen)),
            "勇士" + std::to_string(index->H.nUserListIndex));
  EXPECT_TRUE(WaitUntil([&] { return FServer->OpenSessions() == 1; }));

  // Every kind of client data comes back to the same session unchanged, in order.
  std::vector<std::pair<uint8_t, std::string>> sent = {{2, std::string("M12345678", 9)},
                                                       {4, std::string(18, 'a')},
                                                       {0, std::string(40, '\0')},
                                                       {7, "anything"}};
  seen.clear();
  for (const auto& [type, body] : sent) {
    gw.Send(BuildLogicPacket({.nSocket = handle,
                              .wSocketIndex = 3,
                              .nIdent = liData,
                              .nUserListIndex = 3,
                              .nMsgType = type},
                             body));
  }
  ASSERT_TRUE(gw.ReadUntil([&](const std::string& in) {
    TLogicCutStatus st;
    size_t used = CutLogicPackets(
        reinterpret_cast<const uint8_t*>(in.data()), in.size(),
        [&](const TSimLogicHeader& h, std::string_view p) {
          if (h.nIdent == liData) seen.push_back({h, std::string(p)});
        },
        st);
    gw.In().erase(0, used);
    return seen.size() >= sent.size();
  }));
  ASSERT_EQ(seen.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(seen[i].H.nSocket, handle);
    EXPECT_EQ(seen[i].H.nUserListIndex, 3);
    EXPECT_EQ(seen[i].H.nMsgType, sent[i].first);
    EXPECT_EQ(seen[i].Payload, sent[i].second);
  }

  gw.Send(BuildLogicPacket({.nSocket = handle, .nIdent = liCloseSession}, {}));
  EXPECT_TRUE(WaitUntil([&] { return FServer->OpenSessions() == 0; }));
}

TEST_F(LogicServerSimTest, KicksWithAndWithoutReason) {
  TPeer gw(FServer->Port());
  const int32_t handle = 0x00020001;
  gw.Send(BuildLogicPacket({.nSocket = handle, .nIdent = liOpenSession}, "1.2.3.4"));
  std::vector<TPacket> seen;
  ReadPacketsUntil(gw, seen, liSyncData);
  for (int32_t recog : {0, 1}) {
    std::string kick(32, '\0');
    uint16_t ident = kSimKickIdent;
    std::memcpy(kick.data(), &ident, 2);
    std::memcpy(kick.data() + 4, &recog, 4);
    seen.clear();
    gw.Send(BuildLogicPacket({.nSocket = handle, .nIdent = liData}, kick));
    ReadPacketsUntil(gw, seen, liKick);
    const TPacket* k = Find(seen, liKick);
    ASSERT_TRUE(k);
    EXPECT_EQ(k->H.nSocket, handle);
    EXPECT_EQ(Find(seen, liData), nullptr) << "a kick request is not echoed";
    if (recog == 0) {
      EXPECT_TRUE(k->Payload.empty());
    } else {
      ASSERT_EQ(k->Payload.size(), 129u);
      uint8_t len = static_cast<uint8_t>(k->Payload[0]);
      EXPECT_EQ(AnsiToUtf8(k->Payload.substr(1, len)), "玩家请求踢出");
    }
  }
  // The same through the API, from another thread (the first link is link 1).
  seen.clear();
  FServer->KickSession(1, static_cast<uint32_t>(handle), "维护");
  ReadPacketsUntil(gw, seen, liKick);
  ASSERT_TRUE(Find(seen, liKick));
  EXPECT_EQ(Find(seen, liKick)->Payload.size(), 129u);
}

TEST_F(LogicServerSimTest, OutOfStepLengthDropsTheLink) {
  TPeer gw(FServer->Port());
  ASSERT_TRUE(WaitUntil([&] { return FServer->Links() == 1; }));
  std::string bad = BuildLogicPacket({.nIdent = liData}, {});
  int32_t len = -5;
  std::memcpy(bad.data() + 16, &len, 4);
  gw.Send(bad);
  EXPECT_TRUE(gw.SeesClose());
  EXPECT_TRUE(WaitUntil([&] { return FServer->Links() == 0; }));
  // The server still takes new links.
  TPeer again(FServer->Port());
  EXPECT_TRUE(WaitUntil([&] { return FServer->Links() == 1; }));
}

// Reads login frames from the peer until Count have arrived.
std::vector<std::string> ReadFrames(TPeer& Peer, size_t Count) {
  std::vector<std::string> frames;
  Peer.ReadUntil([&](const std::string& in) {
    size_t used = CutLoginFrames(in, [&](std::string_view f) { frames.emplace_back(f); });
    Peer.In().erase(0, used);
    return frames.size() >= Count;
  });
  return frames;
}

// The decoded message of a data frame "%handle/#...!$" for Handle.
std::string DataFrameMessage(const std::string& Frame, uint32_t Handle) {
  std::string prefix = "%" + std::to_string(Handle) + "/";
  EXPECT_TRUE(Frame.starts_with(prefix)) << Frame;
  std::string text = Frame.substr(prefix.size() + 1, Frame.size() - prefix.size() - 3);
  return std::string(DecodeSixBitAlloc(text).View());
}

TEST(LoginServerSimTest, KeepAliveGreetingRepliesHandOverKickAndClose) {
  TSimLog log(false, nullptr);
  TLoginServerSim server(log);
  std::string error;
  ASSERT_TRUE(server.Start("127.0.0.1", 0, error)) << error;
  TPeer gw(server.Port());
  ASSERT_TRUE(gw.Connected());

  // Split across sends: frames are cut whole whatever the segments.
  gw.Send("%-");
  gw.Send("-$%N16842752/10.0.0.7/192.168.1.2$");
  auto frames = ReadFrames(gw, 2);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], "%++$");
  std::string greet = DataFrameMessage(frames[1], 16842752);
  ASSERT_GE(greet.size(), 2u);
  EXPECT_EQ(ReadLe16(greet.data()), kSimGreetIdent);
  EXPECT_EQ(greet, TLoginServerSim::GreetingMessage(16842752));
  EXPECT_TRUE(WaitUntil([&] { return server.Sessions() == 1; }));

  gw.Send("%D16842752/hello there$");
  frames = ReadFrames(gw, 1);
  ASSERT_EQ(frames.size(), 1u);
  std::string reply = DataFrameMessage(frames[0], 16842752);
  EXPECT_EQ(ReadLe16(reply.data()), kSimLoginReplyIdent);
  EXPECT_EQ(reply.substr(2), "hello there");

  gw.Send("%D16842752/LOGIN bot1 secret$");
  frames = ReadFrames(gw, 1);
  ASSERT_EQ(frames.size(), 1u);
  std::string handOver = DataFrameMessage(frames[0], 16842752);
  ASSERT_GE(handOver.size(), 2u);
  EXPECT_EQ(static_cast<uint8_t>(handOver[0]), 0x12);
  EXPECT_EQ(static_cast<uint8_t>(handOver[1]), 0x02);
  EXPECT_TRUE(WaitUntil([&] { return server.HandOvers() == 1 && server.Sessions() == 0; }));

  gw.Send("%N7/1.1.1.1/2.2.2.2$%D7/KICKME$");
  frames = ReadFrames(gw, 2);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1], "%+-7$");
  gw.Send("%C7$");
  EXPECT_TRUE(WaitUntil([&] { return server.Sessions() == 0; }));

  // Garbage is logged and skipped; the link stays.
  gw.Send("xyz$%Q1$%--$");
  frames = ReadFrames(gw, 1);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], "%++$");
}

TEST(LoginServerSimTest, SilentModeAndRunawayFrames) {
  TSimLog log(false, nullptr);
  TLoginServerSimOptions o;
  o.AnswerKeepAlive = false;
  TLoginServerSim server(log, o);
  std::string error;
  ASSERT_TRUE(server.Start("127.0.0.1", 0, error)) << error;
  TPeer gw(server.Port());
  gw.Send("%--$");
  ASSERT_TRUE(WaitUntil([&] { return server.KeepAlives() == 1; }));
  // A megabyte without "$" is a stream out of step.
  std::string runaway(kSimLoginMaxFrame + 10, 'a');
  runaway[0] = '%';
  gw.Send(runaway);
  EXPECT_TRUE(gw.SeesClose());
  EXPECT_TRUE(gw.In().empty()) << "the keep-alive went unanswered";
}

TEST(SimTcpServerTest, BindFailureIsReported) {
  TSimLog log(false, nullptr);
  TLoginServerSim first(log);
  std::string error;
  ASSERT_TRUE(first.Start("127.0.0.1", 0, error));
  TLoginServerSim second(log);
  EXPECT_FALSE(second.Start("127.0.0.1", first.Port(), error));
  EXPECT_NE(error.find(std::to_string(first.Port())), std::string::npos) << error;
  EXPECT_FALSE(second.Start("not-an-address", 0, error));
}

// ---- two gateways at once (a binary upgrade): sessions are keyed by link and handle

// Data packets read from Peer until Count have arrived.
std::vector<TPacket> ReadData(TPeer& Peer, size_t Count) {
  std::vector<TPacket> data;
  Peer.ReadUntil([&](const std::string& in) {
    TLogicCutStatus st;
    size_t used = CutLogicPackets(
        reinterpret_cast<const uint8_t*>(in.data()), in.size(),
        [&](const TSimLogicHeader& h, std::string_view p) {
          if (h.nIdent == liData) data.push_back({h, std::string(p)});
        },
        st);
    Peer.In().erase(0, used);
    return data.size() >= Count;
  });
  return data;
}

TEST(SimLinks, LogicServerKeepsEqualHandlesOfTwoLinksApart) {
  TSimLog log(false, nullptr);
  TLogicServerSim server(log, {.PushTables = false, .CheckServerEveryMs = 0, .EchoEveryMs = 0});
  std::string error;
  ASSERT_TRUE(server.Start("127.0.0.1", 0, error)) << error;
  TPeer first(server.Port());
  ASSERT_TRUE(WaitUntil([&] { return server.Links() == 1; }));  // link 1
  TPeer second(server.Port());
  const int32_t same = 0x01010000, onlyFirst = 0x01010001;
  std::vector<TPacket> seen;
  for (TPeer* gw : {&first, &second}) {
    gw->Send(BuildLogicPacket({.nSocket = same, .nIdent = liOpenSession}, "10.0.0.1"));
    seen.clear();
    ReadPacketsUntil(*gw, seen, liSyncData);
  }
  first.Send(BuildLogicPacket({.nSocket = onlyFirst, .nIdent = liOpenSession}, "10.0.0.2"));
  seen.clear();
  ReadPacketsUntil(first, seen, liSyncData);
  ASSERT_TRUE(WaitUntil([&] { return server.OpenSessions() == 3; }));

  // Each link's data comes back on that link only.
  first.Send(BuildLogicPacket({.nSocket = same, .nIdent = liData, .nMsgType = 2}, "from one"));
  second.Send(BuildLogicPacket({.nSocket = same, .nIdent = liData, .nMsgType = 2}, "from two"));
  EXPECT_EQ(ReadData(first, 1).at(0).Payload, "from one");
  EXPECT_EQ(ReadData(second, 1).at(0).Payload, "from two");
  // A kick names the link: the other link's session of the same handle stays.
  server.KickSession(2, static_cast<uint32_t>(same), {});
  seen.clear();
  ReadPacketsUntil(second, seen, liKick);
  EXPECT_EQ(server.Misrouted(), 0u);

  // Closing the handle on one link leaves the other link's session.
  first.Send(BuildLogicPacket({.nSocket = same, .nIdent = liCloseSession}, {}));
  ASSERT_TRUE(WaitUntil([&] { return server.OpenSessions() == 2; }));
  // A handle on a link it does not belong to is misrouted: the first link's own session on
  // the second link, and the handle the first link has just closed (still open on the second).
  // A handle open nowhere is only unknown.
  second.Send(BuildLogicPacket({.nSocket = onlyFirst, .nIdent = liData, .nMsgType = 2}, "x"));
  first.Send(BuildLogicPacket({.nSocket = same, .nIdent = liData, .nMsgType = 2}, "y"));
  first.Send(BuildLogicPacket({.nSocket = 0x7F000001, .nIdent = liCloseSession}, {}));
  EXPECT_TRUE(WaitUntil([&] { return server.Misrouted() == 2 && server.UnknownHandles() == 1; }));
  EXPECT_EQ(server.OpenSessions(), 2u);

  // A link that goes takes only its own sessions.
  second.Close();
  EXPECT_TRUE(WaitUntil([&] { return server.OpenSessions() == 1; }));
  EXPECT_NE(server.Stats().find("misrouted 2"), std::string::npos) << server.Stats();
}

TEST(SimLinks, LoginServerKeepsEqualHandlesOfTwoLinksApart) {
  TSimLog log(false, nullptr);
  TLoginServerSim server(log);
  std::string error;
  ASSERT_TRUE(server.Start("127.0.0.1", 0, error)) << error;
  TPeer first(server.Port());
  ASSERT_TRUE(WaitUntil([&] { return server.Links() == 1; }));
  TPeer second(server.Port());
  first.Send("%N5/1.1.1.1/2.2.2.2$%N6/1.1.1.2/2.2.2.2$");
  second.Send("%N5/1.1.1.3/2.2.2.2$");
  EXPECT_EQ(ReadFrames(first, 2).size(), 2u);
  EXPECT_EQ(ReadFrames(second, 1).size(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return server.Sessions() == 3; }));

  // The first link's session 5 logs in; the second's is still at the login.
  first.Send("%D5/LOGIN bot1 x$");
  second.Send("%D5/hello$");
  EXPECT_EQ(DataFrameMessage(ReadFrames(first, 1).at(0), 5).substr(2), "OK bot1 x");
  EXPECT_EQ(DataFrameMessage(ReadFrames(second, 1).at(0), 5).substr(2), "hello");
  ASSERT_TRUE(WaitUntil([&] { return server.Sessions() == 2; }));
  EXPECT_EQ(server.Misrouted(), 0u);

  // Misrouted: session 6 of the first link on the second, and the first link's handed-over
  // 5, still open on the second. Unknown: a close for a handle open nowhere.
  second.Send("%D6/hello$");
  first.Send("%C5$%C77$");
  EXPECT_TRUE(WaitUntil([&] { return server.Misrouted() == 2 && server.UnknownHandles() == 1; }));
  EXPECT_EQ(server.Sessions(), 2u);
  first.Close();
  EXPECT_TRUE(WaitUntil([&] { return server.Sessions() == 1; }));
}

// ---- fault modes

// Sends until the socket would block: true when the server has stopped taking bytes.
bool FillUntilBlocked(int Fd) {
  if (!SocketSetNonBlocking(Fd)) return false;
  std::string chunk(64 * 1024, '%');
  for (int i = 0; i < 4096; ++i) {  // 256 MiB at most: far beyond any socket buffer
    ssize_t n = SocketSend(Fd, chunk.data(), chunk.size());
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
  }
  return false;
}

// A server that does not read leaves the gateway's bytes in the socket (its sends block)
// and answers nothing.
TEST(SimFaults, StopReadingLeavesTheBytesInTheSocket) {
  TSimLog log(false, nullptr);
  TLoginServerSim server(log);
  TSimFaults faults;
  faults.StopReadingAfterMs = 0;  // never read by itself
  server.SetFaults(faults);
  std::string error;
  ASSERT_TRUE(server.Start("127.0.0.1", 0, error)) << error;
  TPeer gw(server.Port());
  gw.Send("%--$");
  int fd = ConnectLoopback(server.Port());
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(FillUntilBlocked(fd)) << "the server kept reading";
  CloseTcpSocket(fd);
  EXPECT_EQ(server.KeepAlives(), 0u);
}

TEST(SimFaults, ReadingPausedAndResumedForEveryLink) {
  TSimLog log(false, nullptr);
  TLoginServerSim server(log);
  std::string error;
  ASSERT_TRUE(server.Start("127.0.0.1", 0, error)) << error;
  TPeer gw(server.Port());
  ASSERT_TRUE(WaitUntil([&] { return server.Links() == 1; }));
  server.SetReading(false);
  gw.Send("%--$");
  TPeer filler(server.Port());
  ASSERT_TRUE(WaitUntil([&] { return server.Links() == 2; }));
  server.SetReading(false);  // the new link too
  // Posted: once a later post ran, the pause is in force.
  std::atomic<bool> ran{false};
  server.Post([&] { ran = true; });
  ASSERT_TRUE(WaitUntil([&] { return ran.load(); }));
  EXPECT_EQ(server.KeepAlives(), 0u) << "read while paused";
  server.SetReading(true);
  auto frames = ReadFrames(gw, 1);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], "%++$");
}

// A slow reader still takes everything, in order, only slowly.
TEST(SimFaults, SlowReaderTakesEverything) {
  TSimLog log(false, nullptr);
  TLoginServerSim server(log);
  TSimFaults faults;
  faults.ReadBytesPerSec = 20000;
  server.SetFaults(faults);
  std::string error;
  ASSERT_TRUE(server.Start("127.0.0.1", 0, error)) << error;
  TPeer gw(server.Port());
  std::string many;
  for (int i = 0; i < 1000; ++i) many += "%--$";
  gw.Send(many);
  ASSERT_TRUE(WaitUntil([&] { return server.KeepAlives() == 1000; }));
  auto frames = ReadFrames(gw, 1000);
  EXPECT_EQ(frames.size(), 1000u);
}

// Each link is dropped a fixed time after it connected, and so is the next one.
TEST(SimFaults, LinksAreDroppedAfterTheirTime) {
  TSimLog log(false, nullptr);
  TLogicServerSimOptions o;
  o.CheckServerEveryMs = 0;
  o.EchoEveryMs = 0;
  o.PushTables = false;
  TLogicServerSim server(log, o);
  TSimFaults faults;
  faults.DropEveryMs = 300;
  server.SetFaults(faults);
  std::string error;
  ASSERT_TRUE(server.Start("127.0.0.1", 0, error)) << error;
  for (uint64_t n = 1; n <= 2; ++n) {
    TPeer gw(server.Port());
    EXPECT_TRUE(gw.SeesClose());
    EXPECT_TRUE(WaitUntil([&] { return server.FaultDrops() == n; }));
  }
}

// Keep-alives unanswered, a late packet for a closed handle and garbage, on the logic server.
TEST(SimFaults, LogicServerSilentLateAndGarbage) {
  TSimLog log(false, nullptr);
  TLogicServerSimOptions o;
  o.CheckServerEveryMs = 0;
  o.EchoEveryMs = 0;
  o.PushTables = false;
  o.AnswerKeepAlive = false;
  o.LateFrames = true;
  TLogicServerSim server(log, o);
  std::string error;
  ASSERT_TRUE(server.Start("127.0.0.1", 0, error)) << error;
  TPeer gw(server.Port());
  const int32_t handle = 0x01020003;
  gw.Send(BuildLogicPacket({.nIdent = liKeepAlive}, {}));
  gw.Send(BuildLogicPacket({.nSocket = handle, .nIdent = liOpenSession}, "10.0.0.9"));
  std::vector<TPacket> seen;
  ReadPacketsUntil(gw, seen, liSyncData);
  EXPECT_EQ(Find(seen, liCheckServer), nullptr) << "the keep-alive was answered";
  seen.clear();
  gw.Send(BuildLogicPacket({.nSocket = handle, .nIdent = liData, .nMsgType = 2}, "last words"));
  ReadPacketsUntil(gw, seen, liData);
  seen.clear();
  gw.Send(BuildLogicPacket({.nSocket = handle, .nIdent = liCloseSession}, {}));
  ReadPacketsUntil(gw, seen, liData);
  const TPacket* late = Find(seen, liData);
  ASSERT_TRUE(late);
  EXPECT_EQ(late->H.nSocket, handle);
  EXPECT_EQ(late->H.nMsgType, 2);
  EXPECT_EQ(late->Payload, "last words");
  EXPECT_EQ(server.LateSent(), 1u);
  EXPECT_EQ(server.OpenSessions(), 0u);

  TLogicServerSimOptions g;
  g.PushTables = false;
  g.CheckServerEveryMs = 0;
  g.EchoEveryMs = 0;
  g.GarbageEveryMs = 100;
  TLogicServerSim garbage(log, g);
  ASSERT_TRUE(garbage.Start("127.0.0.1", 0, error)) << error;
  TPeer victim(garbage.Port());
  seen.clear();
  ReadPacketsUntil(victim, seen, 99);
  ASSERT_FALSE(seen.empty());
  EXPECT_NE(seen[0].H.Magic, kSimLogicMagic);
  const TPacket* unknown = Find(seen, 99);
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->H.Magic, kSimLogicMagic);
}

// A late hand-over for a session its client closed, and garbage, on the login server.
TEST(SimFaults, LoginServerLateHandOverAndGarbage) {
  TSimLog log(false, nullptr);
  TLoginServerSimOptions o;
  o.LateFrames = true;
  o.GarbageEveryMs = 100;
  TLoginServerSim server(log, o);
  std::string error;
  ASSERT_TRUE(server.Start("127.0.0.1", 0, error)) << error;
  TPeer gw(server.Port());
  gw.Send("%N9/1.1.1.1/2.2.2.2$%C9$");
  std::vector<std::string> frames;
  std::string late;
  bool garbage = false;
  ASSERT_TRUE(gw.ReadUntil([&](const std::string& in) {
    size_t used = CutLoginFrames(in, [&](std::string_view f) {
      if (f == "garbage$") garbage = true;
      if (f.starts_with("%9/")) frames.emplace_back(f);
    });
    gw.In().erase(0, used);
    return garbage && frames.size() >= 2;
  }));
  EXPECT_EQ(DataFrameMessage(frames[0], 9), TLoginServerSim::GreetingMessage(9));
  EXPECT_EQ(DataFrameMessage(frames[1], 9), TLoginServerSim::LateHandOverMessage(9));
  EXPECT_EQ(server.LateSent(), 1u);
  EXPECT_GE(server.GarbageSent(), 1u);
}

}  // namespace
