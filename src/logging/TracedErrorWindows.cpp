#include "logging/TracedError.h"

#include <windows.h>

#include <cstdio>

namespace gw {

namespace {
constexpr ULONG kMaxFrames = 48;
}  // namespace

ETracedError::ETracedError(const std::string& Message) : std::runtime_error(Message) {
  void* frames[kMaxFrames];
  // Frame 0 (this constructor) left out.
  const USHORT count = ::RtlCaptureStackBackTrace(1, kMaxFrames, frames, nullptr);
  FFrames.assign(frames, frames + count);
}

std::vector<std::string> ETracedError::StackLines() const {
  // A statically linked program carries no export table to name functions by: each line
  // names the module and the offset in it, which the map file or a debugger resolves.
  std::vector<std::string> lines;
  for (void* frame : FFrames) {
    HMODULE module = nullptr;
    char line[MAX_PATH + 64];
    if (::GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCSTR>(frame), &module) &&
        module != nullptr) {
      char path[MAX_PATH];
      const DWORD n = ::GetModuleFileNameA(module, path, MAX_PATH);
      const char* name = path;
      for (DWORD i = 0; i < n; ++i) {
        if (path[i] == '\\' || path[i] == '/') name = path + i + 1;
      }
      std::snprintf(line, sizeof line, "%s+0x%llx [%p]", n > 0 ? name : "?",
                    static_cast<unsigned long long>(static_cast<const char*>(frame) -
                                                    reinterpret_cast<const char*>(module)),
                    frame);
    } else {
      std::snprintf(line, sizeof line, "[%p]", frame);
    }
    lines.emplace_back(line);
  }
  return lines;
}

}  // namespace gw
