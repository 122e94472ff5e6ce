// The login link's frame cutter and frame reader over a stream cut again and again, as the
// link does: every frame ends at its first "$" and lies inside the input, the reader's text
// lies inside its frame, data frames name a handle other than 0, and nothing runs past the
// size bound.
#include <string_view>

#include "FuzzCheck.h"
#include "protocol/LoginFrameCutter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  int64_t pos = 0;
  const int64_t total = static_cast<int64_t>(size);
  for (;;) {
    const gw::TLoginFrameCut cut = gw::CutLoginFrame(text + pos, total - pos);
    if (cut.Status != gw::TLoginCut::lcFrame) {
      if (cut.Status == gw::TLoginCut::lcTooLong) FUZZ_CHECK(total - pos > gw::kMaxLoginFrameSize);
      break;
    }
    FUZZ_CHECK(cut.Size >= 1 && cut.Size <= total - pos);
    const std::string_view frame(text + pos, static_cast<size_t>(cut.Size));
    FUZZ_CHECK(frame.back() == '$' && frame.find('$') == frame.size() - 1);
    const gw::TLoginFrame read = gw::ReadLoginFrame(frame);
    if (read.Kind == gw::TLoginFrameKind::lfData) {
      FUZZ_CHECK(read.SessionHandle != 0);
      FUZZ_CHECK(read.Text.empty() ||
                 (read.Text.data() >= frame.data() &&
                  read.Text.data() + read.Text.size() <= frame.data() + frame.size()));
    }
    pos += cut.Size;
  }
  return 0;
}
