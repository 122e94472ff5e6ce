#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "EchoSignals.h"
#include "common/ConsoleControl.h"
#include "common/InputEndWatch.h"

namespace echo {

namespace {

std::mutex gLock;
std::condition_variable gArrived;
std::deque<TSignal> gSignals;  // guarded by gLock

void Raise(TSignal signal) {
  {
    std::lock_guard<std::mutex> guard(gLock);
    gSignals.push_back(signal);
  }
  gArrived.notify_one();
}

}  // namespace

void PrepareSignals() {
  // For the program's life: the console's events, and the end of a piped input.
  static gw::TConsoleControl console([] { Raise(sgStop); }, [] { Raise(sgReload); });
  static gw::TInputEndWatch input([] { Raise(sgStop); });
}

TSignal WaitForSignal() {
  std::unique_lock<std::mutex> lock(gLock);
  gArrived.wait(lock, [] { return !gSignals.empty(); });
  TSignal signal = gSignals.front();
  gSignals.pop_front();
  return signal;
}

}  // namespace echo
