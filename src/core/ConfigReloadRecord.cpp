#include "core/ConfigReloadRecord.h"

#include <chrono>
#include <mutex>

namespace gw {

namespace {

std::mutex& StateLock() {
  static std::mutex lock;
  return lock;
}

TConfigReloadRecord::TState& State() {
  static TConfigReloadRecord::TState state;
  return state;
}

}  // namespace

void TConfigReloadRecord::Record(bool Successful) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  std::lock_guard<std::mutex> guard(StateLock());
  State() = {true, Successful, std::chrono::duration<double>(now).count()};
}

TConfigReloadRecord::TState TConfigReloadRecord::Last() {
  std::lock_guard<std::mutex> guard(StateLock());
  return State();
}

}  // namespace gw
