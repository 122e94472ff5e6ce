#include "net/ProxyHeaderStage.h"

namespace gw {

TProxyHeaderStage::TResult TProxyHeaderStage::Feed(std::span<const uint8_t> bytes,
                                                   std::span<const uint8_t>& rest) {
  rest = {};
  // Mostly the whole header comes in the first read: it is parsed where it lies.
  const size_t before = FBuffer.size();
  std::span<const uint8_t> view = bytes;
  if (before > 0) {
    FBuffer.insert(FBuffer.end(), bytes.begin(), bytes.end());
    view = FBuffer;
  }
  const TProxyParseResult parsed = ParseProxyHeader(view, FHeader);
  switch (parsed) {
    case pprNeedMore:
      if (before == 0) FBuffer.assign(bytes.begin(), bytes.end());
      return prsWaiting;
    case pprInvalid:
      return prsInvalid;
    case pprProxy:
    case pprLocal:
    case pprUnknown:
      break;
  }
  // The earlier reads were an incomplete header, so it ends inside this read.
  if (FHeader.Length < before || FHeader.Length > view.size()) return prsInvalid;
  rest = bytes.subspan(FHeader.Length - before);
  FBuffer = {};
  return parsed == pprLocal ? prsLocal : parsed == pprUnknown ? prsUnknown : prsRelayed;
}

}  // namespace gw
