// The metrics' pure parts: the handshake histogram's buckets follow the client time-out,
// and a certificate's expiry text becomes a Unix timestamp.
#include "core/GateWayMetrics.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/MetricsWriter.h"

namespace gw {
namespace {

TEST(GateWayMetricsTest, HandshakeBucketsReachTheClientTimeOut) {
  struct TCase {
    int32_t TimeOutMs;
    std::vector<double> Tail;  // the bounds after the fixed ones up to 1 s
  };
  const TCase cases[] = {
      {7000, {2.5, 5.0, 7.0}},
      {5000, {2.5, 5.0}},  // a time-out on a step is not repeated
      {0, {2.5, 5.0}},     // no time-out: the setting's default (5000 ms)
      {500, {}},           // below a second: the fixed bounds already reach it
      {90000, {2.5, 5.0, 10.0, 30.0, 60.0, 90.0}},
  };
  for (const TCase& c : cases) {
    std::vector<double> expected(TMetricsHistogram::kBounds.begin(),
                                 TMetricsHistogram::kBounds.end());
    expected.insert(expected.end(), c.Tail.begin(), c.Tail.end());
    EXPECT_EQ(TGateWayMetrics::HandshakeBuckets(c.TimeOutMs), expected) << c.TimeOutMs;
  }
}

TEST(GateWayMetricsTest, ExpiryTextToEpochSeconds) {
  const std::pair<std::string, double> cases[] = {
      {"1970-01-01 00:00:00 UTC", 0},          {"2027-03-01 12:00:00 UTC", 1803902400},
      {"2024-02-29 23:59:59 UTC", 1709251199}, {"unknown", -1},
      {"2027-02-30 00:00:00 UTC", -1},         {"2027-03-01 12:00:00 CET", -1},
  };
  for (const auto& [text, seconds] : cases) {
    EXPECT_EQ(TGateWayMetrics::UtcTextToEpochSeconds(text), seconds) << text;
  }
}

}  // namespace
}  // namespace gw
