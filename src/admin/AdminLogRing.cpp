#include "admin/AdminLogRing.h"

#include "common/PeerLimits.h"

namespace gw {

TAdminLogRing::TAdminLogRing(size_t Capacity) : FCapacity(Capacity == 0 ? 1 : Capacity) {}

TAdminLogRing& TAdminLogRing::Instance() {
  static TAdminLogRing ring(limits::kAdminLogRingLines);
  return ring;
}

void TAdminLogRing::Add(const std::string& Text, TLogLevel Level) {
  // A client's long text in a line is cut (the log file keeps it whole).
  std::string text = Text.size() > limits::kMaxAdminLogLine
                         ? Text.substr(0, limits::kMaxAdminLogLine) + "…"
                         : Text;
  std::lock_guard<std::mutex> guard(FLock);
  FLines.push_back({FNextSeq++, Level, std::move(text)});
  while (FLines.size() > FCapacity) FLines.pop_front();
}

std::vector<TAdminLogRing::TLine> TAdminLogRing::Since(uint64_t After, size_t Limit) const {
  std::lock_guard<std::mutex> guard(FLock);
  std::vector<TLine> lines;
  if (FLines.empty() || Limit == 0) return lines;
  const uint64_t first = FLines.front().Seq;
  size_t from = After < first ? 0 : static_cast<size_t>(After - first + 1);
  if (from >= FLines.size()) return lines;
  if (FLines.size() - from > Limit) from = FLines.size() - Limit;
  lines.assign(FLines.begin() + static_cast<std::ptrdiff_t>(from), FLines.end());
  return lines;
}

uint64_t TAdminLogRing::LastSeq() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FNextSeq - 1;
}

}  // namespace gw
