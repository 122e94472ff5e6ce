// A histogram of round-trip times in microseconds with about 1.6% relative resolution (exact up
// to 128 us, then 64 buckets per power of two up to 2^40 us), cheap to record into and to merge.
//
// Not thread-safe: each bot thread records into its own histogram and the reporter merges
// copies taken under that thread's lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace gw {

class TLatencyHistogram {
 public:
  void Record(uint64_t Micros);
  void Merge(const TLatencyHistogram& Other);
  void Clear();
  // The values recorded since Earlier, a copy of this histogram taken before (Max stays the
  // overall maximum).
  TLatencyHistogram Since(const TLatencyHistogram& Earlier) const;

  uint64_t Count() const { return FCount; }
  uint64_t Max() const { return FMax; }
  // The value below which the fraction Q (0..1) of the recorded values lie, as the upper bound
  // of the bucket holding that rank; 0 when nothing was recorded.
  uint64_t Percentile(double Q) const;

  static size_t BucketOf(uint64_t Micros);
  static uint64_t BucketUpperBound(size_t Bucket);

 private:
  static constexpr size_t kLinearBuckets = 128;
  static constexpr size_t kSubBuckets = 64;
  static constexpr size_t kMaxExponent = 40;
  static constexpr size_t kBucketCount = kLinearBuckets + (kMaxExponent - 7 + 1) * kSubBuckets;

  std::array<uint64_t, kBucketCount> FBuckets{};
  uint64_t FCount = 0;
  uint64_t FMax = 0;
};

}  // namespace gw
