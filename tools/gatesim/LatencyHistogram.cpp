#include "LatencyHistogram.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace gw {

size_t TLatencyHistogram::BucketOf(uint64_t Micros) {
  if (Micros < kLinearBuckets) return static_cast<size_t>(Micros);
  size_t exponent = static_cast<size_t>(std::bit_width(Micros)) - 1;  // >= 7
  if (exponent > kMaxExponent) return kBucketCount - 1;
  size_t sub = static_cast<size_t>((Micros >> (exponent - 6)) & (kSubBuckets - 1));
  return kLinearBuckets + (exponent - 7) * kSubBuckets + sub;
}

uint64_t TLatencyHistogram::BucketUpperBound(size_t Bucket) {
  if (Bucket < kLinearBuckets) return Bucket;
  size_t exponent = (Bucket - kLinearBuckets) / kSubBuckets + 7;
  size_t sub = (Bucket - kLinearBuckets) % kSubBuckets;
  uint64_t base = (uint64_t{1} << exponent) | (static_cast<uint64_t>(sub) << (exponent - 6));
  return base + (uint64_t{1} << (exponent - 6)) - 1;
}

void TLatencyHistogram::Record(uint64_t Micros) {
  ++FBuckets[BucketOf(Micros)];
  ++FCount;
  FMax = std::max(FMax, Micros);
}

void TLatencyHistogram::Merge(const TLatencyHistogram& Other) {
  for (size_t i = 0; i < kBucketCount; ++i) FBuckets[i] += Other.FBuckets[i];
  FCount += Other.FCount;
  FMax = std::max(FMax, Other.FMax);
}

TLatencyHistogram TLatencyHistogram::Since(const TLatencyHistogram& Earlier) const {
  TLatencyHistogram d;
  for (size_t i = 0; i < kBucketCount; ++i) {
    d.FBuckets[i] = FBuckets[i] >= Earlier.FBuckets[i] ? FBuckets[i] - Earlier.FBuckets[i] : 0;
    d.FCount += d.FBuckets[i];
  }
  d.FMax = FMax;
  return d;
}

void TLatencyHistogram::Clear() { *this = TLatencyHistogram(); }

uint64_t TLatencyHistogram::Percentile(double Q) const {
  if (FCount == 0) return 0;
  Q = std::clamp(Q, 0.0, 1.0);
  uint64_t rank = static_cast<uint64_t>(std::ceil(Q * static_cast<double>(FCount)));
  rank = std::max<uint64_t>(rank, 1);
  uint64_t seen = 0;
  for (size_t i = 0; i < kBucketCount; ++i) {
    seen += FBuckets[i];
    if (seen >= rank) return std::min(BucketUpperBound(i), FMax);
  }
  return FMax;
}

}  // namespace gw
