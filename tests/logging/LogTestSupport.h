// Helpers for the logger tests: a private temporary folder, a settable clock
// and file reading.
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>

#include "logging/LogFormat.h"

namespace gw {

class TTempFolder {
 public:
  TTempFolder() {
    static std::atomic<int> counter{0};
    FPath = std::filesystem::temp_directory_path() /
            ("gw_log_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    std::filesystem::remove_all(FPath);
    std::filesystem::create_directories(FPath);
  }
  ~TTempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
  }
  std::string Path() const { return FPath.string(); }
  // Joined with '/', as the gateway joins its paths (Windows takes it as well as '\\').
  std::string File(const std::string& name) const { return Path() + "/" + name; }

 private:
  std::filesystem::path FPath;
};

// A clock the test sets; safe to read from the writer thread.
class TTestClock {
 public:
  explicit TTestClock(TLogTime now, uint32_t tick = 12345) : FState(std::make_shared<State>()) {
    FState->Now = now;
    FState->Tick = tick;
  }
  void Set(TLogTime now) {
    std::lock_guard<std::mutex> guard(FState->Lock);
    FState->Now = now;
  }
  void SetTick(uint32_t tick) {
    std::lock_guard<std::mutex> guard(FState->Lock);
    FState->Tick = tick;
  }
  TLogClock Clock() const {
    auto state = FState;
    return TLogClock{[state] {
                       std::lock_guard<std::mutex> guard(state->Lock);
                       return state->Now;
                     },
                     [state] {
                       std::lock_guard<std::mutex> guard(state->Lock);
                       return state->Tick;
                     }};
  }

 private:
  struct State {
    std::mutex Lock;
    TLogTime Now;
    uint32_t Tick = 0;
  };
  std::shared_ptr<State> FState;
};

inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// UTF-16LE bytes of ASCII text.
inline std::string AsciiUtf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

}  // namespace gw
