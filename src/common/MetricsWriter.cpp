#include "common/MetricsWriter.h"

#include <cmath>
#include <cstdio>

namespace gw {

namespace {

std::string FormatValue(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[32];
  // Whole numbers (counters, byte counts) exactly; fractions with enough digits.
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    std::snprintf(text, sizeof text, "%.0f", value);
  } else {
    std::snprintf(text, sizeof text, "%.9g", value);
  }
  return text;
}

// Help text escapes backslash and line feed; label values also the double quote.
std::string Escape(std::string_view text, bool quote) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' && quote) {
      out += "\\\"";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

TMetricsHistogram::TMetricsHistogram()
    : TMetricsHistogram(std::vector<double>(kBounds.begin(), kBounds.end())) {}

TMetricsHistogram::TMetricsHistogram(std::vector<double> Bounds)
    : FBounds(std::move(Bounds)),
      FBuckets(std::make_unique<std::atomic<uint64_t>[]>(FBounds.size())) {}

void TMetricsHistogram::Observe(double seconds) {
  size_t i = 0;
  while (i < FBounds.size() && seconds > FBounds[i]) ++i;
  if (i < FBounds.size()) FBuckets[i].fetch_add(1, std::memory_order_relaxed);
  FCount.fetch_add(1, std::memory_order_relaxed);
  const double nanoseconds = seconds > 0 ? seconds * 1e9 : 0;
  FSumNanoseconds.fetch_add(static_cast<uint64_t>(nanoseconds), std::memory_order_relaxed);
}

void TMetricsWriter::Family(std::string_view name, std::string_view type, std::string_view help) {
  FText.append("# HELP ").append(name).append(" ").append(Escape(help, false)).append("\n");
  FText.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void TMetricsWriter::AppendLabels(TMetricLabels labels, std::string_view extraName,
                                  std::string_view extraValue) {
  if (labels.size() == 0 && extraName.empty()) return;
  FText += '{';
  bool first = true;
  for (const auto& [name, value] : labels) {
    if (!first) FText += ',';
    first = false;
    FText.append(name).append("=\"").append(Escape(value, true)).append("\"");
  }
  if (!extraName.empty()) {
    if (!first) FText += ',';
    FText.append(extraName).append("=\"").append(extraValue).append("\"");
  }
  FText += '}';
}

void TMetricsWriter::Sample(std::string_view name, double value, TMetricLabels labels) {
  FText.append(name);
  AppendLabels(labels);
  FText.append(" ").append(FormatValue(value)).append("\n");
}

void TMetricsWriter::Histogram(std::string_view name, const TMetricsHistogram& histogram) {
  // Read the count first: buckets observed after it may make the +Inf bucket exceed the
  // finite ones by a few, never fall below them.
  const uint64_t count = histogram.Count();
  uint64_t cumulative = 0;
  const std::string bucket = std::string(name) + "_bucket";
  for (size_t i = 0; i < histogram.FBounds.size(); ++i) {
    cumulative += histogram.FBuckets[i].load(std::memory_order_relaxed);
    FText.append(bucket);
    AppendLabels({}, "le", FormatValue(histogram.FBounds[i]));
    FText.append(" ")
        .append(FormatValue(static_cast<double>(std::min(cumulative, count))))
        .append("\n");
  }
  FText.append(bucket);
  AppendLabels({}, "le", "+Inf");
  FText.append(" ").append(FormatValue(static_cast<double>(count))).append("\n");
  Sample(std::string(name) + "_sum",
         static_cast<double>(histogram.FSumNanoseconds.load(std::memory_order_relaxed)) / 1e9);
  Sample(std::string(name) + "_count", static_cast<double>(count));
}

}  // namespace gw
