// The WebSocket server over real loopback sockets, with a hand-written client that
// sends exactly the bytes each case needs.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "NetTestUtil.h"
#include "common/PeerLimits.h"
#include "net/HttpServer.h"
#include "net/IWebSocketServer.h"
#include "net/NetDiagLog.h"
#include "net/WsFrame.h"

namespace gw {
namespace {

using namespace test;  // WaitUntil, TTestClient, Pattern, Bytes

// A server on an ephemeral port that records every event per connection.
class WebSocketServerTest : public ::testing::Test {
 protected:
  struct TMessage {
    TWsRequestType Type;
    Bytes Data;
  };

  void SetUp() override { StartServer(); }
  void TearDown() override {
    if (FServer) FServer->Stop();
  }

  void StartServer(size_t maxMessage = IWebSocketServer::kDefaultMaxMessageSize,
                   size_t maxQueued = IWebSocketServer::kDefaultMaxQueuedBytes) {
    if (FServer) FServer->Stop();
    FServer = CreateWebSocketServer(4);
    FServer->SetStats(&FStats);
    FServer->SetMaxQueuedBytes(maxQueued);
    FServer->SetPort(0);
    FServer->SetAddr("127.0.0.1");
    FServer->SetMaxMessageSize(maxMessage);
    FServer->SetLogger([this](const std::string& text, TLogLevel level) {
      std::lock_guard<std::mutex> guard(FLock);
      FLog.push_back(std::to_string(level) + ":" + text);
    });
    FServer->OnOpen([this](const PWebSocketConnection& c) {
      std::lock_guard<std::mutex> guard(FLock);
      FOpened.push_back(c);
    });
    FServer->OnMessage(
        [this](const PWebSocketConnection& c, TWsRequestType type, const Bytes& data) {
          if (OnMessageHook) OnMessageHook(c, data);
          std::lock_guard<std::mutex> guard(FLock);
          FMessages.push_back({type, data});
        });
    FServer->OnClose([this](const PWebSocketConnection& c) {
      std::lock_guard<std::mutex> guard(FLock);
      ++FCloseCounts[c.get()];
      FCloseThreads.push_back(std::this_thread::get_id());
    });
    bool ok = true;
    int calls = 0;
    FServer->Start([&](bool success) {
      ok = ok && success;
      ++calls;
    });
    ASSERT_TRUE(ok);
    ASSERT_EQ(calls, 1);
    FPort = FServer->Port();
    ASSERT_NE(FPort, 0);
  }

  size_t OpenCount() {
    std::lock_guard<std::mutex> guard(FLock);
    return FOpened.size();
  }
  PWebSocketConnection Opened(size_t i) {
    std::lock_guard<std::mutex> guard(FLock);
    return FOpened.at(i);
  }
  std::vector<TMessage> Messages() {
    std::lock_guard<std::mutex> guard(FLock);
    return FMessages;
  }
  int CloseCount(const PWebSocketConnection& c) {
    std::lock_guard<std::mutex> guard(FLock);
    auto it = FCloseCounts.find(c.get());
    return it == FCloseCounts.end() ? 0 : it->second;
  }
  int TotalCloses() {
    std::lock_guard<std::mutex> guard(FLock);
    int n = 0;
    for (const auto& e : FCloseCounts) n += e.second;
    return n;
  }

  TGateWayStats FStats;  // outlives the server that counts on it
  PWebSocketServer FServer;
  uint16_t FPort = 0;
  std::function<void(const PWebSocketConnection&, const Bytes&)> OnMessageHook;
  std::mutex FLock;  // guards the records below
  std::vector<PWebSocketConnection> FOpened;
  std::vector<TMessage> FMessages;
  std::map<IWebSocketConnection*, int> FCloseCounts;
  std::vector<std::thread::id> FCloseThreads;
  std::vector<std::string> FLog;
};

TEST_F(WebSocketServerTest, UpgradeFieldsAreMatchedAsSubstringsIgnoringCase) {
  struct {
    const char* Name;
    std::string Request;
    const char* StatusLine;
  } cases[] = {
      {"comma list and capitals",
       "GET / HTTP/1.1\r\nConnection: keep-alive, Upgrade\r\nUpgrade: WebSocket\r\n"
       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n",
       "HTTP/1.1 101 Switching Protocols\r\n"},
      {"lower-case field names",
       "GET / HTTP/1.1\r\nconnection: upgrade\r\nupgrade: websocket\r\n"
       "sec-websocket-key: dGhlIHNhbXBsZSBub25jZQ==\r\nsec-websocket-version: 13\r\n\r\n",
       "HTTP/1.1 101 Switching Protocols\r\n"},
      // Blanks and tabs around a value are not part of it (else the accept value is wrong).
      {"padded values",
       "GET / HTTP/1.1\r\nConnection:\t Upgrade \r\nUpgrade:  websocket\t\r\n"
       "Sec-WebSocket-Key: \t dGhlIHNhbXBsZSBub25jZQ== \t\r\nSec-WebSocket-Version:13 \r\n\r\n",
       "HTTP/1.1 101 Switching Protocols\r\n"},
      // A field repeated on two lines is one list: the Upgrade token is not lost.
      {"repeated Connection fields",
       "GET / HTTP/1.1\r\nConnection: Upgrade\r\nConnection: keep-alive\r\n"
       "Upgrade: websocket\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
       "Sec-WebSocket-Version: 13\r\n\r\n",
       "HTTP/1.1 101 Switching Protocols\r\n"},
      {"no Upgrade in Connection",
       "GET / HTTP/1.1\r\nConnection: keep-alive\r\nUpgrade: websocket\r\n"
       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
       "HTTP/1.1 404 Not Found\r\n"},
      {"plain GET", "GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n"},
      {"no key",
       "GET / HTTP/1.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
       "Sec-WebSocket-Version: 13\r\n\r\n",
       "HTTP/1.1 400 Bad Request\r\n"},
      // Only version 13 is spoken, and the refusal says which one to use.
      {"version 8",
       "GET / HTTP/1.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 8\r\n\r\n",
       "HTTP/1.1 426 Upgrade Required\r\n"},
      {"no version",
       "GET / HTTP/1.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
       "HTTP/1.1 426 Upgrade Required\r\n"},
      // Nothing of the request reaches the status line: no response splitting.
      {"bare LF in the request line", "GET / HTTP/1.1\nX-Evil: yes\r\n\r\n",
       "HTTP/1.1 400 Bad Request\r\n"},
      {"unknown version", "GET / XYZ/9.9\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
      {"bare CR in the request line", "GET / HTTP/1.1\rX: y\r\n\r\n",
       "HTTP/1.1 400 Bad Request\r\n"},
      {"lower-case method", "get / HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
      // The key must be a 16-byte nonce in base64 (RFC 6455 4.2.1).
      {"one-letter key", TTestClient::UpgradeRequest("", "x"), "HTTP/1.1 400 Bad Request\r\n"},
      {"key of 15 bytes", TTestClient::UpgradeRequest("", "dGhlIHNhbXBsZSBub25jZQ="),
       "HTTP/1.1 400 Bad Request\r\n"},
      {"key of 17 bytes", TTestClient::UpgradeRequest("", "dGhlIHNhbXBsZSBub25jZSE="),
       "HTTP/1.1 400 Bad Request\r\n"},
      {"key outside the alphabet", TTestClient::UpgradeRequest("", "dGhlIHNhbXBsZSBub25jZ*=="),
       "HTTP/1.1 400 Bad Request\r\n"},
      {"two keys", TTestClient::UpgradeRequest("Sec-WebSocket-Key: AAAAAAAAAAAAAAAAAAAAAA==\r\n"),
       "HTTP/1.1 400 Bad Request\r\n"},
      // Framing two parsers could read differently (RFC 9112 5.1, 6.1).
      {"length and chunked",
       TTestClient::UpgradeRequest("Content-Length: 0\r\nTransfer-Encoding: chunked\r\n"),
       "HTTP/1.1 400 Bad Request\r\n"},
      {"blank before colon", TTestClient::UpgradeRequest("Origin : x\r\n"),
       "HTTP/1.1 400 Bad Request\r\n"},
      {"invalid length", TTestClient::UpgradeRequest("Content-Length: 1x\r\n"),
       "HTTP/1.1 400 Bad Request\r\n"},
  };
  for (const auto& c : cases) {
    TTestClient client;
    ASSERT_TRUE(client.Connect(FPort)) << c.Name;
    ASSERT_TRUE(client.SendRaw(c.Request)) << c.Name;
    std::string reply = client.ReadHttpResponse();
    EXPECT_EQ(reply.rfind(c.StatusLine, 0), 0u) << c.Name << ": " << reply;
    EXPECT_EQ(reply.find("Evil"), std::string::npos) << c.Name << ": " << reply;
    if (reply.rfind("HTTP/1.1 426 ", 0) == 0) {
      EXPECT_NE(reply.find("\r\nSec-WebSocket-Version: 13\r\n"), std::string::npos) << reply;
    }
    if (reply.rfind("HTTP/1.1 101 ", 0) != 0) {
      // Every refusal ends the connection and says so.
      EXPECT_NE(reply.find("\r\nConnection: close\r\n"), std::string::npos) << reply;
    }
    if (std::string(c.StatusLine).find("101") != std::string::npos) {
      EXPECT_EQ(reply,
                "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
                "Content-Type: text/html;charset=utf-8\r\nContent-Length: 0\r\n"
                "Server: GateHttpServer/2.0\r\n\r\n");
    } else {
      EXPECT_TRUE(client.WaitPeerClosed()) << c.Name << ": connection left open";
    }
  }
  // Only the four upgraded connections raise events (closed when their clients went).
  ASSERT_TRUE(WaitUntil([&] { return OpenCount() == 4 && TotalCloses() == 4; }));
  // The refused ones end once their replies went out.
  EXPECT_TRUE(WaitUntil([&] { return FServer->ConnectionsCount() == 0; }));
}

TEST_F(WebSocketServerTest, NotFoundReplyAndBodyText) {
  TTestClient client;
  ASSERT_TRUE(client.Connect(FPort));
  ASSERT_TRUE(client.SendRaw("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_EQ(client.ReadHttpResponse(),
            "HTTP/1.1 404 Not Found\r\nContent-Type: text/html;charset=utf-8\r\n"
            "Connection: close\r\nContent-Length: 9\r\nServer: GateHttpServer/2.0\r\n\r\n"
            "Not Found");
  EXPECT_TRUE(client.WaitPeerClosed());
}

// A request handler that fails: its message becomes a 500 reply, then the connection ends.
class TFailingHttpServer : public THttpServer {
 public:
  TFailingHttpServer() : THttpServer(2) {}
  ~TFailingHttpServer() override { StopServer(); }

 protected:
  void DoOnRequest(THttpConnection& connection) override {
    (void)connection;
    throw std::runtime_error("lookup failed");
  }
};

TEST(HttpServerTest, FailingRequestHandlerIsAnswered500WithItsMessage) {
  TFailingHttpServer server;
  server.SetServerAddr("127.0.0.1");
  server.SetServerPort(0);
  bool ok = false;
  server.StartServer([&](bool s) { ok = s; });
  ASSERT_TRUE(ok);
  TTestClient client;
  ASSERT_TRUE(client.Connect(server.ServerPort()));
  ASSERT_TRUE(client.SendRaw("GET /x HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_EQ(client.ReadHttpResponse(),
            "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/html;charset=utf-8\r\n"
            "Connection: close\r\nContent-Length: 13\r\nServer: GateHttpServer/2.0\r\n\r\n"
            "lookup failed");
  EXPECT_TRUE(client.WaitPeerClosed());
}

TEST_F(WebSocketServerTest, OversizeHeaderIsAnswered400) {
  TTestClient client;
  ASSERT_TRUE(client.Connect(FPort));
  std::string big = "GET / HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n";
  client.SendRaw(big);  // the server may close before taking it all
  std::string reply = client.ReadHttpResponse();
  EXPECT_NE(reply.find("400 Bad Request"), std::string::npos) << reply;
  EXPECT_NE(reply.find("Request header too large."), std::string::npos) << reply;
}

TEST_F(WebSocketServerTest, DeliversMessagesOfEveryShape) {
  TTestClient client;
  ASSERT_TRUE(client.Open(FPort));
  Bytes m126 = Pattern(126, 1), m64k = Pattern(65536, 2), five = {1, 2, 3, 4, 5};
  Bytes a = Pattern(100, 3), b = Pattern(200, 4), c = Pattern(300, 5);
  ASSERT_TRUE(client.SendFrame(wsoBinary, m126));
  ASSERT_TRUE(client.SendFrame(wsoBinary, m64k));
  ASSERT_TRUE(client.SendFrame(wsoBinary, a, false));
  ASSERT_TRUE(client.SendFrame(wsoContinuation, b, false));
  ASSERT_TRUE(client.SendFrame(wsoContinuation, c, true));
  ASSERT_TRUE(client.SendFrame(wsoBinary, {}));
  ASSERT_TRUE(client.SendFrame(wsoBinary, five, true, false));  // unmasked
  ASSERT_TRUE(client.SendFrame(wsoText, {'o', 'k'}));
  ASSERT_TRUE(WaitUntil([&] { return Messages().size() == 6; }));
  auto got = Messages();
  Bytes joined = a;
  joined.insert(joined.end(), b.begin(), b.end());
  joined.insert(joined.end(), c.begin(), c.end());
  std::vector<Bytes> want = {m126, m64k, joined, {}, five, {'o', 'k'}};
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].Data, want[i]) << i;
    EXPECT_EQ(got[i].Type, i == 5 ? wsrtText : wsrtBinary) << i;
  }
}

TEST_F(WebSocketServerTest, FramesBehindTheUpgradeRequestAreDelivered) {
  TTestClient client;
  ASSERT_TRUE(client.Connect(FPort));
  std::string request = TTestClient::UpgradeRequest();
  Bytes all(request.begin(), request.end());
  Bytes frame = TTestClient::Frame(wsoBinary, {42});
  all.insert(all.end(), frame.begin(), frame.end());
  ASSERT_TRUE(client.SendRaw(all));  // one write: request and frame arrive together
  ASSERT_EQ(client.ReadHttpResponse().rfind("HTTP/1.1 101", 0), 0u);
  ASSERT_TRUE(WaitUntil([&] { return Messages().size() == 1; }));
  EXPECT_EQ(Messages()[0].Data, Bytes{42});
  EXPECT_EQ(OpenCount(), 1u);
}

TEST_F(WebSocketServerTest, MessageFollowedByEndOfStreamIsDeliveredThenClosed) {
  TTestClient client;
  ASSERT_TRUE(client.Open(FPort));
  ASSERT_TRUE(WaitUntil([&] { return OpenCount() == 1; }));
  PWebSocketConnection connection = Opened(0);
  ASSERT_TRUE(client.SendFrame(wsoBinary, {1, 2, 3}));
  ShutdownWrite(client.Socket());  // data and FIN close together
  ASSERT_TRUE(WaitUntil([&] { return CloseCount(connection) == 1; }));
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].Data, (Bytes{1, 2, 3}));
}

TEST_F(WebSocketServerTest, PingIsAnsweredWithSamePayload) {
  TTestClient client;
  ASSERT_TRUE(client.Open(FPort));
  ASSERT_TRUE(client.SendFrame(wsoPing, {9, 8, 7, 6}));
  auto pong = client.ReadFrame();
  ASSERT_TRUE(pong);
  EXPECT_EQ(pong->OpCode, wsoPong);
  EXPECT_TRUE(pong->Fin);
  EXPECT_EQ(pong->Payload, (Bytes{9, 8, 7, 6}));
  EXPECT_TRUE(Messages().empty());
}

TEST_F(WebSocketServerTest, PingsFromAClientThatDoesNotReadQueueOnlyAFewPongs) {
  // Far more pongs than the socket buffers on both sides can hold: without a bound the
  // server would queue every one of them.
  constexpr int kPings = 100000;
  TTestClient client;
  client.SetReceiveBuffer(4096);
  ASSERT_TRUE(client.Open(FPort));
  ASSERT_TRUE(WaitUntil([&] { return OpenCount() == 1; }));
  Bytes ping = TTestClient::Frame(wsoPing, Bytes(125, 0x5A));
  Bytes batch;
  for (int i = 0; i < 1000; ++i) batch.insert(batch.end(), ping.begin(), ping.end());
  for (int i = 0; i < kPings / 1000; ++i) ASSERT_TRUE(client.SendRaw(batch));
  ASSERT_TRUE(client.SendFrame(wsoBinary, {1}));
  ASSERT_TRUE(WaitUntil([&] { return Messages().size() == 1; }));  // every ping was read
  // A message sent now goes out behind whatever pongs were kept.
  static const uint8_t kMarker = 0x42;
  Opened(0)->WsSend(&kMarker, 1, nullptr);
  int pongs = 0;
  for (;;) {
    auto frame = client.ReadFrame();
    ASSERT_TRUE(frame);
    if (frame->OpCode == wsoBinary) break;
    ASSERT_EQ(frame->OpCode, wsoPong);
    ASSERT_EQ(frame->Payload, Bytes(125, 0x5A));
    ++pongs;
  }
  EXPECT_GT(pongs, 0);
  EXPECT_LT(pongs, kPings / 2);
  // Once the client reads again, pings are answered as before.
  ASSERT_TRUE(client.SendFrame(wsoPing, {3}));
  auto pong = client.ReadFrame();
  ASSERT_TRUE(pong);
  EXPECT_EQ(pong->Payload, Bytes{3});
}

TEST_F(WebSocketServerTest, ClientCloseIsAnsweredAndRaisesOneCloseEvent) {
  for (bool withCode : {false, true}) {
    TTestClient client;
    ASSERT_TRUE(client.Open(FPort));
    ASSERT_TRUE(WaitUntil([&] { return OpenCount() == (withCode ? 2u : 1u); }));
    PWebSocketConnection connection = Opened(OpenCount() - 1);
    ASSERT_TRUE(client.SendFrame(wsoClose, withCode ? Bytes{0x03, 0xE8} : Bytes{}));
    std::vector<uint8_t> header;
    auto reply = client.ReadFrame(&header);
    ASSERT_TRUE(reply);
    EXPECT_EQ(header, (Bytes{0x88, 0x00}));
    EXPECT_TRUE(client.WaitPeerClosed());
    ASSERT_TRUE(WaitUntil([&] { return CloseCount(connection) == 1; }));
    connection->Close();  // a later Close does not raise another event
    bool result = true;
    connection->WsSend("x", 1, [&](const PWebSocketConnection&, bool ok) { result = ok; });
    EXPECT_FALSE(result);
    EXPECT_EQ(CloseCount(connection), 1);
  }
}

TEST_F(WebSocketServerTest, SendWritesExactFrameBytes) {
  TTestClient client;
  ASSERT_TRUE(client.Open(FPort));
  ASSERT_TRUE(WaitUntil([&] { return OpenCount() == 1; }));
  PWebSocketConnection connection = Opened(0);
  struct {
    size_t Size;
    Bytes Header;
  } cases[] = {
      {200, {0x82, 0x7E, 0x00, 0xC8}},
      {70000, {0x82, 0x7F, 0, 0, 0, 0, 0, 0x01, 0x11, 0x70}},
      {0, {0x82, 0x00}},
  };
  for (const auto& c : cases) {
    Bytes payload = Pattern(c.Size, 9);
    std::atomic<int> done{0};
    connection->WsSend(payload.data(), payload.size(),
                       [&](const PWebSocketConnection& conn, bool ok) {
                         EXPECT_TRUE(ok);
                         EXPECT_EQ(conn.get(), connection.get());
                         done.fetch_add(1);
                       });
    Bytes header;
    auto frame = client.ReadFrame(&header);
    ASSERT_TRUE(frame);
    EXPECT_EQ(header, c.Header);
    EXPECT_EQ(frame->Payload, payload);
    ASSERT_TRUE(WaitUntil([&] { return done.load() == 1; }));
  }
  bool textOk = false;
  connection->WsSendText("héllo", [&](const PWebSocketConnection&, bool ok) { textOk = ok; });
  auto text = client.ReadFrame();
  ASSERT_TRUE(text);
  EXPECT_EQ(text->OpCode, wsoText);
  EXPECT_EQ(std::string(text->Payload.begin(), text->Payload.end()), "héllo");
  EXPECT_TRUE(WaitUntil([&] { return textOk; }));
}

TEST_F(WebSocketServerTest, SendOnClosedConnectionFailsAtOnceOnCallerThread) {
  TTestClient client;
  ASSERT_TRUE(client.Open(FPort));
  ASSERT_TRUE(WaitUntil([&] { return OpenCount() == 1; }));
  PWebSocketConnection connection = Opened(0);
  connection->Close();
  EXPECT_EQ(CloseCount(connection), 1) << "the close event ran inside Close";
  EXPECT_EQ(FCloseThreads.back(), std::this_thread::get_id());
  std::thread::id callbackThread;
  int calls = 0;
  bool result = true;
  connection->WsSend("abc", 3, [&](const PWebSocketConnection&, bool ok) {
    callbackThread = std::this_thread::get_id();
    result = ok;
    ++calls;
  });
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(result);
  EXPECT_EQ(callbackThread, std::this_thread::get_id());
  EXPECT_TRUE(client.WaitPeerClosed());
}

TEST_F(WebSocketServerTest, LargeSendsFinishInOrderWhenTheClientReadsLate) {
  TTestClient client;
  ASSERT_TRUE(client.Open(FPort));
  ASSERT_TRUE(WaitUntil([&] { return OpenCount() == 1; }));
  PWebSocketConnection connection = Opened(0);
  // Far more than the socket buffers hold: the sends finish on write readiness.
  std::vector<Bytes> payloads;
  for (int i = 0; i < 6; ++i) payloads.push_back(Pattern(3 << 20, static_cast<uint8_t>(i)));
  std::mutex orderLock;
  std::vector<int> order;
  for (int i = 0; i < 6; ++i) {
    connection->WsSend(payloads[static_cast<size_t>(i)].data(),
                       payloads[static_cast<size_t>(i)].size(),
                       [&, i](const PWebSocketConnection&, bool ok) {
                         EXPECT_TRUE(ok);
                         std::lock_guard<std::mutex> guard(orderLock);
                         order.push_back(i);
                       });
  }
  {
    std::lock_guard<std::mutex> guard(orderLock);
    EXPECT_LT(order.size(), 6u) << "the client has not read yet";
  }
  for (int i = 0; i < 6; ++i) {
    auto frame = client.ReadFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->Payload, payloads[static_cast<size_t>(i)]) << i;
  }
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> guard(orderLock);
    return order.size() == 6;
  }));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST_F(WebSocketServerTest, UnfinishedSendsFailWhenTheConnectionCloses) {
  TTestClient client;
  ASSERT_TRUE(client.Open(FPort));
  ASSERT_TRUE(WaitUntil([&] { return OpenCount() == 1; }));
  PWebSocketConnection connection = Opened(0);
  Bytes big = Pattern(16 << 20);
  std::atomic<int> calls{0};
  std::atomic<bool> result{true};
  connection->WsSend(big.data(), big.size(), [&](const PWebSocketConnection&, bool ok) {
    result = ok;
    calls.fetch_add(1);
  });
  EXPECT_EQ(calls.load(), 0);
  connection->Close();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_FALSE(result.load());
}

TEST_F(WebSocketServerTest, MessageOverTheLimitClosesWith1009) {
  FServer->Stop();
  StartServer(1000);
  TTestClient client;
  ASSERT_TRUE(client.Open(FPort));
  ASSERT_TRUE(client.SendFrame(wsoBinary, Pattern(1000)));
  ASSERT_TRUE(WaitUntil([&] { return Messages().size() == 1; }));
  ASSERT_TRUE(client.SendFrame(wsoBinary, Pattern(1001)));
  Bytes header;
  auto frame = client.ReadFrame(&header);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->OpCode, wsoClose);
  EXPECT_EQ(frame->Payload, (Bytes{0x03, 0xF1}));
  EXPECT_TRUE(client.WaitPeerClosed());
  ASSERT_TRUE(WaitUntil([&] { return TotalCloses() == 1; }));
  std::lock_guard<std::mutex> guard(FLock);
  ASSERT_EQ(FLog.size(), 1u);
  EXPECT_EQ(FLog[0].rfind("3:WebSocket message larger than 1000 bytes", 0), 0u) << FLog[0];
}

TEST_F(WebSocketServerTest, CloseInsideMessageHandlerEndsDeliveryAtOnce) {
  OnMessageHook = [](const PWebSocketConnection& c, const Bytes& data) {
    if (data == Bytes{0xFF}) c->Close();
  };
  TTestClient client;
  ASSERT_TRUE(client.Open(FPort));
  ASSERT_TRUE(WaitUntil([&] { return OpenCount() == 1; }));
  PWebSocketConnection connection = Opened(0);
  Bytes all;
  for (Bytes m : {Bytes{1}, Bytes{0xFF}, Bytes{2}}) {
    Bytes f = TTestClient::Frame(wsoBinary, m);
    all.insert(all.end(), f.begin(), f.end());
  }
  ASSERT_TRUE(client.SendRaw(all));
  EXPECT_TRUE(client.WaitPeerClosed());
  ASSERT_TRUE(WaitUntil([&] { return CloseCount(connection) == 1; }));
  auto got = Messages();
  ASSERT_EQ(got.size(), 2u) << "nothing is delivered after the close";
  EXPECT_EQ(got[1].Data, Bytes{0xFF});
}

TEST_F(WebSocketServerTest, HandlerThatThrowsClosesOnlyItsConnection) {
  std::atomic<bool> refuseOpen{true};
  FServer->OnOpen([&](const PWebSocketConnection&) {
    if (refuseOpen.exchange(false)) throw std::runtime_error("open refused");
  });
  OnMessageHook = [](const PWebSocketConnection&, const Bytes& data) {
    if (data == Bytes{0xEE}) throw std::runtime_error("bad message");
  };
  const Bytes serverError{0x03, 0xF3};  // 1011
  {
    // The open handler throws: the client gets its 101, a close frame with 1011 and then
    // the end of the stream.
    TTestClient client;
    ASSERT_TRUE(client.Connect(FPort));
    ASSERT_TRUE(client.SendRaw(TTestClient::UpgradeRequest()));
    EXPECT_EQ(client.ReadHttpResponse().rfind("HTTP/1.1 101 ", 0), 0u);
    auto frame = client.ReadFrame();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->OpCode, wsoClose);
    EXPECT_EQ(frame->Payload, serverError);
    EXPECT_TRUE(client.WaitPeerClosed());
  }
  {
    // The message handler throws: that connection closes with 1011, nothing after it is
    // delivered.
    TTestClient client;
    ASSERT_TRUE(client.Open(FPort));
    Bytes all = TTestClient::Frame(wsoBinary, {0xEE});
    Bytes after = TTestClient::Frame(wsoBinary, {1});
    all.insert(all.end(), after.begin(), after.end());
    ASSERT_TRUE(client.SendRaw(all));
    auto frame = client.ReadFrame();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->OpCode, wsoClose);
    EXPECT_EQ(frame->Payload, serverError);
    EXPECT_TRUE(client.WaitPeerClosed());
  }
  ASSERT_TRUE(WaitUntil([&] { return TotalCloses() == 2; }));
  EXPECT_EQ(Messages().size(), 0u);
  TTestClient healthy;
  ASSERT_TRUE(healthy.Open(FPort));
  ASSERT_TRUE(healthy.SendFrame(wsoBinary, {5}));
  ASSERT_TRUE(WaitUntil([&] { return Messages().size() == 1; }));
}

// The server's own close: a close frame with the status code, nothing after it, and the
// socket closed whether or not the client answers.
TEST_F(WebSocketServerTest, CloseWithStatusSendsTheCodeAndNothingAfterIt) {
  struct {
    const char* Name;
    uint16_t Code;
    bool ClientAnswers;
  } cases[] = {
      {"normal, answered", wccNormal, true},
      {"policy, never answered", wccPolicy, false},
  };
  int closes = 0;
  size_t index = 0;
  for (const auto& c : cases) {
    TTestClient client;
    ASSERT_TRUE(client.Open(FPort)) << c.Name;
    ASSERT_TRUE(WaitUntil([&] { return OpenCount() == index + 1; })) << c.Name;
    PWebSocketConnection connection = Opened(index);
    connection->WsSendBytes({7}, nullptr);
    connection->CloseWithStatus(c.Code);
    std::atomic<int> late{-1};
    connection->WsSendBytes({8}, [&](const PWebSocketConnection&, bool ok) { late = ok; });
    EXPECT_EQ(late.load(), 0) << c.Name << ": a send after the close frame went out";
    // Messages the client sends before it answers are not delivered any more.
    size_t delivered = Messages().size();
    ASSERT_TRUE(client.SendFrame(wsoBinary, {9}));
    auto data = client.ReadFrame();
    ASSERT_TRUE(data.has_value()) << c.Name;
    EXPECT_EQ(data->Payload, Bytes{7});
    auto close = client.ReadFrame();
    ASSERT_TRUE(close.has_value()) << c.Name;
    EXPECT_EQ(close->OpCode, wsoClose) << c.Name;
    EXPECT_EQ(close->Payload,
              (Bytes{static_cast<uint8_t>(c.Code >> 8), static_cast<uint8_t>(c.Code & 0xFF)}))
        << c.Name;
    if (c.ClientAnswers) {
      ASSERT_TRUE(client.SendFrame(wsoClose, {0x03, 0xE8}));
    }
    EXPECT_TRUE(client.WaitPeerClosed()) << c.Name;  // nothing but the end of the stream
    ++closes;
    ASSERT_TRUE(WaitUntil([&] { return TotalCloses() == closes; })) << c.Name;
    EXPECT_EQ(CloseCount(connection), 1) << c.Name;
    EXPECT_EQ(Messages().size(), delivered) << c.Name;
    ++index;
  }
}

// A client that never reads: the transport's bound on queued bytes closes it (1008) and
// says so, instead of holding every message sent to it.
TEST_F(WebSocketServerTest, SendQueueBoundClosesAClientThatDoesNotRead) {
  constexpr size_t kBound = 256 * 1024;
  StartServer(IWebSocketServer::kDefaultMaxMessageSize, kBound);
  TTestClient client;
  client.SetReceiveBuffer(4096);
  ASSERT_TRUE(client.Open(FPort));
  ASSERT_TRUE(WaitUntil([&] { return OpenCount() == 1; }));
  PWebSocketConnection connection = Opened(0);
  const uint64_t breaches = FStats.Breaches(TLimitBreach::lbWsQueuedBytes);
  auto chunk = std::make_shared<Bytes>(32 * 1024, 0x5A);
  // Also set by the queued sends that fail when the connection closes, on an I/O thread.
  std::atomic<bool> refused{false};
  // Far more than the bound plus what the sockets' buffers can hold.
  for (int i = 0; i < 4096 && !refused; ++i) {
    connection->WsSendBytes(*chunk, [&](const PWebSocketConnection&, bool ok) {
      if (!ok) refused = true;
    });
  }
  ASSERT_TRUE(refused);
  EXPECT_EQ(FStats.Breaches(TLimitBreach::lbWsQueuedBytes), breaches + 1);
  // The close frame waits behind the unread bytes; the socket is closed after the grace.
  ASSERT_TRUE(WaitUntil([&] { return TotalCloses() == 1; }));
  std::lock_guard<std::mutex> guard(FLock);
  ASSERT_EQ(FLog.size(), 1u);
  EXPECT_NE(FLog[0].find("send queue"), std::string::npos) << FLog[0];
}

TEST_F(WebSocketServerTest, StopRunsEveryCloseEventOnTheStoppingThread) {
  std::vector<std::unique_ptr<TTestClient>> clients;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(std::make_unique<TTestClient>());
    ASSERT_TRUE(clients.back()->Open(FPort));
  }
  // A pong comes from a later read than the open event, so every open handler has
  // returned: no handler runs while Stop closes.
  for (auto& client : clients) {
    ASSERT_TRUE(client->SendFrame(wsoPing, {1}));
    ASSERT_TRUE(client->ReadFrame());
  }
  ASSERT_EQ(OpenCount(), 20u);
  FServer->Stop();
  EXPECT_FALSE(FServer->Active());
  EXPECT_EQ(FServer->ConnectionsCount(), 0u);
  std::lock_guard<std::mutex> guard(FLock);
  ASSERT_EQ(FCloseThreads.size(), 20u);
  for (auto id : FCloseThreads) EXPECT_EQ(id, std::this_thread::get_id());
  for (const auto& c : FOpened) EXPECT_EQ(FCloseCounts[c.get()], 1);
  for (auto& client : clients) EXPECT_TRUE(client->WaitPeerClosed());
}

TEST_F(WebSocketServerTest, PortInUseFailsStartBeforeItReturns) {
  PWebSocketServer second = CreateWebSocketServer(2);
  second->SetAddr("127.0.0.1");
  second->SetPort(FPort);
  std::vector<bool> results;
  second->Start([&](bool ok) { results.push_back(ok); });
  EXPECT_EQ(results, std::vector<bool>{false});
  EXPECT_FALSE(second->Active());
  second->Stop();
  // The system failure is in the transport's own diagnostic log.
  TNetDiagLog::Flush();
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char name[32];
  std::snprintf(name, sizeof(name), "/%04d-%02d-%02d.log", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);
  std::ifstream file(TNetDiagLog::Folder() + name, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
#if defined(_WIN32)
  const char* const inUse = " TIocpSocketEngine.Listen.Bind : System Error.  Code: 10048(2740), ";
#else
  const char* const inUse = " TIocpSocketEngine.Listen.Bind : System Error.  Code: 98(0062), ";
#endif
  EXPECT_NE(text.find(inUse), std::string::npos) << text;
  // A second Start of a running server reports false too.
  std::vector<bool> again;
  FServer->Start([&](bool ok) { again.push_back(ok); });
  EXPECT_EQ(again, std::vector<bool>{false});
  EXPECT_TRUE(FServer->Active());
}

}  // namespace
}  // namespace gw
