#include "SimLog.h"

#include <chrono>
#include <ctime>

namespace gw {

TSimLog::TSimLog(bool Quiet, FILE* Out) : FQuiet(Quiet), FOut(Out) {}

void TSimLog::Event(std::string_view Who, std::string_view Text) {
  if (!FQuiet) Write(Who, Text);
}

void TSimLog::Always(std::string_view Who, std::string_view Text) { Write(Who, Text); }

void TSimLog::Write(std::string_view Who, std::string_view Text) {
  FLineCount.fetch_add(1, std::memory_order_relaxed);
  if (FOut == nullptr) return;
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  int millis = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::snprintf(stamp, sizeof(stamp), "[%02d:%02d:%02d.%03d] ", local.tm_hour, local.tm_min,
                local.tm_sec, millis);
  std::string line;
  line.reserve(Who.size() + Text.size() + 20);
  line.append(stamp).append(Who).append(": ").append(Text).push_back('\n');
  std::lock_guard<std::mutex> guard(FOutLock);
  std::fwrite(line.data(), 1, line.size(), FOut);
  std::fflush(FOut);
}

}  // namespace gw
