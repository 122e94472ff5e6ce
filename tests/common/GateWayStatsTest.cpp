// The one list of counters and gauges: what a scrape shows of a set (stored series, series
// shown twice, the process's breaches, families left out when their reader has nothing), and
// the README's tables, which must be the ones the list makes.
#include "common/GateWayStats.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace gw {
namespace {

std::string Render(const TGateWayStats& Stats, const TGateWayStats::TReader& Reader = {}) {
  TMetricsWriter writer;
  Stats.Render(writer, Reader);
  return writer.Text();
}

TEST(GateWayStatsTest, ScrapeShowsWhatTheSetCounted) {
  TGateWayStats stats;
  TGateWayStats::Add(stats.ClientBytesIn, 1234);
  TGateWayStats::Add(stats.Flood, 3);
  TGateWayStats::Move(stats.SessionsGame, 2);
  TGateWayStats::Move(stats.SessionsToken, 1);
  TGateWayStats::Move(stats.SessionsToken, -1);
  stats.Count(TLimitBreach::lbAcceptNoDescriptor);
  stats.Count(TLimitBreach::lbWsProtocolError);
  stats.Count(TLimitBreach::lbWsProtocolError);
  const uint64_t processCuts = LimitBreaches(TLimitBreach::lbLoggedTextCut);
  CountLimitBreach(TLimitBreach::lbLoggedTextCut);  // the process's, shown by every set
  const std::string text = Render(stats);
  const std::string lines[] = {
      "# HELP gateway_client_bytes_received_total Payload bytes received from clients.\n"
      "# TYPE gateway_client_bytes_received_total counter\n"
      "gateway_client_bytes_received_total 1234\n",
      "gateway_sessions_by_step{step=\"token\"} 0\n"
      "gateway_sessions_by_step{step=\"login\"} 0\n"
      "gateway_sessions_by_step{step=\"game\"} 2\n",
      // A flood is a refusal and an attack: one counter, shown in both families.
      "gateway_refused_connections_total{reason=\"flood\"} 3\n",
      "gateway_attacks_total{cause=\"flood\"} 3\n",
      // A breach shown as a refusal too.
      "gateway_refused_connections_total{reason=\"no_descriptor\"} 1\n",
      "gateway_limit_breaches_total{limit=\"accept_no_descriptor\"} 1\n",
      "gateway_limit_breaches_total{limit=\"ws_protocol_error\"} 2\n",
      "gateway_limit_breaches_total{limit=\"logged_text_cut\"} " + std::to_string(processCuts + 1) +
          "\n",
  };
  for (const std::string& line : lines) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
  }
  // Another set counted nothing of this one's.
  TGateWayStats other;
  EXPECT_EQ(other.Breaches(TLimitBreach::lbWsProtocolError), 0u);
  EXPECT_EQ(stats.Breaches(TLimitBreach::lbLoggedTextCut), 0u);
  EXPECT_NE(Render(other).find("gateway_limit_breaches_total{limit=\"ws_protocol_error\"} 0\n"),
            std::string::npos);
}

TEST(GateWayStatsTest, ReadFamiliesShowTheirReaderSamplesOrNothing) {
  TGateWayStats stats;
  const std::string text = Render(stats, [](TStatRead Read, TStatSink& Sink) {
    if (Read == TStatRead::rdLogicLinkUp) Sink.Sample(1);
    if (Read == TStatRead::rdWorkerQueueDepth) {
      Sink.Sample(4, {{"worker", "0"}});
      Sink.Sample(0, {{"worker", "1"}});
    }
  });
  const struct {
    const char* Text;
    bool Shown;
  } cases[] = {
      {"# TYPE gateway_logic_link_up gauge\ngateway_logic_link_up 1\n", true},
      {"gateway_worker_queue_depth{worker=\"0\"} 4\ngateway_worker_queue_depth{worker=\"1\"} 0\n",
       true},
      {"gateway_login_link_up", false},  // its reader gave nothing: no HELP, no TYPE
      {"process_open_fds", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text.find(c.Text) != std::string::npos, c.Shown) << c.Text << "\nin:\n" << text;
  }
  // Every family that is shown has its HELP and TYPE once, before its samples.
  EXPECT_EQ(text.find("# HELP gateway_logic_link_up "),
            text.rfind("# HELP gateway_logic_link_up "));
}

TEST(GateWayStatsTest, ReadmeBlocksAreReplacedWithTheirMarkersIndentation) {
  const std::string readme =
      "intro\n"
      "  <!-- metrics-table -->\n"
      "  | old |\n"
      "  <!-- end metrics-table -->\n"
      "middle\n"
      "<!-- limits-table -->\n"
      "<!-- end limits-table -->\n"
      "end\n";
  const std::string updated = TGateWayStats::UpdateReadme(readme);
  ASSERT_FALSE(updated.empty());
  EXPECT_EQ(updated.find("| old |"), std::string::npos);
  EXPECT_NE(updated.find("  <!-- metrics-table -->\n  | metric | type | labels | meaning |\n"),
            std::string::npos);
  EXPECT_NE(updated.find("  | `gateway_sessions` | gauge |  | live client sessions |\n"
                         "  | `gateway_sessions_by_step` | gauge | `step`: `token`, `login`, "
                         "`game` |"),
            std::string::npos);
  EXPECT_NE(updated.find("|\n  <!-- end metrics-table -->\nmiddle\n<!-- limits-table -->\n"
                         "| `limit` | bound | when hit |\n"),
            std::string::npos);
  EXPECT_NE(updated.find("| `server_time_out` | setting: CheckServerTimeOutTime |"),
            std::string::npos);
  EXPECT_EQ(TGateWayStats::UpdateReadme(updated), updated);  // stable
  EXPECT_EQ(TGateWayStats::UpdateReadme("<!-- metrics-table -->\n<!-- end metrics-table -->\n"),
            "");  // the limits table's markers are missing
}

// Every bound says what sets it.
TEST(GateWayStatsTest, EveryBoundIsFixedOrASetting) {
  for (size_t i = 0; i < kLimitBreachCount; ++i) {
    const auto breach = static_cast<TLimitBreach>(i);
    const std::string_view bound = LimitBreachBound(breach);
    EXPECT_TRUE(bound.starts_with("fixed: ") || bound.starts_with("setting: "))
        << LimitBreachName(breach) << ": " << bound;
    EXPECT_FALSE(LimitBreachEffect(breach).empty()) << LimitBreachName(breach);
  }
}

TEST(GateWayStatsTest, ReadmeHoldsTheTablesTheListMakes) {
  std::ifstream in(GW_README_PATH, std::ios::binary);
  ASSERT_TRUE(in) << GW_README_PATH;
  std::ostringstream text;
  text << in.rdbuf();
  const std::string readme = text.str();
  const std::string updated = TGateWayStats::UpdateReadme(readme);
  ASSERT_FALSE(updated.empty()) << "README.md lacks the metrics-table or limits-table markers";
  EXPECT_TRUE(updated == readme)
      << "README.md's metric tables differ from the list in src/common/GateWayStats.h; "
         "regenerate them with: gatekit metrics-table --readme README.md";
}

}  // namespace
}  // namespace gw
