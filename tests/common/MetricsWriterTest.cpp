// The text exposition a Prometheus server scrapes: exact lines for families, labels
// with characters that need escaping, and a histogram's cumulative buckets.
#include <gtest/gtest.h>

#include <set>

#include "common/MetricsWriter.h"
#include "common/PeerLimits.h"

namespace gw {
namespace {

TEST(MetricsWriterTest, FamiliesSamplesAndEscapedLabels) {
  TMetricsWriter w;
  w.Family("gateway_sessions_by_step", "gauge", "Live client sessions by step.\nSecond line");
  w.Sample("gateway_sessions_by_step", 3, {{"step", "login"}});
  w.Sample("gateway_sessions_by_step", 0.25, {{"step", "a\"b\\c\nd"}, {"x", "y"}});
  w.Family("gateway_up", "gauge", "Up.");
  w.Sample("gateway_up", 1);
  EXPECT_EQ(w.Text(),
            "# HELP gateway_sessions_by_step Live client sessions by step.\\nSecond line\n"
            "# TYPE gateway_sessions_by_step gauge\n"
            "gateway_sessions_by_step{step=\"login\"} 3\n"
            "gateway_sessions_by_step{step=\"a\\\"b\\\\c\\nd\",x=\"y\"} 0.25\n"
            "# HELP gateway_up Up.\n"
            "# TYPE gateway_up gauge\n"
            "gateway_up 1\n");
}

TEST(MetricsWriterTest, HistogramBucketsAreCumulative) {
  TMetricsHistogram h;
  for (double s : {5e-6, 3e-5, 3e-5, 0.5, 7.0}) h.Observe(s);
  TMetricsWriter w;
  w.Histogram("gateway_handshake_seconds", h);
  const std::string& t = w.Text();
  EXPECT_NE(t.find("gateway_handshake_seconds_bucket{le=\"1e-05\"} 1\n"), std::string::npos) << t;
  EXPECT_NE(t.find("gateway_handshake_seconds_bucket{le=\"5e-05\"} 3\n"), std::string::npos) << t;
  EXPECT_NE(t.find("gateway_handshake_seconds_bucket{le=\"1\"} 4\n"), std::string::npos) << t;
  EXPECT_NE(t.find("gateway_handshake_seconds_bucket{le=\"+Inf\"} 5\n"), std::string::npos) << t;
  EXPECT_NE(t.find("gateway_handshake_seconds_count 5\n"), std::string::npos) << t;
  EXPECT_NE(t.find("gateway_handshake_seconds_sum 7.500065"), std::string::npos) << t;
}

TEST(PeerLimitsTest, EveryBreachHasAUniqueNameAndCounts) {
  std::set<std::string_view> names;
  for (size_t i = 0; i < kLimitBreachCount; ++i) {
    const auto breach = static_cast<TLimitBreach>(i);
    const std::string_view name = LimitBreachName(breach);
    EXPECT_FALSE(name.empty()) << i;
    EXPECT_TRUE(names.insert(name).second) << name;
    const uint64_t before = LimitBreaches(breach);
    CountLimitBreach(breach);
    EXPECT_EQ(LimitBreaches(breach), before + 1) << name;
  }
}

}  // namespace
}  // namespace gw
