// The transport with TLS on its listener: the server's handshake and records run over
// memory buffers on the I/O threads while the socket is non-blocking, so what breaks is
// ordering and partial writes (a socket that takes part of the records), sends from
// other threads racing the I/O thread's decryption, and clients that do not speak TLS.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "NetTestUtil.h"
#include "common/PeerLimits.h"
#include "net/IWebSocketServer.h"
#include "net/TlsContext.h"

namespace gw {
namespace {

using namespace test;  // WaitUntil, TTestClient, Pattern, Bytes

// A self-signed certificate with subject CN=`name`, written as PEM files in a fresh
// folder that goes with the object.
class TTestCertificate {
 public:
  explicit TTestCertificate(const char* name) {
    static std::atomic<int> counter{0};
    FFolder = (std::filesystem::temp_directory_path() /
               ("gw-tls-test-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
                std::to_string(counter++)))
                  .string();
    std::filesystem::create_directories(FFolder);
    CertFile = FFolder + "/cert.pem";
    KeyFile = FFolder + "/key.pem";
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* subject = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
    X509_set_issuer_name(cert, subject);
    X509_sign(cert, key, EVP_sha256());
    if (FILE* f = std::fopen(CertFile.c_str(), "w")) {
      PEM_write_X509(f, cert);
      std::fclose(f);
    }
    if (FILE* f = std::fopen(KeyFile.c_str(), "w")) {
      PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
      std::fclose(f);
    }
    X509_free(cert);
    EVP_PKEY_free(key);
  }
  ~TTestCertificate() {
    std::remove(CertFile.c_str());
    std::remove(KeyFile.c_str());
    std::remove(FFolder.c_str());
  }

  std::string CertFile, KeyFile;

 private:
  std::string FFolder;
};

// A client context that trusts exactly `certificate`.
std::shared_ptr<SSL_CTX> ClientContext(const TTestCertificate& certificate) {
  std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  SSL_CTX_load_verify_locations(context.get(), certificate.CertFile.c_str(), nullptr);
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
  static const unsigned char kAlpn[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
  SSL_CTX_set_alpn_protos(context.get(), kAlpn, sizeof(kAlpn));
  return context;
}

class TlsTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    FContext = TTlsContext::Load(FCertificate.CertFile, FCertificate.KeyFile, error);
    ASSERT_TRUE(FContext) << error;
    FServer = CreateWebSocketServer(2);
    FServer->SetStats(&FStats);
    FServer->SetAddr("127.0.0.1");
    FServer->SetPort(0);
    FServer->SetTlsContext(FContext);
  }
  void TearDown() override { FServer->Stop(); }

  void StartEcho() {
    FServer->OnMessage([](const PWebSocketConnection& c, TWsRequestType,
                          const std::vector<uint8_t>& data) { c->WsSendBytes(data, nullptr); });
    Start();
  }
  void Start() {
    bool ok = false;
    FServer->Start([&](bool s) { ok = s; });
    ASSERT_TRUE(ok);
  }
  // A client through the TLS handshake and the WebSocket upgrade.
  void Open(TTestClient& client) {
    ASSERT_TRUE(client.Connect(FServer->Port()));
    ASSERT_TRUE(client.StartTls(FClientContext.get()));
    ASSERT_TRUE(client.SendRaw(TTestClient::UpgradeRequest()));
    ASSERT_EQ(client.ReadHttpResponse().rfind("HTTP/1.1 101 ", 0), 0u);
  }

  TTestCertificate FCertificate{"gw-transport-test"};
  std::shared_ptr<SSL_CTX> FClientContext = ClientContext(FCertificate);
  PTlsContext FContext;
  TGateWayStats FStats;  // outlives the server that counts on it
  PWebSocketServer FServer;
};

TEST_F(TlsTransportTest, MessagesOfEverySizeRoundTripInOrder) {
  StartEcho();
  TTestClient client;
  Open(client);
  const unsigned char* alpn = nullptr;
  unsigned int alpnLen = 0;
  SSL_get0_alpn_selected(client.Tls(), &alpn, &alpnLen);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(alpn), alpnLen), "http/1.1");
  EXPECT_GE(SSL_version(client.Tls()), TLS1_2_VERSION);
  // Around one record (16 KiB), past one batch of records (64 KiB), and one message
  // sent in many frames back to back without reading in between.
  const size_t sizes[] = {0, 1, 125, 16383, 16384, 16385, 65536, 65537, 300000};
  for (size_t size : sizes) {
    Bytes payload = Pattern(size, static_cast<uint8_t>(size));
    ASSERT_TRUE(client.SendFrame(2, payload)) << size;
    auto frame = client.ReadFrame();
    ASSERT_TRUE(frame) << size;
    EXPECT_EQ(frame->Payload, payload) << size;
  }
  for (int i = 0; i < 50; ++i)
    ASSERT_TRUE(client.SendFrame(2, Pattern(1000, static_cast<uint8_t>(i))));
  for (int i = 0; i < 50; ++i) {
    auto frame = client.ReadFrame();
    ASSERT_TRUE(frame) << i;
    EXPECT_EQ(frame->Payload, Pattern(1000, static_cast<uint8_t>(i))) << i;
  }
}

TEST_F(TlsTransportTest, AReaderThatLagsGetsEveryByteOnceItReads) {
  // The echo of 8 MiB cannot go out while the client does not read: the server's socket
  // fills in the middle of a batch of records, the rest waits for write readiness.
  FServer->SetMaxMessageSize(16 * 1024 * 1024);
  StartEcho();
  TTestClient client;
  client.SetReceiveBuffer(4096);
  Open(client);
  Bytes payload = Pattern(8 * 1024 * 1024, 7);
  std::thread writer([&] { EXPECT_TRUE(client.SendFrame(2, payload)); });
  // The client reads only after all of its frame went out (the echo may start earlier).
  writer.join();
  auto frame = client.ReadFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->Payload, payload);
}

TEST_F(TlsTransportTest, SendsFromSeveralThreadsWhileTheClientTalksStayWhole) {
  std::mutex lock;
  PWebSocketConnection connection;
  std::atomic<int> received{0};
  FServer->OnOpen([&](const PWebSocketConnection& c) {
    std::lock_guard<std::mutex> guard(lock);
    connection = c;
  });
  // Reads decrypt under the same lock as the sends encrypt: the client keeps talking.
  FServer->OnMessage([&](const PWebSocketConnection&, TWsRequestType, const std::vector<uint8_t>&) {
    received.fetch_add(1);
  });
  Start();
  TTestClient client;
  Open(client);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> guard(lock);
    return connection != nullptr;
  }));
  constexpr int kThreads = 3, kPerThread = 200;
  std::atomic<int> sent{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        Bytes p = Pattern(static_cast<size_t>(1 + (i * 997) % 30000), static_cast<uint8_t>(i));
        p[0] = static_cast<uint8_t>(t);
        connection->WsSendBytes(p, [&](const PWebSocketConnection&, bool ok) {
          EXPECT_TRUE(ok);
          sent.fetch_add(1);
        });
      }
    });
  }
  std::vector<int> next(kThreads, 0);
  for (int n = 0; n < kThreads * kPerThread; ++n) {
    if (n % 10 == 0) {
      ASSERT_TRUE(client.SendFrame(2, Pattern(200, static_cast<uint8_t>(n))));
    }
    auto frame = client.ReadFrame();
    ASSERT_TRUE(frame) << n;
    ASSERT_FALSE(frame->Payload.empty());
    int t = frame->Payload[0];
    ASSERT_LT(t, kThreads);
    int i = next[static_cast<size_t>(t)]++;
    Bytes expected = Pattern(static_cast<size_t>(1 + (i * 997) % 30000), static_cast<uint8_t>(i));
    expected[0] = static_cast<uint8_t>(t);
    ASSERT_EQ(frame->Payload, expected) << "thread " << t << " message " << i;
  }
  for (auto& s : senders) s.join();
  EXPECT_TRUE(WaitUntil([&] { return sent.load() == kThreads * kPerThread; }));
  EXPECT_TRUE(WaitUntil([&] { return received.load() == kThreads * kPerThread / 10; }));
}

TEST_F(TlsTransportTest, ClientsThatDoNotSpeakTlsAreClosedWithoutAnHttpAnswer) {
  std::atomic<int> opened{0};
  FServer->OnOpen([&](const PWebSocketConnection&) { opened.fetch_add(1); });
  Start();
  const std::string inputs[] = {
      TTestClient::UpgradeRequest(),                 // a ws:// client on the wss port
      std::string("\x16\x03\x01\x00\x05hello", 10),  // a handshake record of garbage
  };
  for (const std::string& input : inputs) {
    TTestClient client;
    ASSERT_TRUE(client.Connect(FServer->Port()));
    ASSERT_TRUE(client.SendRaw(input));
    std::string got = client.ReadHttpResponse(20000);
    EXPECT_EQ(got.find("HTTP/1.1"), std::string::npos) << got;
    EXPECT_TRUE(client.WaitPeerClosed());
  }
  // A TLS client after them is served as usual.
  TTestClient client;
  Open(client);
  EXPECT_TRUE(WaitUntil([&] { return opened.load() == 1; }));
}

TEST_F(TlsTransportTest, AClientAskingForKeyUpdatesWithoutReadingIsClosedAtTheBound) {
  // Every request makes the server queue a key update of its own; a client that never
  // reads must not make it hold them without end.
  Start();
  const uint64_t before = FStats.Breaches(TLimitBreach::lbTlsPendingRecords);
  TTestClient client;
  client.SetReceiveBuffer(4096);
  Open(client);
  ASSERT_EQ(SSL_version(client.Tls()), TLS1_3_VERSION);
  bool closed = false;
  // Far more than the socket buffers and the bound hold together.
  for (int i = 0; i < 2000000 && !closed; ++i) {
    closed = SSL_key_update(client.Tls(), SSL_KEY_UPDATE_REQUESTED) != 1 ||
             SSL_do_handshake(client.Tls()) != 1;
  }
  EXPECT_TRUE(closed);
  EXPECT_TRUE(WaitUntil([&] { return FServer->ConnectionsCount() == 0; }));
  EXPECT_GT(FStats.Breaches(TLimitBreach::lbTlsPendingRecords), before);
}

TEST_F(TlsTransportTest, ANewContextServesNewClientsAndLiveOnesKeepTheirs) {
  StartEcho();
  TTestClient before;
  Open(before);
  TTestCertificate renewed("gw-transport-renewed");
  std::string error;
  PTlsContext next = TTlsContext::Load(renewed.CertFile, renewed.KeyFile, error);
  ASSERT_TRUE(next) << error;
  EXPECT_EQ(next->Subject(), "CN=gw-transport-renewed");
  FServer->SetTlsContext(next);
  // The old client does not trust the new certificate; a new one that does is served.
  TTestClient after;
  ASSERT_TRUE(after.Connect(FServer->Port()));
  std::shared_ptr<SSL_CTX> trustRenewed = ClientContext(renewed);
  ASSERT_TRUE(after.StartTls(trustRenewed.get()));
  ASSERT_TRUE(after.SendRaw(TTestClient::UpgradeRequest()));
  ASSERT_EQ(after.ReadHttpResponse().rfind("HTTP/1.1 101 ", 0), 0u);
  for (TTestClient* client : {&before, &after}) {
    ASSERT_TRUE(client->SendFrame(2, Pattern(20000, 3)));
    auto frame = client->ReadFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->Payload, Pattern(20000, 3));
  }
}

}  // namespace
}  // namespace gw
