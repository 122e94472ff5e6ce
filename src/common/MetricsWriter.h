// Builds a Prometheus text exposition (format 0.0.4): one HELP and TYPE line per
// family, then its samples. Not thread-safe: one writer per scrape.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gw {

using TMetricLabels = std::initializer_list<std::pair<std::string_view, std::string_view>>;

// A histogram of durations in seconds with buckets fixed when it is made; Observe is safe
// from any thread (relaxed atomics), a scrape reads a near-consistent picture.
class TMetricsHistogram {
 public:
  // Upper bounds in seconds, from 10 µs to 1 s.
  static constexpr std::array<double, 11> kBounds = {1e-5, 2.5e-5, 5e-5, 1e-4, 2.5e-4, 5e-4,
                                                     1e-3, 2.5e-3, 1e-2, 1e-1, 1.0};
  // `Bounds`: ascending upper bounds in seconds (kBounds when not given).
  TMetricsHistogram();
  explicit TMetricsHistogram(std::vector<double> Bounds);
  void Observe(double seconds);
  uint64_t Count() const { return FCount.load(std::memory_order_relaxed); }
  const std::vector<double>& Bounds() const { return FBounds; }

 private:
  friend class TMetricsWriter;
  const std::vector<double> FBounds;
  std::unique_ptr<std::atomic<uint64_t>[]> FBuckets;  // one per bound, not cumulative
  std::atomic<uint64_t> FCount{0};
  std::atomic<uint64_t> FSumNanoseconds{0};
};

class TMetricsWriter {
 public:
  // Starts a family; every sample after it until the next Family belongs to it.
  // `type` is "counter", "gauge" or "histogram".
  void Family(std::string_view name, std::string_view type, std::string_view help);
  void Sample(std::string_view name, double value, TMetricLabels labels = {});
  void Histogram(std::string_view name, const TMetricsHistogram& histogram);

  const std::string& Text() const { return FText; }

 private:
  void AppendLabels(TMetricLabels labels, std::string_view extraName = {},
                    std::string_view extraValue = {});
  std::string FText;
};

}  // namespace gw
