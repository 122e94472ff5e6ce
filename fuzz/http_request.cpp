// The HTTP request parser, fed one request stream in pieces of fuzzer-chosen sizes: it never
// reads past what it is given, never claims more bytes than it got, and a reply built for
// whatever it parsed has a status line of fixed text.
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "net/HttpRequest.h"
#include "net/HttpResponse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  gw::fuzz::TFuzzInput in(data, size);
  size_t maxHeader = in.Byte() % 2 == 0 ? 0 : 4096;
  uint64_t maxBody = in.Byte() % 2 == 0 ? 0 : 1024;
  uint8_t piece = in.Byte();
  std::string stream(in.Rest());
  gw::THttpRequest request(maxHeader, maxBody);
  size_t pos = 0;
  while (pos < stream.size()) {
    size_t n = piece == 0 ? stream.size() - pos : std::min<size_t>(piece, stream.size() - pos);
    // A copy of exactly this piece, so the address sanitizer sees any read beyond it.
    std::vector<uint8_t> chunk(stream.begin() + static_cast<long>(pos),
                               stream.begin() + static_cast<long>(pos + n));
    size_t consumed = 0;
    gw::THttpParseResult r =
        request.Parse(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size(), consumed);
    FUZZ_CHECK(consumed <= chunk.size());
    if (r == gw::hprNeedMore) {
      FUZZ_CHECK(consumed == chunk.size());
    } else if (r == gw::hprDone) {
      FUZZ_CHECK(request.Version() == "HTTP/1.0" || request.Version() == "HTTP/1.1");
      gw::THttpResponse response;
      response.SetStatusCode(404);
      std::string reply = response.Build(request, "Not Found");
      std::string line = reply.substr(0, reply.find("\r\n"));
      FUZZ_CHECK(line == "HTTP/1.0 404 Not Found" || line == "HTTP/1.1 404 Not Found");
      if (gw::HasToken(request.RequestConnection(), "close")) FUZZ_CHECK(!request.KeepAlive());
      if (consumed == 0) break;
    } else {
      break;  // refused: the connection would be answered 400 and ended
    }
    pos += consumed;
  }
  return 0;
}
