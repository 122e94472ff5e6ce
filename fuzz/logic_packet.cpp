// The logic link's packet framer over a stream cut again and again, as the link does: every
// packet it reports lies inside the input and is at least a header long, a bad length stops
// the stream, and cutting the same bytes fed in two parts finds the same packets.
#include <vector>

#include "FuzzCheck.h"
#include "protocol/LogicPacketFramer.h"

namespace {

std::vector<int32_t> CutAll(const uint8_t* data, int64_t size, bool& bad) {
  std::vector<int32_t> sizes;
  int64_t pos = 0;
  bad = false;
  for (;;) {
    const gw::TLogicPacketCut cut = gw::CutLogicPacket(data + pos, size - pos);
    if (cut.Status == gw::TLogicCut::lcNeedMore) break;
    if (cut.Status == gw::TLogicCut::lcBadLength) {
      bad = true;
      FUZZ_CHECK(cut.Header.nLen < 0 || cut.Header.nLen > gw::kMaxServerPacketLen);
      break;
    }
    FUZZ_CHECK(cut.Size >= gw::kServerMessageHeaderSize);
    FUZZ_CHECK(cut.Size <= size - pos);
    FUZZ_CHECK(cut.Size == gw::kServerMessageHeaderSize + cut.Header.nLen);
    sizes.push_back(cut.Size);
    pos += cut.Size;
  }
  return sizes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bool bad = false;
  const std::vector<int32_t> whole = CutAll(data, static_cast<int64_t>(size), bad);
  // A prefix of the stream yields a prefix of the packets (what arrives later never changes
  // where the earlier packets end).
  const int64_t half = static_cast<int64_t>(size / 2);
  bool badHalf = false;
  const std::vector<int32_t> first = CutAll(data, half, badHalf);
  FUZZ_CHECK(first.size() <= whole.size());
  for (size_t i = 0; i < first.size(); ++i) FUZZ_CHECK(first[i] == whole[i]);
  if (badHalf) FUZZ_CHECK(bad && first.size() == whole.size());
  return 0;
}
