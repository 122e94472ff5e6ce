// The log line format shared by the log file and the console's log view, and
// the injectable clock the logger reads. Pure functions: safe from any thread.
//
// A line is the local time as "[yy-mm-dd hh:mm:ss]" directly followed by the
// level mark ("[I] ", "[F] ", "[E]", "[W] ", "[D] ") and the text.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "logging/LogLevel.h"

namespace gw {

// A local civil date and time, as the operator reads it.
struct TLogTime {
  int Year = 0;
  int Month = 0;  // 1..12
  int Day = 0;    // 1..31
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
};

// Where the logger takes "now" and the tick count from. Tests inject fixed
// values; an empty member means the system's own (local time, GetTickCount32).
struct TLogClock {
  std::function<TLogTime()> Now;
  std::function<uint32_t()> Tick;

  TLogTime ReadNow() const;
  uint32_t ReadTick() const;
};

// The current local time of the system.
TLogTime LocalLogTime();

// The level's mark; empty for a value outside llMessage..llDebug.
std::string_view LogLevelMark(TLogLevel level);

// The text as it appears in the log: with `writePrefix` and a level in range,
// "[yy-mm-dd hh:mm:ss]" + mark + text; otherwise the text unchanged.
std::string FormatLogLine(const TLogTime& time, std::string_view text, TLogLevel level,
                          bool writePrefix = true);

// "YYYY-MM-DD_HH_NN_SS" (the time stamp in log file names).
std::string FormatLogFileStamp(const TLogTime& time);

// Days since 1970-01-01 of a civil date (proleptic Gregorian), and the same
// moment in milliseconds; used for whole-day comparisons.
int64_t CivilDayNumber(int year, int month, int day);
int64_t LogTimeMilliseconds(const TLogTime& time);

// Reads "yyyy-MM-dd" from the first ten characters of `name`. False when they
// are not a valid date.
bool ParseLogFileDate(std::string_view name, TLogTime& date);

}  // namespace gw
