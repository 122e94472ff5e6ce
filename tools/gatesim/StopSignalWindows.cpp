#include <condition_variable>
#include <mutex>

#include "StopSignal.h"
#include "common/ConsoleControl.h"
#include "common/InputEndWatch.h"

namespace gw {

namespace {

std::mutex gLock;
std::condition_variable gRequested;
bool gStop = false;  // guarded by gLock

void RequestStop() {
  {
    std::lock_guard<std::mutex> guard(gLock);
    gStop = true;
  }
  gRequested.notify_all();
}

}  // namespace

// Windows has no such signal: the write just fails.
void IgnoreBrokenPipe() {}

void PrepareStopSignals() {
  // For the program's life: every console event stops the simulators, and so does the end
  // of a piped input.
  static TConsoleControl console([] { RequestStop(); }, [] { RequestStop(); });
  static TInputEndWatch input([] { RequestStop(); });
}

void WaitForStop() {
  std::unique_lock<std::mutex> lock(gLock);
  gRequested.wait(lock, [] { return gStop; });
}

}  // namespace gw
