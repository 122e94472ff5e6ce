#include "console/StatisticsPanel.h"

#include <QHeaderView>
#include <cstdio>

#include "console/ConsoleWidgets.h"

namespace gw {

namespace {
constexpr int kColumnWidths[6] = {120, 80, 100, 60, 100, 60};
constexpr int kRows = 6;
constexpr int kRowHeight = 22;
const char* const kBreachCaption = "限制触发: ";
const char* const kGuardCaption = "防护拦截: ";
}  // namespace

std::array<uint64_t, kLimitBreachCount> ReadLimitBreaches(const TGateWayStats* Stats) {
  std::array<uint64_t, kLimitBreachCount> counts{};
  for (size_t i = 0; i < kLimitBreachCount; ++i) {
    const auto breach = static_cast<TLimitBreach>(i);
    counts[i] = Stats ? Stats->BreachesWithProcess(breach) : LimitBreaches(breach);
  }
  return counts;
}

std::string FormatLimitBreaches(const std::array<uint64_t, kLimitBreachCount>& breaches) {
  std::string text;
  for (size_t i = 0; i < kLimitBreachCount; ++i) {
    if (breaches[i] == 0) continue;
    if (!text.empty()) text += ", ";
    text += LimitBreachName(static_cast<TLimitBreach>(i));
    text += ' ';
    text += std::to_string(breaches[i]);
  }
  return text.empty() ? "0" : text;
}

std::string LimitBreachTable(const std::array<uint64_t, kLimitBreachCount>& breaches) {
  std::string text;
  for (size_t i = 0; i < kLimitBreachCount; ++i) {
    if (!text.empty()) text += '\n';
    text += LimitBreachName(static_cast<TLimitBreach>(i));
    text += ": ";
    text += std::to_string(breaches[i]);
  }
  return text;
}

std::string FormatByteCount(uint64_t bytes) {
  static const char* const units[] = {"KB", "MB", "GB", "TB"};
  if (bytes < 1024) return std::to_string(bytes) + "B";
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.2f%s", value, units[unit]);
  return text;
}

TStatisticsPanel::TStatisticsPanel(QWidget* parent) : QTableWidget(kRows, 6, parent) {
  horizontalHeader()->setVisible(false);
  verticalHeader()->setVisible(false);
  setSelectionMode(QAbstractItemView::NoSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setFocusPolicy(Qt::NoFocus);
  for (int c = 0; c < 6; ++c) setColumnWidth(c, kColumnWidths[c]);
  for (int r = 0; r < kRows; ++r) setRowHeight(r, kRowHeight);
  // The four rows of figures keep their 100 pixels; the breach and guard rows add theirs.
  setFixedHeight(100 + 2 * kRowHeight);
  const char* const cells[4][6] = {
      {"数据统计", "", "", "", "", ""},
      {"接收用户数据:", "0B", "发送用户数据:", "0B", "线程CPU%:", "0B"},
      {"接收引擎数据:", "0B", "发送Qel数据:", "0%", "线程CPU%", "0"},
      {"Token数量:", "0毫秒", "Session数量:", "0毫秒", "客户端数量:", "0B"},
  };
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 6; ++c) SetCell(r, c, QString::fromUtf8(cells[r][c]));
  // One cell across the whole row, so the breach names never widen the figure columns.
  setSpan(4, 0, 1, 6);
  SetCell(4, 0, QString::fromUtf8(kBreachCaption) + QStringLiteral("0"));
  setSpan(5, 0, 1, 6);
  SetCell(5, 0, QString::fromUtf8(kGuardCaption) + QStringLiteral("0"));
}

void TStatisticsPanel::SetCell(int row, int column, const QString& text) {
  if (QTableWidgetItem* existing = item(row, column)) {
    if (existing->text() != text) existing->setText(text);
    return;
  }
  setItem(row, column, new QTableWidgetItem(text));
}

QString TStatisticsPanel::CellText(int row, int column) const {
  const QTableWidgetItem* cell = item(row, column);
  return cell ? cell->text() : QString();
}

void TStatisticsPanel::ShowStatistics(const TConsoleStatistics& s) {
  SetCell(1, 1, ToQt(FormatByteCount(s.ClientBytesIn)));
  SetCell(1, 3, ToQt(FormatByteCount(s.ClientBytesOut)));
  SetCell(1, 5, QString::number(s.CpuPercent, 'f', 1) + "%");
  SetCell(2, 1, ToQt(FormatByteCount(s.LogicBytesIn)));
  SetCell(2, 3, ToQt(FormatByteCount(s.LogicBytesOut)));
  SetCell(2, 5, QString::number(s.ThreadCpuPercent, 'f', 1) + "%");
  SetCell(3, 1, QString::number(s.Tokens));
  SetCell(3, 3, QString::number(s.Sessions));
  SetCell(3, 5, QString::number(s.Clients));
  SetCell(4, 0, QString::fromUtf8(kBreachCaption) + ToQt(FormatLimitBreaches(s.LimitBreaches)));
  item(4, 0)->setToolTip(ToQt(LimitBreachTable(s.LimitBreaches)));
  SetCell(5, 0,
          QString::fromUtf8(kGuardCaption) +
              (s.GuardCounters.empty() ? QStringLiteral("0") : ToQt(s.GuardCounters)));
  // A figure wider than its column ("176.50KB" in a 60 pixel column with this platform's
  // fonts) would be cut to "176.5…": its column grows to fit, and never shrinks back, so
  // the panel does not jump while the figures change.
  for (int c = 1; c < 6; c += 2) {
    const int fit = sizeHintForColumn(c);
    if (fit > columnWidth(c)) setColumnWidth(c, fit);
  }
}

}  // namespace gw
