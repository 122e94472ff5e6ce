#include "common/GateWayStats.h"

#include <vector>

namespace gw {

namespace {

struct TFamilyText {
  std::string_view Name, Type, Label, ReadmeLabels, Help, Meaning;
};

// Writes a family's HELP and TYPE lines before its first sample only, so that a family
// whose reader has nothing to show (no TLS, no descriptor table) is left out whole.
class TRenderSink final : public TStatSink {
 public:
  explicit TRenderSink(TMetricsWriter& Writer) : FWriter(Writer) {}

  void Begin(const TFamilyText& Family) {
    FFamily = Family;
    FOpen = false;
  }
  void Sample(double Value, TMetricLabels Labels = {}) override {
    Open();
    FWriter.Sample(FFamily.Name, Value, Labels);
  }
  // A stored series: its label value (if any) goes under the family's label.
  void Stored(double Value, std::string_view LabelValue) {
    if (LabelValue.empty()) {
      Sample(Value);
    } else {
      Sample(Value, {{FFamily.Label, LabelValue}});
    }
  }
  void Histogram(const TMetricsHistogram& Histogram) override {
    Open();
    FWriter.Histogram(FFamily.Name, Histogram);
  }

 private:
  void Open() {
    if (FOpen) return;
    FOpen = true;
    FWriter.Family(FFamily.Name, FFamily.Type, FFamily.Help);
  }
  TMetricsWriter& FWriter;
  TFamilyText FFamily;
  bool FOpen = false;
};

// One README row in the making: a family and the label values its stored series name.
struct TReadmeRow {
  TFamilyText Family;
  std::vector<std::string_view> Values;
};

}  // namespace

void TGateWayStats::Count(TLimitBreach Breach) {
  const auto i = static_cast<size_t>(Breach);
  if (i < kLimitBreachCount) FBreaches[i].fetch_add(1, std::memory_order_relaxed);
}

uint64_t TGateWayStats::Breaches(TLimitBreach Breach) const {
  const auto i = static_cast<size_t>(Breach);
  return i < kLimitBreachCount ? FBreaches[i].load(std::memory_order_relaxed) : 0;
}

uint64_t TGateWayStats::BreachesWithProcess(TLimitBreach Breach) const {
  return Breaches(Breach) + LimitBreaches(Breach);
}

void TGateWayStats::Render(TMetricsWriter& Writer, const TReader& Reader) const {
  TRenderSink sink(Writer);
#define GW_STAT_FAMILY(Name, Type, Label, ReadmeLabels, Help, Meaning) \
  sink.Begin({Name, Type, Label, ReadmeLabels, Help, Meaning});
#define GW_STAT_STORED(Member, Label) sink.Stored(static_cast<double>(Value(Member)), Label);
#define GW_STAT_GAUGE(Member, Label) sink.Stored(static_cast<double>(Gauge(Member)), Label);
#define GW_STAT_BREACH(Id, Name, Bound, Effect) \
  sink.Stored(static_cast<double>(BreachesWithProcess(TLimitBreach::Id)), Name);
#define GW_STAT_SHOWN_BREACH(Id, Label) \
  sink.Stored(static_cast<double>(BreachesWithProcess(TLimitBreach::Id)), Label);
#define GW_STAT_READ(Id, Label) \
  if (Reader) Reader(TStatRead::Id, sink);
  GW_GATEWAY_STATS(GW_STAT_FAMILY, GW_STAT_STORED, GW_STAT_GAUGE, GW_STAT_STORED, GW_STAT_BREACH,
                   GW_STAT_SHOWN_BREACH, GW_STAT_READ)
#undef GW_STAT_READ
#undef GW_STAT_SHOWN_BREACH
#undef GW_STAT_BREACH
#undef GW_STAT_GAUGE
#undef GW_STAT_STORED
#undef GW_STAT_FAMILY
}

std::string TGateWayStats::ReadmeTable() {
  std::vector<TReadmeRow> rows;
#define GW_STAT_FAMILY(Name, Type, Label, ReadmeLabels, Help, Meaning) \
  rows.push_back({{Name, Type, Label, ReadmeLabels, Help, Meaning}, {}});
#define GW_STAT_LABEL(Member, Label) \
  if (std::string_view(Label).size() > 0) rows.back().Values.push_back(Label);
#define GW_STAT_BREACH(Id, Name, Bound, Effect) rows.back().Values.push_back(Name);
#define GW_STAT_READ(Id, Label)
  GW_GATEWAY_STATS(GW_STAT_FAMILY, GW_STAT_LABEL, GW_STAT_LABEL, GW_STAT_LABEL, GW_STAT_BREACH,
                   GW_STAT_LABEL, GW_STAT_READ)
#undef GW_STAT_READ
#undef GW_STAT_BREACH
#undef GW_STAT_LABEL
#undef GW_STAT_FAMILY
  std::string text = "| metric | type | labels | meaning |\n|---|---|---|---|\n";
  for (const TReadmeRow& row : rows) {
    std::string labels(row.Family.ReadmeLabels);
    if (labels.empty() && !row.Values.empty()) {
      labels = "`" + std::string(row.Family.Label) + "`:";
      for (size_t i = 0; i < row.Values.size(); ++i) {
        labels += (i == 0 ? " `" : ", `") + std::string(row.Values[i]) + "`";
      }
    }
    text += "| `" + std::string(row.Family.Name) + "` | " + std::string(row.Family.Type) + " | " +
            labels + " | " + std::string(row.Family.Meaning) + " |\n";
  }
  return text;
}

namespace {

// Replaces what stands between "<!-- NAME -->" and "<!-- end NAME -->" with `Table`, each
// line indented as the opening marker. False when either marker is missing.
bool ReplaceBlock(std::string& Text, const std::string& Name, const std::string& Table) {
  const std::string open = "<!-- " + Name + " -->\n";
  const std::string close = "<!-- end " + Name + " -->";
  const size_t openAt = Text.find(open);
  if (openAt == std::string::npos) return false;
  const size_t lineStart =
      Text.rfind('\n', openAt) == std::string::npos ? 0 : Text.rfind('\n', openAt) + 1;
  const std::string indent = Text.substr(lineStart, openAt - lineStart);
  const size_t bodyAt = openAt + open.size();
  const size_t closeAt = Text.find(close, bodyAt);
  if (closeAt == std::string::npos) return false;
  const size_t closeLine = Text.rfind('\n', closeAt) + 1;  // the close marker's own line
  std::string body;
  size_t from = 0;
  while (from < Table.size()) {
    const size_t end = Table.find('\n', from);
    body += indent + Table.substr(from, end - from) + "\n";
    from = end == std::string::npos ? Table.size() : end + 1;
  }
  Text.replace(bodyAt, closeLine - bodyAt, body);
  return true;
}

}  // namespace

std::string TGateWayStats::UpdateReadme(const std::string& Readme) {
  std::string text = Readme;
  if (!ReplaceBlock(text, "metrics-table", ReadmeTable())) return {};
  if (!ReplaceBlock(text, "limits-table", ReadmeLimitsTable())) return {};
  return text;
}

std::string TGateWayStats::ReadmeLimitsTable() {
  std::string text = "| `limit` | bound | when hit |\n|---|---|---|\n";
#define GW_STAT_BREACH_ROW(Id, Name, Bound, Effect) \
  text += "| `" Name "` | " Bound " | " Effect " |\n";
  GW_LIMIT_BREACHES(GW_STAT_BREACH_ROW)
#undef GW_STAT_BREACH_ROW
  return text;
}

}  // namespace gw
