#include "links/LoginFrameCutter.h"

#include <cstring>

namespace gw {

TLoginFrameCut CutLoginFrame(const char* Data, int64_t Size) {
  TLoginFrameCut cut;
  if (Data == nullptr || Size <= 0) return cut;
  const void* end = std::memchr(Data, '$', static_cast<size_t>(Size));
  if (end == nullptr) {
    if (Size > kMaxLoginFrameSize) cut.Status = TLoginCut::lcTooLong;
    return cut;
  }
  cut.Status = TLoginCut::lcFrame;
  cut.Size = static_cast<const char*>(end) - Data + 1;
  return cut;
}

}  // namespace gw
