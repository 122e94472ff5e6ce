// The gateway server with real links to loopback logic and login peers and its
// real workers; client connections come from a stand-in listener that raises the
// transport's open, message and close events (the WebSocket path itself is
// covered end to end by the relay test against the real transport).
#include "core/GateWayServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

#include "codec/EDcode.h"
#include "codec/TokenHandshake.h"
#include "core/RelayTestUtil.h"
#include "links/LoginSrvClient.h"

namespace gw {
namespace {

using test::TLogicPacket;
using test::TTestPeer;
using test::WaitUntil;

// Raises client events the way the transport does; Stop closes every connection.
class TStandInListener : public IWebSocketServer {
 public:
  // `partial`: a second listening address binds although the first one fails.
  explicit TStandInListener(bool bindFails, bool partial = false)
      : FBindFails(bindFails), FPartial(partial) {}

  IWebSocketServer& OnOpen(TWsOnOpen cb) override {
    FOpen.push_back(std::move(cb));
    return *this;
  }
  IWebSocketServer& OnMessage(TWsOnMessage cb) override {
    FMessage.push_back(std::move(cb));
    return *this;
  }
  IWebSocketServer& OnClose(TWsOnClose cb) override {
    FClose.push_back(std::move(cb));
    return *this;
  }
  uint16_t Port() const override { return FPort; }
  void SetPort(uint16_t port) override { FPort = port; }
  std::string Addr() const override { return {}; }
  void SetAddr(const std::string&) override {}
  void SetMaxMessageSize(size_t) override {}
  void SetMaxHeaderSize(size_t) override {}
  void SetNoDelay(bool) override {}
  void SetLogger(TLogProc) override {}
  void Start(TStartCallback cb) override {
    FActive = !FBindFails || FPartial;
    cb(!FBindFails);
    if (FPartial) cb(true);
  }
  void Stop() override {
    FActive = false;
    std::vector<std::shared_ptr<TFakeWebSocketConnection>> open;
    {
      std::lock_guard<std::mutex> g(FLock);
      open = FConnections;
    }
    for (auto& c : open) c->Close();
  }
  bool Active() const override { return FActive; }
  size_t ConnectionsCount() const override {
    std::lock_guard<std::mutex> g(FLock);
    return FConnections.size();
  }
  int IoThreads() const override { return 8; }

  std::shared_ptr<TFakeWebSocketConnection> Open(const std::string& peer = "10.0.0.7") {
    auto c = std::make_shared<TFakeWebSocketConnection>(peer);
    c->SetCloseHandler([this](const std::shared_ptr<TFakeWebSocketConnection>& conn) {
      PWebSocketConnection p = conn;
      for (auto& cb : FClose) cb(p);
      std::lock_guard<std::mutex> g(FLock);
      FConnections.erase(std::remove(FConnections.begin(), FConnections.end(), conn),
                         FConnections.end());
    });
    {
      std::lock_guard<std::mutex> g(FLock);
      FConnections.push_back(c);
    }
    PWebSocketConnection p = c;
    for (auto& cb : FOpen) cb(p);
    // The test reads the session (its handle) while worker threads may free it: a
    // reference of its own keeps the memory valid until the listener goes.
    if (TUserSession* session = TUserSession::FromConnection(*c)) {
      PUserSession held = FFindSession ? FFindSession(session->Handle()) : nullptr;
      std::lock_guard<std::mutex> g(FLock);
      if (held) FKeep.push_back(std::move(held));
    }
    return c;
  }
  // How the listener reaches the session a worker holds for a handle.
  void SetSessionFinder(std::function<PUserSession(uint32_t)> find) {
    FFindSession = std::move(find);
  }
  void Send(const std::shared_ptr<TFakeWebSocketConnection>& c, const std::string& bytes) {
    PWebSocketConnection p = c;
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    for (auto& cb : FMessage) cb(p, wsrtBinary, data);
  }

 private:
  const bool FBindFails;
  const bool FPartial;
  std::vector<TWsOnOpen> FOpen;
  std::vector<TWsOnMessage> FMessage;
  std::vector<TWsOnClose> FClose;
  std::function<PUserSession(uint32_t)> FFindSession;
  uint16_t FPort = 0;
  bool FActive = false;
  mutable std::mutex FLock;  // guards FConnections
  std::vector<std::shared_ptr<TFakeWebSocketConnection>> FConnections;
  std::vector<PUserSession> FKeep;  // guarded by FLock
};

// Every client message a connection received, batches unpacked.
std::vector<std::string> ClientMessages(const TFakeWebSocketConnection& c) {
  std::vector<std::string> out;
  for (const auto& m : c.Sent()) {
    std::vector<std::span<const uint8_t>> entries;
    if (!m.empty() && m[0] == mtBatch && SplitBatch(m, entries)) {
      for (auto e : entries) out.emplace_back(e.begin(), e.end());
    } else {
      out.emplace_back(m.begin(), m.end());
    }
  }
  return out;
}

class GateWayServerTest : public ::testing::Test {
 protected:
  void SetUp() override { FKeys = LoadDeploymentKeys(); }
  void TearDown() override {
    if (FServer) FServer->Stop();
    FServer.reset();
  }

  // A running server; `logicUp` decides whether the logic peer listens.
  void StartServer(int workers = 2, bool logicUp = true) {
    FConfig.GatePort = "7200";
    FConfig.ServerAddr = "127.0.0.1";
    FConfig.ServerPort = std::to_string(logicUp ? FLogic.Port() : test::ClosedPort());
    FConfig.LoginSrvAddr = "127.0.0.1";
    FConfig.LoginSrvPort = FLogin.Port();
    FConfig.WokerCount = workers;
    FServer = std::make_unique<TGateWaySocketServer>(FConfig);
    FServer->SetLogger(FLog.Proc());
    FServer->SetListenerFactory([this](int) {
      auto l = std::make_shared<TStandInListener>(false);
      l->SetSessionFinder([this](uint32_t handle) {
        return FServer->Worker(SessionWorkerID(handle)).GetSession(handle);
      });
      FListener = l.get();
      return l;
    });
    // The login link's clock stands still unless a test moves it: no keep-alive time-out.
    FServer->LoginServer().SetTickSource(FLoginTicks.Source());
    FServer->Start();
    ASSERT_TRUE(FServer->IsRuning());
    // The server side sees the connection before the link's own thread does, and a link that
    // does not yet count itself connected drops what it is given (a passed client's "%N").
    ASSERT_TRUE(
        WaitUntil([&] { return FLogin.Connected() && FServer->LoginServer().IsConnected(); }));
    if (logicUp) {
      ASSERT_TRUE(WaitUntil([&] { return FServer->LogicServer().IsConnected(); }));
    }
  }

  static std::string Challenge(const TFakeWebSocketConnection& c) {
    auto msgs = ClientMessages(c);
    if (msgs.empty() || msgs[0].size() < kTokenChallengeHeaderSize) return {};
    return msgs[0].substr(kTokenChallengeHeaderSize);
  }
  std::string TokenOf(const TFakeWebSocketConnection& c) {
    return BlowfishDecryptString(DecodeMsgText(Challenge(c)), FKeys.ChallengeKey);
  }
  // Only for a session that is still open (its close event detaches it from the connection).
  static uint32_t HandleOf(const TFakeWebSocketConnection& c) {
    return TUserSession::FromConnection(c)->Handle();
  }

  // A client that has answered the challenge and been announced to the login server.
  std::shared_ptr<TFakeWebSocketConnection> LoggedIn(const std::string& peer = "10.0.0.7") {
    auto c = FListener->Open(peer);
    EXPECT_TRUE(WaitUntil([&] { return c->SentCount() >= 1; }));
    std::optional<std::string> answer = TokenAnswerText(Challenge(*c), FKeys);
    EXPECT_TRUE(answer.has_value());
    FListener->Send(c, "ab" + *answer + "z");
    std::string frame = "%N" + std::to_string(HandleOf(*c)) + "/" + peer + "/127.0.0.1$";
    EXPECT_TRUE(WaitUntil([&] { return FLogin.Received().find(frame) != std::string::npos; }))
        << FLogin.Received();
    return c;
  }

  // Hands a logged-in client over to the logic server (login message 530).
  std::shared_ptr<TFakeWebSocketConnection> InGame(const std::string& peer = "10.0.0.7") {
    auto c = LoggedIn(peer);
    uint32_t h = HandleOf(*c);
    FLogin.Send("%" + std::to_string(h) + "/#" + EncodeSixBit("\x12\x02go", 4) + "!$");
    TLogicPacket p;
    EXPECT_TRUE(test::NextLogicPacket(FLogic, p));
    EXPECT_EQ(p.Header.nIdent, GM_GATE_OPENSESSION);
    EXPECT_EQ(static_cast<uint32_t>(p.Header.nSocket), h);
    EXPECT_EQ(p.Payload, peer);
    EXPECT_TRUE(WaitUntil([&] { return ClientMessages(*c).size() == 2; }));
    // The hand-over, passed on unchanged, is what the client hears first after its login.
    EXPECT_EQ(ClientMessages(*c)[1], std::string("\x05\x12\x02go", 5));
    return c;
  }

  TDeploymentKeys FKeys;
  TTestPeer FLogic, FLogin;
  test::TManualTicks FLoginTicks;
  test::TLogCapture FLog;
  TCustomGateWayConfig FConfig;
  std::unique_ptr<TGateWaySocketServer> FServer;
  TStandInListener* FListener = nullptr;
};

TEST_F(GateWayServerTest, RefusesClientsWhileTheLogicLinkIsDown) {
  StartServer(2, /*logicUp=*/false);
  auto c = FListener->Open();
  EXPECT_TRUE(c->Closed());
  EXPECT_EQ(c->SentCount(), 0u);
  EXPECT_EQ(FServer->SessionCount(), 0);
  EXPECT_EQ(FLog.CountPrefix("客户端连接:"), 0u);
}

TEST_F(GateWayServerTest, TokenAnswerPathsByLength) {
  StartServer();
  auto c = FListener->Open();
  ASSERT_TRUE(WaitUntil([&] { return c->SentCount() == 1; }));
  std::string challenge = ClientMessages(*c)[0];
  EXPECT_EQ(challenge.substr(0, 3), std::string("\0\xC9\x10", 3));
  uint32_t h = HandleOf(*c);
  std::string token = TokenOf(*c);
  ASSERT_EQ(token.size(), 38u);
  EXPECT_TRUE(FLog.Has(
      "客户端连接:10.0.0.7 , Token : " + token + ",Handle:" + std::to_string(h) + ", Worker:0",
      llDebug))
      << FLog.Dump();

  // 1 and 2 bytes: too short, kept open, still unchecked; both counted, the second's line
  // held back within the second.
  const uint64_t malformed = FServer->Guard().Count(TGuardCause::gcMalformed);
  FListener->Send(c, "a");
  FListener->Send(c, "ab");
  EXPECT_EQ(FLog.CountPrefix("收到的数据太短了:" + std::to_string(h)), 1u);
  EXPECT_EQ(FServer->Guard().Count(TGuardCause::gcMalformed), malformed + 2);
  // 3 bytes: an empty answer, kept open and unchecked.
  FListener->Send(c, "abc");
  EXPECT_TRUE(FLog.Has("Token解码为空:" + std::to_string(h), llWarning));
  EXPECT_FALSE(c->Closed());

  // The right answer in lower-case hex, wrapped in arbitrary bytes, passes.
  std::string lower = ExpectedTokenAnswer(token);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  std::string answer = EncodeMsgText(BlowfishEncryptString(lower, FKeys.AnswerKey));
  FListener->Send(c, std::string("\xff\x00", 2) + answer + "\x01");
  EXPECT_TRUE(FLog.Has("授权验证成功:" + token, llDebug)) << FLog.Dump();
  std::string frame = "%N" + std::to_string(h) + "/10.0.0.7/127.0.0.1$";
  ASSERT_TRUE(WaitUntil([&] { return FLogin.Received().find(frame) != std::string::npos; }));
  EXPECT_FALSE(c->Closed());
}

TEST_F(GateWayServerTest, WrongAnswersCloseTheClient) {
  StartServer();
  // Undecodable: closed with "授权失败" and no mismatch line.
  auto a = FListener->Open("10.0.0.1");
  ASSERT_TRUE(WaitUntil([&] { return a->SentCount() == 1; }));
  std::string tokenA = TokenOf(*a);
  FListener->Send(a, "xx!!!!!!!!y");
  EXPECT_TRUE(a->Closed());
  EXPECT_TRUE(FLog.Has("踢出连接,没经过授权的连接:10.0.0.1", llWarning));
  EXPECT_TRUE(FLog.Has("CloseSession:" + tokenA + ",原因:授权失败", llWarning)) << FLog.Dump();
  EXPECT_EQ(FLog.CountPrefix("授权校验失败:"), 0u);

  // Decodable but wrong: the mismatch line names both answers.
  auto b = FListener->Open("10.0.0.2");
  ASSERT_TRUE(WaitUntil([&] { return b->SentCount() == 1; }));
  std::string tokenB = TokenOf(*b);
  FListener->Send(b, "xx" + EncodeMsgText(BlowfishEncryptString("WRONG", FKeys.AnswerKey)) + "y");
  EXPECT_TRUE(b->Closed());
  EXPECT_TRUE(FLog.Has("授权校验失败:WRONG -> " + ExpectedTokenAnswer(tokenB), llWarning));
  EXPECT_EQ(FServer->SessionCount(), 0);
  // A client that never passed was announced to no one; its close still reaches the login link.
  EXPECT_TRUE(WaitUntil([&] { return FLogin.Received().find("%C") != std::string::npos; }));
}

TEST_F(GateWayServerTest, LoginTrafficIsRelayedAndTheHandOverReachesTheLogicServer) {
  StartServer();
  auto c = LoggedIn();
  uint32_t h = HandleOf(*c);
  std::string hs = std::to_string(h);
  FListener->Send(c,
                  "\x05"
                  "AB");
  std::string expected = "%D" + hs +
                         "/\x05"
                         "AB$";
  ASSERT_TRUE(WaitUntil([&] { return FLogin.Received().find(expected) != std::string::npos; }));

  // A login server message reaches the client as type 5.
  FLogin.Send("%" + hs + "/#" + EncodeSixBit("hello", 5) + "!$");
  ASSERT_TRUE(WaitUntil([&] { return ClientMessages(*c).size() == 2; }));
  EXPECT_EQ(ClientMessages(*c)[1], "\x05hello");

  // 530 hands the session over: ident 1 with the client's address, then the message.
  FLogin.Send("%" + hs + "/#" + EncodeSixBit("\x12\x02ok", 4) + "!$");
  TLogicPacket p;
  ASSERT_TRUE(test::NextLogicPacket(FLogic, p));
  EXPECT_EQ(p.Header.nIdent, GM_GATE_OPENSESSION);
  EXPECT_EQ(static_cast<uint32_t>(p.Header.nSocket), h);
  EXPECT_EQ(p.Payload, "10.0.0.7");
  ASSERT_TRUE(WaitUntil([&] { return ClientMessages(*c).size() == 3; }));
  EXPECT_EQ(ClientMessages(*c)[2], "\x05\x12\x02ok");

  // From now on the client talks to the logic server.
  FListener->Send(c, "\x02" + std::string(9, 'm'));
  ASSERT_TRUE(test::NextLogicPacket(FLogic, p));
  EXPECT_EQ(p.Header.nIdent, GM_LOGIC_GATE_DATA);
  EXPECT_EQ(p.Header.nMsgType, mtMove);
  EXPECT_EQ(p.Payload, std::string(9, 'm'));
}

TEST_F(GateWayServerTest, LogicServerMessagesReachTheClientAndKicksClose) {
  StartServer();
  auto c = InGame();
  uint32_t h = HandleOf(*c);
  TDefaultMessage dm;
  dm.Ident = 4660;
  std::string payload(reinterpret_cast<const char*>(&dm), sizeof(dm));
  FLogic.Send(test::LogicPacket(GM_LOGIC_GATE_USERINDEX, h, "", 0, 33) +
              test::LogicPacket(GM_LOGIC_GATE_DATA, h, payload, mtDefault, 33));
  ASSERT_TRUE(WaitUntil([&] { return ClientMessages(*c).size() == 3; }));
  std::string got = ClientMessages(*c)[2];
  uint32_t crc;
  std::memcpy(&crc, got.data() + 1 + 28, 4);
  EXPECT_EQ(crc, 4660u);
  EXPECT_EQ(TUserSession::FromConnection(*c)->LogicUserIndex(), 33);

  FLogic.Send(test::LogicPacket(GM_LOGIC_GATE_KICK, h, ""));
  ASSERT_TRUE(WaitUntil([&] { return c->Closed(); }));
  TLogicPacket p;
  ASSERT_TRUE(test::NextLogicPacket(FLogic, p));
  EXPECT_EQ(p.Header.nIdent, GM_GATE_CLOSESESSION);
  EXPECT_EQ(static_cast<uint32_t>(p.Header.nSocket), h);
  EXPECT_EQ(FLog.CountPrefix("Qel 要求"), 0u);
}

TEST_F(GateWayServerTest, SoftCloseOrderAndOldHandleDroppedSilently) {
  StartServer();
  auto c = InGame();
  uint32_t old = HandleOf(*c);
  FLogic.Send(test::LogicPacket(GM_LOGIC_GATE_USERINDEX, old, "", 0, 9));
  ASSERT_TRUE(WaitUntil([&] { return TUserSession::FromConnection(*c)->LogicUserIndex() == 9; }));
  TDefaultMessage soft;
  soft.Ident = GM_CLIENT_SOFTCLOSE;
  // A message at once before the soft close still reaches the logic server under
  // the handle the client gives up.
  FListener->Send(c, "\x05last words");
  FListener->Send(
      c, std::string(1, '\0') + std::string(reinterpret_cast<const char*>(&soft), sizeof(soft)));
  TLogicPacket p0, p1, p2, p3;
  ASSERT_TRUE(test::NextLogicPacket(FLogic, p0));
  EXPECT_EQ(p0.Header.nIdent, GM_LOGIC_GATE_DATA);
  EXPECT_EQ(static_cast<uint32_t>(p0.Header.nSocket), old);
  EXPECT_EQ(p0.Payload, "last words");
  ASSERT_TRUE(test::NextLogicPacket(FLogic, p1));
  ASSERT_TRUE(test::NextLogicPacket(FLogic, p2));
  ASSERT_TRUE(test::NextLogicPacket(FLogic, p3));
  uint32_t fresh = MakeSessionHandle(SessionWorkerID(old), NextGeneration(SessionGeneration(old)),
                                     SessionIndex(old));
  EXPECT_EQ(HandleOf(*c), fresh);
  EXPECT_EQ(p1.Header.nIdent, GM_LOGIC_GATE_DATA);
  EXPECT_EQ(static_cast<uint32_t>(p1.Header.nSocket), old);
  EXPECT_EQ(p1.Header.nUserListIndex, 9);
  EXPECT_EQ(p1.Header.wSocketIndex, 9);
  EXPECT_EQ(p1.Header.nMsgType, mtDefault);
  ASSERT_EQ(p1.Payload.size(), 32u);
  EXPECT_EQ(ReadDefaultMessage(reinterpret_cast<const uint8_t*>(p1.Payload.data())).Ident,
            GM_CLIENT_SOFTCLOSE);
  EXPECT_EQ(p2.Header.nIdent, GM_GATE_OPENSESSION);
  EXPECT_EQ(static_cast<uint32_t>(p2.Header.nSocket), fresh);
  EXPECT_EQ(p2.Payload, "10.0.0.7");
  EXPECT_EQ(p3.Header.nIdent, GM_GATE_CLOSESESSION);
  EXPECT_EQ(static_cast<uint32_t>(p3.Header.nSocket), old);

  // Data for the old handle is dropped without a line; data for the new one arrives.
  size_t before = ClientMessages(*c).size();
  FLogic.Send(test::LogicPacket(GM_LOGIC_GATE_DATA, old, "old", 9) +
              test::LogicPacket(GM_LOGIC_GATE_DATA, fresh, "new", 9));
  ASSERT_TRUE(WaitUntil([&] { return ClientMessages(*c).size() == before + 1; })) << FLog.Dump();
  EXPECT_EQ(ClientMessages(*c).back(), "\x09new");
  EXPECT_EQ(FLog.CountPrefix("逻辑错误"), 0u);
}

TEST_F(GateWayServerTest, ChooseWokerTakesTheLeastLoadedLowestIndex) {
  StartServer(2);
  std::vector<std::shared_ptr<TFakeWebSocketConnection>> cs;
  for (int i = 0; i < 6; ++i) cs.push_back(FListener->Open());
  EXPECT_EQ(FServer->Worker(0).UserCount(), 3);
  EXPECT_EQ(FServer->Worker(1).UserCount(), 3);
  auto tie = FListener->Open();
  EXPECT_EQ(SessionWorkerID(HandleOf(*tie)), 0);
  // 4 and 3: the next goes to worker 1.
  auto next = FListener->Open();
  EXPECT_EQ(SessionWorkerID(HandleOf(*next)), 1);
}

TEST_F(GateWayServerTest, AFullWorkerTableClosesTheNewClient) {
  StartServer(1);
  std::vector<PUserSession> fillers;
  uint32_t handle;
  for (uint32_t i = 0; i < kMaxSessionsPerWorker; ++i) {
    fillers.push_back(TUserSession::Create(nullptr));
    ASSERT_TRUE(FServer->Worker(0).AddSession(fillers.back(), handle));
  }
  auto c = FListener->Open("10.1.1.1");
  EXPECT_TRUE(c->Closed());
  EXPECT_TRUE(FLog.Has("Handle Out Close Socket10.1.1.1", llWarning));
  // The session never got a handle: the login server hears a close for handle 0.
  EXPECT_TRUE(WaitUntil([&] { return FLogin.Received().find("%C0$") != std::string::npos; }));
  for (auto& s : fillers) FServer->Worker(0).RemoveSession(s->Handle(), s.get());
}

TEST_F(GateWayServerTest, ClientCloseIsReportedToTheServerOfItsStep) {
  StartServer();
  auto login = LoggedIn("10.0.0.1");
  auto game = InGame("10.0.0.2");
  uint32_t hl = HandleOf(*login), hg = HandleOf(*game);
  std::string tokenL = TokenOf(*login);
  login->Close();
  EXPECT_TRUE(FLog.Has(
      "Client Close : 10.0.0.1 Token:" + tokenL + " , Handle:" + std::to_string(hl), llDebug))
      << FLog.Dump();
  ASSERT_TRUE(WaitUntil([&] {
    return FLogin.Received().find("%C" + std::to_string(hl) + "$") != std::string::npos;
  }));
  game->Close();
  TLogicPacket p;
  ASSERT_TRUE(test::NextLogicPacket(FLogic, p));
  EXPECT_EQ(p.Header.nIdent, GM_GATE_CLOSESESSION);
  EXPECT_EQ(static_cast<uint32_t>(p.Header.nSocket), hg);
  EXPECT_EQ(FServer->SessionCount(), 0);
}

TEST_F(GateWayServerTest, LoginServerCommandsCloseSessions) {
  StartServer();
  auto c = LoggedIn("10.9.9.9");
  std::string token = TokenOf(*c);
  FLogin.Send("%+B" + std::to_string(HandleOf(*c)) + "$");
  ASSERT_TRUE(WaitUntil([&] { return c->Closed(); }));
  EXPECT_TRUE(FLog.Has("CloseSession:" + token + ",原因:LoginSrv Close Block", llWarning));
  FServer->CloseSession(0, "", "x");
  EXPECT_TRUE(FLog.Has("CloseSession SessionHandle = 0 ", llWarning));
  FServer->CloseSession(MakeSessionHandle(7, 1, 0), "", "x");
  EXPECT_TRUE(FLog.Has("CloseSession Worker Not Find 7", llWarning));
}

TEST_F(GateWayServerTest, LogicServerDropClosesEveryClientAndRefusesNewOnesUntilItReturns) {
  StartServer();
  auto a = InGame("10.0.0.1");
  auto b = LoggedIn("10.0.0.2");
  FLogic.CloseConnection();
  ASSERT_TRUE(WaitUntil([&] { return a->Closed() && b->Closed(); }));
  EXPECT_TRUE(FLog.Has("CloseAllSession :Logic Server Disconnect", llWarning));
  // A connection reads as closed before its close event has taken the session out.
  EXPECT_TRUE(WaitUntil([&] { return FServer->SessionCount() == 0; }));
  // The link reconnects after its pause; until then new clients are refused.
  if (!FServer->LogicServer().IsConnected()) {
    auto refused = FListener->Open();
    EXPECT_TRUE(refused->Closed());
  }
  ASSERT_TRUE(WaitUntil([&] { return FServer->LogicServer().IsConnected(); }));
  auto c = FListener->Open();
  EXPECT_FALSE(c->Closed());
}

TEST_F(GateWayServerTest, LoginLinkSilenceReconnectsWithoutDroppingClients) {
  StartServer();
  auto c = LoggedIn();
  int accepted = FLogin.Accepted();
  FLoginTicks.Advance(10001);
  ASSERT_TRUE(WaitUntil([&] { return FLogin.Accepted() > accepted && FLogin.Connected(); }));
  EXPECT_FALSE(c->Closed());
  EXPECT_EQ(FServer->SessionCount(), 1);
}

TEST_F(GateWayServerTest, StopClosesEveryClientAndReportsItUpstream) {
  StartServer();
  auto a = LoggedIn("10.0.0.1");
  uint32_t h = HandleOf(*a);
  FServer->Stop();
  EXPECT_TRUE(a->Closed());
  EXPECT_FALSE(FServer->IsRuning());
  EXPECT_NE(FLog.CountPrefix("Client Close : 10.0.0.1 Token:" + TokenOf(*a) +
                             " , Handle:" + std::to_string(h)),
            0u);
  EXPECT_EQ(FServer->SessionCount(), 0);
}

TEST_F(GateWayServerTest, StartFailuresNameThePort) {
  struct TCase {
    std::string Port;
    bool BindFails;
    bool Partial;
    std::string Error;
  } cases[] = {
      {"7200", true, false, "网关服务启动失败 , 端口 7200 ,  无法绑定。可能该端口已经被占用! "},
      {"7200", true, true, "网关服务启动失败 , 端口 7200 ,  无法绑定。可能该端口已经被占用! "},
      {"72x0", false, false, "'72x0' is not a valid integer value"},
  };
  for (const TCase& tc : cases) {
    FConfig.GatePort = tc.Port;
    FConfig.ServerAddr = "127.0.0.1";
    FConfig.ServerPort = std::to_string(FLogic.Port());
    FConfig.WokerCount = 1;
    TGateWaySocketServer server(FConfig);
    std::shared_ptr<TStandInListener> listener;
    server.SetListenerFactory([&](int) {
      listener = std::make_shared<TStandInListener>(tc.BindFails, tc.Partial);
      return listener;
    });
    try {
      server.Start();
      ADD_FAILURE() << "started with " << tc.Port;
    } catch (const EGateWayStartError& e) {
      EXPECT_EQ(std::string(e.what()), tc.Error);
    }
    EXPECT_FALSE(server.IsRuning());
    // An address that did bind is not left accepting clients for a server that
    // never started its links and workers.
    ASSERT_NE(listener, nullptr);
    EXPECT_FALSE(listener->Active()) << tc.Port << (tc.Partial ? " partial" : "");
  }
  FConfig.WokerCount = 257;
  EXPECT_THROW(TGateWaySocketServer{FConfig}, std::runtime_error);
}

}  // namespace
}  // namespace gw

namespace gw {
namespace {

TEST_F(GateWayServerTest, TrafficCountsClientBytesBothWays) {
  StartServer();
  auto c = FListener->Open();
  ASSERT_TRUE(WaitUntil([&] { return c->SentCount() == 1; }));
  const TGateWayTraffic& traffic = FServer->Traffic();
  const uint64_t challenge = ClientMessages(*c)[0].size();
  EXPECT_TRUE(WaitUntil([&] { return traffic.ClientBytesOut.load() == challenge; }));
  std::optional<std::string> answer = TokenAnswerText(Challenge(*c), FKeys);
  ASSERT_TRUE(answer.has_value());
  FListener->Send(c, "ab" + *answer + "z");
  EXPECT_EQ(traffic.ClientBytesIn.load(), answer->size() + 3);
  // The logic link counts its own bytes: at least the registration packet went out.
  EXPECT_TRUE(WaitUntil([&] { return traffic.LogicBytesOut.load() > 0; }));
}

}  // namespace
}  // namespace gw

namespace gw {
namespace {

TEST_F(GateWayServerTest, StepNoneRelaysNothingAndEmptySlotsRegisterNothing) {
  StartServer(1);
  // A hand-over for an empty slot registers nothing with the logic server (it would
  // leave a session there that no close ever ends): the next registration the logic
  // server sees is that of the client handed over below.
  FServer->ChangeSessionStep(MakeSessionHandle(0, 9, 500), ssGame, false);
  TLogicPacket p;

  auto idle = LoggedIn("10.0.0.1");
  auto other = InGame("10.0.0.2");
  const uint32_t hi = HandleOf(*idle), ho = HandleOf(*other);
  const std::string hs = std::to_string(hi);
  // In ssNone a client message goes to neither server; back in ssLogin the next one
  // reaches the login server (the relay is synchronous, so order tells). The session's
  // worker changes the step in its own turn.
  auto stepIs = [&](TSessionStep step) {
    return WaitUntil([&] { return TUserSession::FromConnection(*idle)->SessionStep() == step; });
  };
  FServer->ChangeSessionStep(hi, ssNone, false);
  ASSERT_TRUE(stepIs(ssNone));
  FListener->Send(idle, "\x05none");
  FServer->ChangeSessionStep(hi, ssLogin, false);
  ASSERT_TRUE(stepIs(ssLogin));
  FListener->Send(idle,
                  "\x05"
                  "back");
  ASSERT_TRUE(WaitUntil([&] {
    return FLogin.Received().find("%D" + hs +
                                  "/\x05"
                                  "back$") != std::string::npos;
  }));
  EXPECT_EQ(FLogin.Received().find("none"), std::string::npos);

  // Closing in ssNone tells neither server; the in-game close after it is the next
  // logic packet, and the login server sees no "%C" for the idle handle.
  FServer->ChangeSessionStep(hi, ssNone, false);
  ASSERT_TRUE(stepIs(ssNone));
  idle->Close();
  other->Close();
  ASSERT_TRUE(test::NextLogicPacket(FLogic, p));
  EXPECT_EQ(p.Header.nIdent, GM_GATE_CLOSESESSION);
  EXPECT_EQ(static_cast<uint32_t>(p.Header.nSocket), ho);
  EXPECT_EQ(FLogin.Received().find("%C" + hs + "$"), std::string::npos);
  EXPECT_EQ(FServer->SessionCount(), 0);
}

// Late commands and data for a client that has gone, whose slot now holds the next
// client: nothing reaches the newcomer, nothing is registered upstream.
TEST_F(GateWayServerTest, LateCallsForAGoneClientNeverReachTheNextInItsSlot) {
  StartServer(1);
  auto first = LoggedIn("10.0.0.1");
  const uint32_t stale = HandleOf(*first);
  first->Close();
  auto second = LoggedIn("10.0.0.2");
  const uint32_t fresh = HandleOf(*second);
  ASSERT_EQ(SessionIndex(fresh), SessionIndex(stale));
  ASSERT_NE(fresh, stale);
  const std::string ss = std::to_string(stale), fs = std::to_string(fresh);

  // The console's kick and the login server's close, block and kick commands.
  FServer->CloseSession(stale, "", "kick");
  EXPECT_EQ(FServer->GetSessionRemoteAddr(stale), "");
  FLogin.Send("%+-" + ss + "$%+B" + ss + "$%+T" + ss + "$");
  // Login data and a hand-over.
  FLogin.Send("%" + ss + "/#" + EncodeSixBit("late", 4) + "!$");
  FLogin.Send("%" + ss + "/#" + EncodeSixBit("\x12\x02go", 4) + "!$");
  // The login link handles frames in order: once this one has arrived, all did.
  FLogin.Send("%" + fs + "/#" + EncodeSixBit("mine", 4) + "!$");
  ASSERT_TRUE(WaitUntil([&] { return ClientMessages(*second).size() == 2; }));
  EXPECT_EQ(ClientMessages(*second)[1], "\x05mine");
  EXPECT_FALSE(second->Closed());
  EXPECT_EQ(TUserSession::FromConnection(*second)->SessionStep(), ssLogin);
  EXPECT_EQ(FServer->SessionCount(), 1);
  EXPECT_EQ(FLog.CountPrefix("CloseSession:"), 0u);
  EXPECT_GE(FLog.CountPrefix("Stale SessionHandle Dropped"), 5u) << FLog.Dump();

  // Nothing was registered for the stale handle: the first registration the logic
  // server sees is the newcomer's own hand-over.
  FLogin.Send("%" + fs + "/#" + EncodeSixBit("\x12\x02go", 4) + "!$");
  TLogicPacket p;
  ASSERT_TRUE(test::NextLogicPacket(FLogic, p));
  EXPECT_EQ(p.Header.nIdent, GM_GATE_OPENSESSION);
  EXPECT_EQ(static_cast<uint32_t>(p.Header.nSocket), fresh);

  // The kick by the full handle closes the session it names.
  FServer->CloseSession(fresh, "", "kick");
  EXPECT_TRUE(second->Closed());
  EXPECT_EQ(FServer->SessionCount(), 0);
}

// The core decides what a client message means; the links only carry what it sends. A login
// message holding "$" closes its client (the login server never sees it); a configuration
// query in the game is answered from the cache the logic link keeps, and never relayed.
TEST_F(GateWayServerTest, TheCoreActsOnWhatAClientMessageMeans) {
  StartServer();
  auto login = LoggedIn("10.0.0.8");
  const uint32_t hl = HandleOf(*login);
  FListener->Send(login, "x$%+-9$%D9/");
  ASSERT_TRUE(WaitUntil([&] { return login->Closed(); }));
  EXPECT_TRUE(
      FLog.HasPrefix("LoginSrvClient refused a client message holding \"$\" , SessionHandle : " +
                         std::to_string(hl),
                     llWarning))
      << FLog.Dump();
  ASSERT_TRUE(WaitUntil([&] {
    return FLogin.Received().find("%C" + std::to_string(hl) + "$") != std::string::npos;
  }));
  EXPECT_EQ(FLogin.Received().find("%D" + std::to_string(hl)), std::string::npos);

  auto c = InGame();
  const std::string table = "version-16-bytes" + std::string("rows");
  FLogic.Send(test::LogicPacket(22, 6, table));
  ASSERT_TRUE(WaitUntil([&] { return FServer->LogicServer().DBConfig(6) != nullptr; }));
  TDefaultMessage query;
  query.Ident = 4091;
  query.Recog = 6;
  const std::string head =
      std::string(1, '\0') + std::string(reinterpret_cast<const char*>(&query), sizeof(query));
  FListener->Send(c, head + EncodeMsgText("version-16-bytes"));  // current: nothing
  FListener->Send(c, head + EncodeMsgText("older"));
  ASSERT_TRUE(WaitUntil([&] { return ClientMessages(*c).size() == 3; })) << FLog.Dump();
  EXPECT_EQ(ClientMessages(*c)[2], FServer->LogicServer().DBConfig(6)->Data);
  FListener->Send(c, std::string("\x05") + "after");
  TLogicPacket p;
  ASSERT_TRUE(test::NextLogicPacket(FLogic, p));
  EXPECT_EQ(p.Payload, "after") << "the queries were not relayed";
  EXPECT_EQ(ClientMessages(*c).size(), 3u);
}

}  // namespace
}  // namespace gw
