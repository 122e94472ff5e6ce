#include "logging/TracedError.h"

#include <execinfo.h>

#include <cstdlib>
#include <memory>

namespace gw {

namespace {
constexpr int kMaxFrames = 48;
}  // namespace

ETracedError::ETracedError(const std::string& Message) : std::runtime_error(Message) {
  void* frames[kMaxFrames];
  const int count = backtrace(frames, kMaxFrames);
  // Frame 0 is this constructor.
  if (count > 1) FFrames.assign(frames + 1, frames + count);
}

std::vector<std::string> ETracedError::StackLines() const {
  std::vector<std::string> lines;
  if (FFrames.empty()) return lines;
  std::unique_ptr<char*, decltype(&std::free)> symbols(
      backtrace_symbols(FFrames.data(), static_cast<int>(FFrames.size())), &std::free);
  if (!symbols) return lines;
  for (size_t i = 0; i < FFrames.size(); ++i) lines.emplace_back(symbols.get()[i]);
  return lines;
}

}  // namespace gw
