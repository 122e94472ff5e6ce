#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "StopSignal.h"

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

BOOL WINAPI OnConsoleEvent(DWORD Event) {
  RequestStop();
  // Close, logoff and shutdown end the process once the handler returns: give the stop a
  // moment to finish first.
  if (Event == CTRL_CLOSE_EVENT || Event == CTRL_LOGOFF_EVENT || Event == CTRL_SHUTDOWN_EVENT) {
    Sleep(2000);
  }
  return TRUE;
}

}  // namespace

// Windows has no such signal: the write just fails.
void IgnoreBrokenPipe() {}

void PrepareStopSignals() {
  SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
  // A console or no input at all is left alone: only a pipe's end means "stop".
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE || GetFileType(input) != FILE_TYPE_PIPE) {
    return;
  }
  std::thread([input] {
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(input, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    }
    RequestStop();
  }).detach();
}

void WaitForStop() {
  std::unique_lock<std::mutex> lock(gLock);
  gRequested.wait(lock, [] { return gStop; });
}

}  // namespace gw
