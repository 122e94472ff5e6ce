#include <windows.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "EchoSignals.h"

namespace echo {

namespace {

std::mutex gLock;
std::condition_variable gArrived;
std::deque<TSignal> gSignals;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  {
    std::lock_guard<std::mutex> guard(gLock);
    gSignals.push_back(event == CTRL_BREAK_EVENT ? sgReload : sgStop);
  }
  gArrived.notify_one();
  // Close, logoff and shutdown end the process once the handler returns: wait a moment
  // for the stop to finish first.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    Sleep(2000);
  }
  return TRUE;
}

}  // namespace

void PrepareSignals() { SetConsoleCtrlHandler(&OnConsoleEvent, TRUE); }

TSignal WaitForSignal() {
  std::unique_lock<std::mutex> lock(gLock);
  gArrived.wait(lock, [] { return !gSignals.empty(); });
  TSignal signal = gSignals.front();
  gSignals.pop_front();
  return signal;
}

}  // namespace echo
