// The operators' endpoint server over loopback: a registered path answers GET and
// HEAD with its handler's reply, anything else 404/405, a throwing handler 500.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "net/HttpEndpointServer.h"
#include "net/NetTestUtil.h"

namespace gw {
namespace {

using test::TTestClient;

// Sends one request on a fresh connection and reads the reply.
std::string Exchange(uint16_t port, const std::string& request) {
  TTestClient client;
  if (!client.Connect(port)) return "<no connect>";
  if (!client.SendRaw(request)) return "<no send>";
  return client.ReadHttpResponse();
}

TEST(HttpEndpointServerTest, RegisteredPathsAnswerAndOthersAreRefused) {
  THttpEndpointServer server;
  std::atomic<int> healthy{1};
  server.Handle("/healthz", [&] {
    return healthy ? TEndpointReply{200, "text/plain; charset=utf-8", "ok\n"}
                   : TEndpointReply{503, "text/plain; charset=utf-8", "down\n"};
  });
  server.Handle("/metrics", [] {
    return TEndpointReply{200, "text/plain; version=0.0.4; charset=utf-8", "up 1\n"};
  });
  server.Handle("/broken", []() -> TEndpointReply { throw std::runtime_error("no figures"); });
  server.SetServerAddr("127.0.0.1");
  server.SetServerPort(0);
  bool started = false;
  server.StartServer([&](bool ok) { started = ok; });
  ASSERT_TRUE(started);
  const uint16_t port = server.ServerPort();

  const std::string metrics =
      Exchange(port, "GET /metrics?x=1 HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(metrics.rfind("HTTP/1.1 200", 0), 0u) << metrics;
  EXPECT_NE(metrics.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"),
            std::string::npos);
  EXPECT_NE(metrics.find("\r\n\r\nup 1\n"), std::string::npos) << metrics;

  const std::string head = Exchange(port, "HEAD /healthz HTTP/1.0\r\n\r\n");
  EXPECT_EQ(head.rfind("HTTP/1.0 200", 0), 0u) << head;
  EXPECT_EQ(head.find("ok\n"), std::string::npos) << head;

  healthy = 0;
  EXPECT_EQ(Exchange(port, "GET /healthz HTTP/1.1\r\nHost: a\r\n\r\n").rfind("HTTP/1.1 503", 0),
            0u);
  EXPECT_EQ(Exchange(port, "GET /other HTTP/1.1\r\nHost: a\r\n\r\n").rfind("HTTP/1.1 404", 0), 0u);
  const std::string post =
      Exchange(port, "POST /metrics HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(post.rfind("HTTP/1.1 405", 0), 0u) << post;
  EXPECT_NE(post.find("Allow: GET, HEAD\r\n"), std::string::npos) << post;
  const std::string broken = Exchange(port, "GET /broken HTTP/1.1\r\nHost: a\r\n\r\n");
  EXPECT_EQ(broken.rfind("HTTP/1.1 500", 0), 0u) << broken;
  EXPECT_NE(broken.find("no figures"), std::string::npos) << broken;
}

}  // namespace
}  // namespace gw
