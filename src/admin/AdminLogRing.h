// TAdminLogRing: the recent log lines for the admin API's log tail (GET /api/log?after=N):
// the last limits::kAdminLogRingLines lines as the log view shows them, each with its level
// and a sequence number that only grows, so a reader asks for what came after the last
// line it saw and learns when lines it never saw have left the ring. The process's log feed
// adds every line (one short lock, no disk).
//
// Thread safety: every operation is safe from any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "logging/LogLevel.h"

namespace gw {

class TAdminLogRing {
 public:
  struct TLine {
    uint64_t Seq = 0;  // from 1
    TLogLevel Level = llMessage;
    std::string Text;
  };

  explicit TAdminLogRing(size_t Capacity);
  // The ring the process's log feed fills.
  static TAdminLogRing& Instance();

  void Add(const std::string& Text, TLogLevel Level);
  // The lines after `After` (oldest first), at most `Limit` of the newest of them.
  std::vector<TLine> Since(uint64_t After, size_t Limit) const;
  // The sequence number of the newest line (0: none yet).
  uint64_t LastSeq() const;

 private:
  const size_t FCapacity;
  mutable std::mutex FLock;  // guards the rest
  std::deque<TLine> FLines;
  uint64_t FNextSeq = 1;
};

}  // namespace gw
