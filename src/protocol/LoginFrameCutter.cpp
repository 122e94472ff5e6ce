#include "protocol/LoginFrameCutter.h"

#include <charconv>
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

uint32_t ParseLoginSessionHandle(std::string_view Text) {
  if (!Text.empty() && Text.front() == '+') Text.remove_prefix(1);
  int32_t value = 0;
  auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), value);
  if (ec != std::errc() || end != Text.data() + Text.size() || Text.empty()) return 0;
  return static_cast<uint32_t>(value);
}

TLoginFrame ReadLoginFrame(std::string_view Frame) {
  TLoginFrame frame;
  if (Frame.size() < 2) return frame;
  if (Frame.front() != '%') {
    frame.Kind = TLoginFrameKind::lfNotFrame;
    return frame;
  }
  const std::string_view body = Frame.substr(1, Frame.size() - 2);
  if (body.empty()) {
    frame.Kind = TLoginFrameKind::lfEmpty;
    return frame;
  }
  if (body.front() == '+') {
    frame.Kind = TLoginFrameKind::lfControl;
    if (body.size() >= 2) {
      frame.Command = body[1];
      frame.SessionHandle = ParseLoginSessionHandle(body.substr(2));
    }
    return frame;
  }
  // "<handle>/<message part>", leading "/" skipped.
  size_t handleStart = body.find_first_not_of('/');
  if (handleStart == std::string_view::npos) handleStart = body.size();
  const size_t slash = body.find('/', handleStart);
  const std::string_view handleText = body.substr(
      handleStart, slash == std::string_view::npos ? std::string_view::npos : slash - handleStart);
  const std::string_view part =
      slash == std::string_view::npos ? std::string_view() : body.substr(slash + 1);
  frame.SessionHandle = ParseLoginSessionHandle(handleText);
  if (frame.SessionHandle == 0) {
    frame.Kind = TLoginFrameKind::lfBadHandle;
    return frame;
  }
  frame.Kind = TLoginFrameKind::lfData;
  // The login server puts one character on either side of the six-bit text.
  frame.Text = part.size() >= 2 ? part.substr(1, part.size() - 2) : std::string_view();
  return frame;
}

}  // namespace gw
