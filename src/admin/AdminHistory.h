// TAdminHistory: what the web console's charts show, kept in the gateway so a page opened
// now sees the last kSpanSeconds at once: one sample of the sessions and of the running
// counters (client messages each way, refusals by reason) every kIntervalSeconds, in a ring
// of kSamples. Rates are told from two neighbouring samples when the answer is written.
//
// Thread safety: every operation is safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

namespace gw {

class TJsonWriter;

class TAdminHistory {
 public:
  static constexpr int kIntervalSeconds = 5;
  static constexpr int kSpanSeconds = 15 * 60;
  static constexpr size_t kSamples = kSpanSeconds / kIntervalSeconds;
  // The refusal reasons a sample counts, in the order of TSample::Refused.
  static constexpr std::array<std::string_view, 4> kRefusalReasons = {"blocked", "over_limit",
                                                                      "flood", "time_out"};

  struct TSample {
    double Time = 0;  // seconds since the Unix epoch
    int64_t Sessions = 0;
    uint64_t MessagesIn = 0;  // running totals
    uint64_t MessagesOut = 0;
    std::array<uint64_t, kRefusalReasons.size()> Refused{};
  };

  // Whether a new sample is due at `NowMs` (a monotonic clock).
  bool Due(uint64_t NowMs) const;
  void Add(const TSample& Sample, uint64_t NowMs);
  // {"interval":5,"time":[...],"sessions":[...],"messages_in_per_s":[...],
  //  "messages_out_per_s":[...],"refused_per_s":{"blocked":[...],...}}: one point per sample
  // after the first (rates need two).
  void Write(TJsonWriter& Writer) const;
  size_t Size() const;

 private:
  mutable std::mutex FLock;  // guards the rest
  std::deque<TSample> FSamples;
  uint64_t FLastMs = 0;
  bool FAny = false;
};

}  // namespace gw
