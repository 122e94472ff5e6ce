// Event lines of the simulators on standard output, one line per event, with a local time stamp
// and the name of the simulator that wrote it. Quiet mode (load runs) keeps only the lines
// marked as always shown: start-up, failures and summaries.
//
// Safe to call from any thread: lines are written whole under one lock.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace gw {

class TSimLog {
 public:
  // Out defaults to standard output; tests pass a null stream to keep their output clean.
  explicit TSimLog(bool Quiet = false, FILE* Out = stdout);

  // An event worth a line in a demonstration run; dropped in quiet mode.
  void Event(std::string_view Who, std::string_view Text);
  // Start-up, failures and summaries: shown in quiet mode too.
  void Always(std::string_view Who, std::string_view Text);

  bool Quiet() const { return FQuiet; }
  uint64_t LineCount() const { return FLineCount.load(std::memory_order_relaxed); }

 private:
  void Write(std::string_view Who, std::string_view Text);

  bool FQuiet;
  FILE* FOut;
  std::mutex FOutLock;  // guards writes to FOut
  std::atomic<uint64_t> FLineCount{0};
};

}  // namespace gw
