// The main window's statistics panel: a 5 × 6 table without headers or selection, built once
// with its captions, whose value cells show live figures of the running gateway server and
// the process. The two "线程CPU%" cells show the CPU use of all threads together and of the
// busiest thread. The fifth row names every bound held against a peer that has been hit since
// the process started, with its count (the cell's hint lists every counter).
// User-interface thread only.
#pragma once

#include <QTableWidget>
#include <array>
#include <cstdint>
#include <string>

#include "common/GateWayStats.h"
#include "common/PeerLimits.h"

namespace gw {

// The figures the panel shows; all zero while no server runs.
struct TConsoleStatistics {
  uint64_t ClientBytesIn = 0;   // received from clients
  uint64_t ClientBytesOut = 0;  // sent to clients
  uint64_t LogicBytesIn = 0;    // received from the logic server
  uint64_t LogicBytesOut = 0;   // sent to the logic server
  int64_t Tokens = 0;           // sessions still waiting for their token answer
  int64_t Sessions = 0;         // sessions in the workers' tables
  int64_t Clients = 0;          // open client connections
  double CpuPercent = 0;        // the process's CPU use (all its threads) of the last sample
  double ThreadCpuPercent = 0;  // the CPU use of its busiest thread in the same interval
  // Breaches of each bound held against a peer since the process started (they keep counting
  // while no server runs: a file read at a failed start counts too).
  std::array<uint64_t, kLimitBreachCount> LimitBreaches{};
  // The running server's guard counters per cause, "name=count …" (empty without one).
  std::string GuardCounters;
};

// The breach counters as the panel shows them: "name count" for every counter above 0,
// joined by ", "; "0" when none was hit.
std::string FormatLimitBreaches(const std::array<uint64_t, kLimitBreachCount>& breaches);
// The same figures for every counter, one "name: count" per line.
std::string LimitBreachTable(const std::array<uint64_t, kLimitBreachCount>& breaches);

// Every breach counter's current value: the server's with the process's (only the process's
// when no server is given). Any thread.
std::array<uint64_t, kLimitBreachCount> ReadLimitBreaches(const TGateWayStats* Stats);

// "0B", "1023B", "1.50KB", "12.00MB", "3.25GB".
std::string FormatByteCount(uint64_t bytes);

class TStatisticsPanel : public QTableWidget {
  Q_OBJECT

 public:
  explicit TStatisticsPanel(QWidget* parent = nullptr);

  void ShowStatistics(const TConsoleStatistics& statistics);
  QString CellText(int row, int column) const;

 private:
  void SetCell(int row, int column, const QString& text);
};

}  // namespace gw
