#include "LoginFrame.h"

#include <charconv>

#include "codec/EDcode.h"

namespace gw {

namespace {

// The decimal handle at the front of Text, and the rest after it. False when there is none or
// it does not fit 32 bits.
bool SplitHandle(std::string_view Text, uint32_t& Handle, std::string_view& Rest) {
  auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), Handle);
  if (ec != std::errc() || end == Text.data()) return false;
  Rest = Text.substr(static_cast<size_t>(end - Text.data()));
  return true;
}

}  // namespace

TLoginFrame ParseGatewayFrame(std::string_view Frame) {
  TLoginFrame f;
  if (Frame.size() < 3 || Frame.front() != '%' || Frame.back() != '$') return f;
  std::string_view body = Frame.substr(1, Frame.size() - 2);
  if (body == "--") {
    f.Kind = TLoginFrameKind::lfKeepAlive;
    return f;
  }
  char kind = body[0];
  std::string_view rest;
  if (!SplitHandle(body.substr(1), f.Handle, rest)) return f;
  switch (kind) {
    case 'N': {
      if (rest.empty() || rest[0] != '/') return f;
      rest.remove_prefix(1);
      size_t slash = rest.find('/');
      if (slash == std::string_view::npos) return f;
      f.RemoteAddr = std::string(rest.substr(0, slash));
      f.LocalAddr = std::string(rest.substr(slash + 1));
      f.Kind = TLoginFrameKind::lfOpen;
      return f;
    }
    case 'D':
      if (rest.empty() || rest[0] != '/') return f;
      f.Data = std::string(rest.substr(1));
      f.Kind = TLoginFrameKind::lfData;
      return f;
    case 'C':
      if (!rest.empty()) return f;
      f.Kind = TLoginFrameKind::lfClose;
      return f;
    default:
      return f;
  }
}

size_t CutLoginFrames(std::string_view Data, const std::function<void(std::string_view)>& OnFrame) {
  size_t start = 0;
  while (start < Data.size()) {
    size_t end = Data.find('$', start);
    if (end == std::string_view::npos) break;
    OnFrame(Data.substr(start, end - start + 1));
    start = end + 1;
  }
  return start;
}

std::string MakeLoginDataFrame(uint32_t Handle, std::string_view Message) {
  std::string frame(1, '%');
  frame += std::to_string(Handle);
  frame += "/#";
  frame += EncodeSixBit(Message.data(), static_cast<int32_t>(Message.size()));
  frame += "!$";
  return frame;
}

std::string MakeLoginControlFrame(char Command, uint32_t Handle) {
  std::string frame = "%+";
  frame.push_back(Command);
  if (Handle != 0) frame += std::to_string(Handle);
  frame.push_back('$');
  return frame;
}

}  // namespace gw
