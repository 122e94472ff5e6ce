#include "logging/LogFormat.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "common/Platform.h"

namespace gw {

TLogTime TLogClock::ReadNow() const { return Now ? Now() : LocalLogTime(); }

uint32_t TLogClock::ReadTick() const { return Tick ? Tick() : GetTickCount32(); }

TLogTime LocalLogTime() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&seconds, &tm);
  TLogTime t;
  t.Year = tm.tm_year + 1900;
  t.Month = tm.tm_mon + 1;
  t.Day = tm.tm_mday;
  t.Hour = tm.tm_hour;
  t.Minute = tm.tm_min;
  t.Second = tm.tm_sec;
  t.Millisecond =
      static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  return t;
}

std::string_view LogLevelMark(TLogLevel level) {
  switch (level) {
    case llMessage:
      return "[I] ";
    case llFatal:
      return "[F] ";
    case llError:
      return "[E]";
    case llWarning:
      return "[W] ";
    case llDebug:
      return "[D] ";
  }
  return {};
}

std::string FormatLogLine(const TLogTime& time, std::string_view text, TLogLevel level,
                          bool writePrefix) {
  const std::string_view mark = LogLevelMark(level);
  if (!writePrefix || mark.empty()) return std::string(text);
  char stamp[40];
  const int n =
      std::snprintf(stamp, sizeof(stamp), "[%02d-%02d-%02d %02d:%02d:%02d]", time.Year % 100,
                    time.Month, time.Day, time.Hour, time.Minute, time.Second);
  std::string line;
  line.reserve(static_cast<size_t>(n) + mark.size() + text.size());
  line.append(stamp, static_cast<size_t>(n));
  line.append(mark);
  line.append(text);
  return line;
}

std::string FormatLogFileStamp(const TLogTime& time) {
  char stamp[48];
  const int n = std::snprintf(stamp, sizeof(stamp), "%04d-%02d-%02d_%02d_%02d_%02d", time.Year,
                              time.Month, time.Day, time.Hour, time.Minute, time.Second);
  return std::string(stamp, static_cast<size_t>(n));
}

int64_t CivilDayNumber(int year, int month, int day) {
  // Howard Hinnant's days_from_civil.
  const int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t mp = (month + 9) % 12;
  const int64_t doy = (153 * mp + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int64_t LogTimeMilliseconds(const TLogTime& time) {
  return CivilDayNumber(time.Year, time.Month, time.Day) * 86'400'000 +
         int64_t{time.Hour} * 3'600'000 + int64_t{time.Minute} * 60'000 +
         int64_t{time.Second} * 1000 + time.Millisecond;
}

bool ParseLogFileDate(std::string_view name, TLogTime& date) {
  if (name.size() < 10) return false;
  auto digits = [&](size_t from, size_t count, int& value) {
    value = 0;
    for (size_t i = from; i < from + count; ++i) {
      if (name[i] < '0' || name[i] > '9') return false;
      value = value * 10 + (name[i] - '0');
    }
    return true;
  };
  int y, m, d;
  if (!digits(0, 4, y) || name[4] != '-' || !digits(5, 2, m) || name[7] != '-' ||
      !digits(8, 2, d)) {
    return false;
  }
  static constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1 || m < 1 || m > 12 || d < 1) return false;
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (d > kDaysInMonth[m - 1] + (m == 2 && leap ? 1 : 0)) return false;
  date = TLogTime{y, m, d, 0, 0, 0, 0};
  return true;
}

}  // namespace gw
