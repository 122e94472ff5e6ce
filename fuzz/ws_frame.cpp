// The WebSocket frame parser against a small model: the input is fed once whole and once in
// fuzzer-chosen pieces, and both feeds must raise the same events. Every message respects the
// size limit, every control payload fits a control frame, nothing is raised after a close, and
// the bytes delivered never exceed the bytes given (no byte comes from outside the input). The
// strict client-frame option raises the same events until it refuses a frame.
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "net/WsFrameParser.h"

namespace {

constexpr size_t kMaxMessage = 4096;

struct TRecorder final : gw::IWsFrameSink {
  std::vector<std::string> Events;
  size_t Delivered = 0;
  bool Closed = false;

  bool OnWsMessage(gw::TWsRequestType type, const std::vector<uint8_t>& data) override {
    FUZZ_CHECK(!Closed);
    FUZZ_CHECK(type == gw::wsrtText || type == gw::wsrtBinary);
    FUZZ_CHECK(data.size() <= kMaxMessage);
    Delivered += data.size();
    Events.push_back(std::string(type == gw::wsrtText ? "T" : "B") +
                     std::string(data.begin(), data.end()));
    return true;
  }
  bool OnWsPing(const uint8_t* payload, size_t size) override {
    FUZZ_CHECK(!Closed);
    FUZZ_CHECK(size <= 125);
    Delivered += size;
    Events.push_back("P" + std::string(reinterpret_cast<const char*>(payload), size));
    return true;
  }
  void OnWsClose() override {
    FUZZ_CHECK(!Closed);
    Closed = true;
    Events.push_back("C");
  }
};

// Feeds `stream` in pieces of `piece` bytes (0: whole); returns the last result.
gw::TWsParseResult Feed(const std::string& stream, uint8_t piece, TRecorder& sink,
                        gw::TWsClientFrames frames = gw::kDefaultClientFrames) {
  gw::TWsFrameParser parser(kMaxMessage, frames);
  gw::TWsParseResult r = gw::wprOk;
  for (size_t pos = 0; pos < stream.size();) {
    size_t n = piece == 0 ? stream.size() - pos : std::min<size_t>(piece, stream.size() - pos);
    std::vector<uint8_t> chunk(stream.begin() + static_cast<long>(pos),
                               stream.begin() + static_cast<long>(pos + n));
    r = parser.Feed(chunk.data(), chunk.size(), sink);
    FUZZ_CHECK(parser.PendingMessageSize() <= kMaxMessage);
    pos += n;
    // Only what arrived is held, never what a header announced.
    FUZZ_CHECK(parser.PendingMessageCapacity() <= 2 * pos);
    if (r == gw::wprTooBig || r == gw::wprProtocolError) break;  // the connection ends here
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  gw::fuzz::TFuzzInput in(data, size);
  uint8_t piece = in.Byte();
  std::string stream(in.Rest());
  TRecorder whole, pieces;
  gw::TWsParseResult a = Feed(stream, 0, whole);
  gw::TWsParseResult b = Feed(stream, piece, pieces);
  FUZZ_CHECK(whole.Delivered <= stream.size());
  FUZZ_CHECK(whole.Events == pieces.Events);
  FUZZ_CHECK((a == gw::wprTooBig || a == gw::wprProtocolError) ==
             (b == gw::wprTooBig || b == gw::wprProtocolError));
  // Strictly, the parser refuses what the default forgives and nothing else: it raises the
  // same events up to the first frame it refuses, then stops.
  TRecorder strict;
  gw::TWsParseResult c = Feed(stream, piece, strict, gw::TWsClientFrames::wcfStrict);
  FUZZ_CHECK(strict.Events.size() <= whole.Events.size());
  for (size_t i = 0; i < strict.Events.size(); ++i) FUZZ_CHECK(strict.Events[i] == whole.Events[i]);
  if (c != gw::wprProtocolError) FUZZ_CHECK(strict.Events == whole.Events && c == b);
  return 0;
}
