// A request body is kept only under a size bound: joined from chunks, refused beyond it.
#include <gtest/gtest.h>

#include <string>

#include "net/HttpRequest.h"

namespace gw {
namespace {

TEST(HttpRequestBody, KeptUnderABoundJoinedFromChunksAndRefusedBeyondIt) {
  struct TCase {
    const char* Name;
    uint64_t Bound;
    std::string Bytes;
    THttpParseResult Result;
    std::string Body;
  };
  const std::string head = "POST /api/blocklist HTTP/1.1\r\nHost: x\r\n";
  const TCase cases[] = {
      {"length", 64, head + "Content-Length: 5\r\n\r\nhello", hprDone, "hello"},
      {"chunks", 64, head + "Transfer-Encoding: chunked\r\n\r\n3\r\nhel\r\n2\r\nlo\r\n0\r\n\r\n",
       hprDone, "hello"},
      {"no bound", 0, head + "Content-Length: 5\r\n\r\nhello", hprDone, ""},
      {"length over", 4, head + "Content-Length: 5\r\n\r\nhello", hprPostDataTooLarge, ""},
      {"chunks over", 4,
       head + "Transfer-Encoding: chunked\r\n\r\n3\r\nhel\r\n2\r\nlo\r\n0\r\n\r\n",
       hprPostDataTooLarge, ""},
  };
  for (const TCase& c : cases) {
    THttpRequest request(16384, c.Bound);
    THttpParseResult result = hprNeedMore;
    // Byte by byte: a body split over any number of reads is kept whole.
    for (size_t i = 0; i < c.Bytes.size() && result == hprNeedMore; ++i) {
      size_t used = 0;
      result = request.Parse(reinterpret_cast<const uint8_t*>(c.Bytes.data() + i), 1, used);
    }
    EXPECT_EQ(result, c.Result) << c.Name;
    if (result == hprDone) {
      EXPECT_EQ(request.Body(), c.Body) << c.Name;
    }
  }
}

}  // namespace
}  // namespace gw
