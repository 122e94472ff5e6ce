// The HTTP request parser and reply builder, fed bytes directly.
#include <gtest/gtest.h>

#include <string>

#include "net/HttpRequest.h"
#include "net/HttpResponse.h"
#include "net/NetDiagLog.h"

namespace gw {
namespace {

THttpParseResult ParseAll(THttpRequest& request, const std::string& text, size_t* used = nullptr) {
  size_t consumed = 0;
  THttpParseResult r =
      request.Parse(reinterpret_cast<const uint8_t*>(text.data()), text.size(), consumed);
  if (used) *used = consumed;
  return r;
}

// Feeds one byte at a time, as the slowest client would send it.
THttpParseResult ParseByteByByte(THttpRequest& request, const std::string& text) {
  THttpParseResult r = hprNeedMore;
  for (char c : text) {
    size_t consumed = 0;
    r = request.Parse(reinterpret_cast<const uint8_t*>(&c), 1, consumed);
    if (r != hprNeedMore) return r;
  }
  return r;
}

TEST(HttpRequestTest, DecodesRequestLineAndFieldsIgnoringCase) {
  const std::string text =
      "GET /a%20b?x=1 HTTP/1.1\r\nhost: example\r\nconnection:  keep-alive, Upgrade\r\n"
      "UPGRADE: WebSocket\r\n\r\n";
  for (bool slow : {false, true}) {
    THttpRequest request(0, 0);
    ASSERT_EQ(slow ? ParseByteByByte(request, text) : ParseAll(request, text), hprDone);
    EXPECT_EQ(request.Method(), "GET");
    EXPECT_EQ(request.RawPathAndParams(), "/a%20b?x=1");
    EXPECT_EQ(request.Path(), "/a b");
    EXPECT_EQ(request.Version(), "HTTP/1.1");
    EXPECT_EQ(request.Header().Value("Host"), "example");
    EXPECT_EQ(request.Header().Value("Connection"), "keep-alive, Upgrade");
    EXPECT_EQ(request.Header().Value("upgrade"), "WebSocket");
    EXPECT_TRUE(request.KeepAlive());
  }
}

TEST(HttpRequestTest, HeaderEndsAtTwoCrAndTwoLfInAnyOrder) {
  struct {
    const char* Text;
    THttpParseResult Result;
  } cases[] = {
      {"GET / HTTP/1.1\r\nA: b\r\n\r\n", hprDone},
      {"GET / HTTP/1.1\r\nA: b\n\r\r\n", hprDone},
      {"GET / HTTP/1.1\r\nA: b\n\n", hprNeedMore},       // only LF bytes: not the end
      {"GET / HTTP/1.1\r\nA: b\r\n\rx\n", hprNeedMore},  // another byte in between
  };
  for (const auto& c : cases) {
    THttpRequest request(0, 0);
    EXPECT_EQ(ParseAll(request, c.Text), c.Result) << c.Text;
  }
}

TEST(HttpRequestTest, KeepAliveFollowsVersionAndConnectionField) {
  struct {
    const char* Text;
    bool KeepAlive;
    int Version;
  } cases[] = {
      {"GET / HTTP/1.1\r\n\r\n", true, 11},
      {"GET / HTTP/1.1\r\nConnection: Close\r\n\r\n", false, 11},
      {"GET / HTTP/1.0\r\n\r\n", false, 10},
      {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", true, 10},
      {"GET /\r\n\r\n", false, 10},  // no version: HTTP/1.0
  };
  for (const auto& c : cases) {
    THttpRequest request(0, 0);
    ASSERT_EQ(ParseAll(request, c.Text), hprDone) << c.Text;
    EXPECT_EQ(request.KeepAlive(), c.KeepAlive) << c.Text;
    EXPECT_EQ(request.HttpVerNum(), c.Version) << c.Text;
  }
}

TEST(HttpRequestTest, RejectsUnknownMethodsAndOversizeHeadersAndBodies) {
  {
    THttpRequest request(0, 0);
    EXPECT_EQ(ParseByteByByte(request, "get / HTTP/1.1\r\n\r\n"), hprMethodInvalid);
  }
  for (const char* method : THttpRequest::kMethodTags) {
    THttpRequest request(0, 0);
    EXPECT_EQ(ParseAll(request, std::string(method) + " / HTTP/1.1\r\n\r\n"), hprDone) << method;
  }
  {
    THttpRequest request(64, 0);
    std::string text = "GET / HTTP/1.1\r\nX: " + std::string(100, 'a') + "\r\n\r\n";
    EXPECT_EQ(ParseAll(request, text), hprHeaderTooLarge);
    THttpRequest exact(18, 0);
    EXPECT_EQ(ParseAll(exact, "GET / HTTP/1.1\r\n\r\n"), hprDone);  // exactly 18 bytes
  }
  {
    THttpRequest request(0, 10);
    EXPECT_EQ(ParseAll(request, "POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\n"),
              hprPostDataTooLarge);
  }
  {
    THttpRequest unlimited(0, 0);  // no limits: any size is read
    std::string text = "GET / HTTP/1.1\r\nX: " + std::string(1 << 20, 'a') + "\r\n\r\n";
    EXPECT_EQ(ParseAll(unlimited, text), hprDone);
  }
}

TEST(HttpRequestTest, SkipsBodiesAndParsesPipelinedRequests) {
  const std::string first = "POST /a HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello";
  const std::string chunked =
      "POST /b HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n10;x=y\r\n"
      "0123456789abcdef\r\n0\r\nTrailer: 1\r\n\r\n";
  const std::string third = "GET /c HTTP/1.1\r\n\r\n";
  std::string all = first + chunked + third;
  THttpRequest request(0, 0);
  size_t used = 0;
  ASSERT_EQ(ParseAll(request, all, &used), hprDone);
  EXPECT_EQ(used, first.size());
  EXPECT_EQ(request.PostDataSize(), 5u);
  all.erase(0, used);
  ASSERT_EQ(ParseAll(request, all, &used), hprDone);
  EXPECT_EQ(request.Path(), "/b");
  EXPECT_EQ(request.PostDataSize(), 19u);
  EXPECT_EQ(used, chunked.size());
  all.erase(0, used);
  ASSERT_EQ(ParseAll(request, all, &used), hprDone);
  EXPECT_EQ(request.Path(), "/c");
  THttpRequest bad(0, 0);
  EXPECT_EQ(ParseAll(bad, "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"),
            hprBadChunk);
}

TEST(HttpRequestTest, RequestLineMustEndInCrLfAndNameAKnownVersion) {
  struct {
    const char* Text;
    THttpParseResult Result;
    const char* Version;
  } cases[] = {
      {"GET / HTTP/1.1\r\n\r\n", hprDone, "HTTP/1.1"},
      {"GET / HTTP/1.0\r\n\r\n", hprDone, "HTTP/1.0"},
      {"GET /\r\n\r\n", hprDone, "HTTP/1.0"},
      {"GET / HTTP/1.1\nX-Evil: yes\r\n\r\n", hprBadRequestLine, ""},
      {"GET / HTTP/1.1\rX-Evil: yes\r\n\r\n", hprBadRequestLine, ""},
      {"GET / XYZ/9.9\r\n\r\n", hprBadRequestLine, ""},
      {"GET / HTTP/1.1 x\r\n\r\n", hprBadRequestLine, ""},
      {"GET / http/1.1\r\n\r\n", hprBadRequestLine, ""},
  };
  for (const auto& c : cases) {
    THttpRequest request(0, 0);
    EXPECT_EQ(ParseAll(request, c.Text), c.Result) << c.Text;
    EXPECT_EQ(request.Version(), c.Version) << c.Text;
    // Whatever the request said, the reply's status line is one of two fixed texts.
    THttpResponse response;
    response.SetStatusCode(400);
    std::string reply = response.Build(request, "", true);
    EXPECT_EQ(reply.substr(0, reply.find("\r\n")), std::string(c.Version) == "HTTP/1.0"
                                                       ? "HTTP/1.0 400 Bad Request"
                                                       : "HTTP/1.1 400 Bad Request")
        << c.Text;
    EXPECT_NE(reply.find("\r\nConnection: close\r\n"), std::string::npos);
  }
}

TEST(HttpRequestTest, AmbiguouslyFramedRequestsAreRefused) {
  // Requests that a proxy in front and this server could read differently (request
  // smuggling): each is refused at the end of its head, whole or one byte at a time.
  struct {
    const char* Name;
    std::string Text;
    THttpParseResult Result;
    const char* Error;
  } cases[] = {
      {"length and chunked",
       "POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", hprBadHeader,
       "Content-Length and Transfer-Encoding together."},
      {"chunked and length",
       "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\ncontent-length: 0\r\n\r\n", hprBadHeader,
       "Content-Length and Transfer-Encoding together."},
      {"blank before colon", "GET / HTTP/1.1\r\nHost : x\r\n\r\n", hprBadHeader,
       "Whitespace before a header field's colon."},
      {"tab before colon", "GET / HTTP/1.1\r\nUpgrade\t: websocket\r\n\r\n", hprBadHeader,
       "Whitespace before a header field's colon."},
      {"length not a number", "POST / HTTP/1.1\r\nContent-Length: abc\r\n\r\n", hprBadHeader,
       "Content-Length invalid."},
      {"negative length", "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", hprBadHeader,
       "Content-Length invalid."},
      {"signed length", "POST / HTTP/1.1\r\nContent-Length: +5\r\n\r\n", hprBadHeader,
       "Content-Length invalid."},
      {"empty length", "POST / HTTP/1.1\r\nContent-Length:\r\n\r\n", hprBadHeader,
       "Content-Length invalid."},
      {"huge length", "POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n",
       hprBadHeader, "Content-Length invalid."},
      {"lengths that differ",
       "POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!", hprBadHeader,
       "Content-Length invalid."},
      {"list that differs", "POST / HTTP/1.1\r\nContent-Length: 5, 6\r\n\r\nhello!", hprBadHeader,
       "Content-Length invalid."},
      // Still fine: a repeated length that agrees, and blanks after the colon.
      {"lengths that agree",
       "POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length:5 , 5\r\n\r\nhello", hprDone,
       nullptr},
      {"blank after colon", "GET / HTTP/1.1\r\nHost:   x\r\n\r\n", hprDone, nullptr},
  };
  for (const auto& c : cases) {
    for (bool slow : {false, true}) {
      THttpRequest request(0, 0);
      EXPECT_EQ(slow ? ParseByteByByte(request, c.Text) : ParseAll(request, c.Text), c.Result)
          << c.Name;
      if (c.Error != nullptr) {
        ASSERT_NE(request.HeaderError(), nullptr) << c.Name;
        EXPECT_STREQ(request.HeaderError(), c.Error) << c.Name;
      } else {
        EXPECT_EQ(request.HeaderError(), nullptr) << c.Name;
      }
    }
  }
}

TEST(HttpRequestTest, ValuesAreTrimmedAndRepeatedFieldsJoined) {
  THttpRequest request(0, 0);
  ASSERT_EQ(ParseAll(request,
                     "GET / HTTP/1.1\r\nConnection: Upgrade\r\nA:\t x y \t\r\n"
                     "connection:  keep-alive \r\nEmpty: \t \r\n\r\n"),
            hprDone);
  EXPECT_EQ(request.Header().Value("A"), "x y");
  EXPECT_EQ(request.Header().Value("Empty"), "");
  EXPECT_EQ(request.Header().Value("Connection"), "Upgrade");  // the first one
  EXPECT_EQ(request.Header().Joined("Connection"), "Upgrade, keep-alive");
  EXPECT_EQ(request.RequestConnection(), "Upgrade, keep-alive");
  EXPECT_TRUE(request.KeepAlive());
  EXPECT_TRUE(HasToken("a, Close ,b", "close"));
  EXPECT_FALSE(HasToken("closed, xclose", "close"));
  THttpRequest closing(0, 0);
  ASSERT_EQ(ParseAll(closing, "GET / HTTP/1.1\r\nConnection: Upgrade\r\nConnection: close\r\n\r\n"),
            hprDone);
  EXPECT_FALSE(closing.KeepAlive());
}

// A header of thousands of tiny fields (or lines without a colon) is read whole, every
// field kept in order.
TEST(HttpRequestTest, ManySmallFieldsAreAllKept) {
  std::string many = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 3000; ++i) many += "a:\r\n";
  for (int i = 0; i < 3000; ++i) many += "b\r\n";
  many += "\r\n";
  THttpRequest request(0, 0);
  ASSERT_EQ(ParseAll(request, many), hprDone);
  EXPECT_EQ(request.Header().Fields().size(), 3000u);
}

TEST(HttpResponseTest, AddsDefaultFieldsInOrder) {
  THttpRequest request(0, 0);
  ASSERT_EQ(ParseAll(request, "GET / HTTP/1.1\r\n\r\n"), hprDone);
  THttpResponse response;
  response.SetStatusCode(404);
  EXPECT_EQ(response.Build(request, "Not Found"),
            "HTTP/1.1 404 Not Found\r\nContent-Type: text/html;charset=utf-8\r\n"
            "Connection: keep-alive\r\nContent-Length: 9\r\nServer: GateHttpServer/2.0\r\n\r\n"
            "Not Found");
  THttpRequest old(0, 0);
  ASSERT_EQ(ParseAll(old, "GET /\r\n\r\n"), hprDone);
  THttpResponse reply;
  reply.SetStatusCode(400);
  reply.Header().Set("Server", "other");
  EXPECT_EQ(reply.Build(old, ""),
            "HTTP/1.0 400 Bad Request\r\nServer: other\r\nContent-Type: text/html;charset=utf-8\r\n"
            "Connection: close\r\nContent-Length: 0\r\n\r\n");
}

TEST(NetDiagLogTest, LineFormat) {
  std::string line = TNetDiagLog::FormatLine("a\r\nb\rc");
  // "HH:NN:SS:ZZZ " + text with CR LF pairs as ";" + CR LF
  ASSERT_EQ(line.size(), 13u + 5u + 2u) << line;
  for (size_t i : {2u, 5u, 8u}) EXPECT_EQ(line[i], ':') << line;
  EXPECT_EQ(line[12], ' ');
  EXPECT_EQ(line.substr(13), "a;b\rc\r\n");
  EXPECT_EQ(TNetDiagLog::SystemErrorText(98).rfind("System Error.  Code: 98(0062), ", 0), 0u);
  EXPECT_EQ(TNetDiagLog::SystemErrorText(10054).rfind("System Error.  Code: 10054(2746), ", 0), 0u);
  // Hexadecimal digits above 9 are capitals.
  EXPECT_EQ(TNetDiagLog::SystemErrorText(44).rfind("System Error.  Code: 44(002C), ", 0), 0u);
  EXPECT_EQ(TNetDiagLog::SystemErrorText(11002).rfind("System Error.  Code: 11002(2AFA), ", 0), 0u);
}

}  // namespace
}  // namespace gw
