#include <windows.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "EchoSignals.h"

namespace echo {

namespace {

std::mutex gLock;
std::condition_variable gArrived;
std::deque<TSignal> gSignals;

void Raise(TSignal signal) {
  {
    std::lock_guard<std::mutex> guard(gLock);
    gSignals.push_back(signal);
  }
  gArrived.notify_one();
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  Raise(event == CTRL_BREAK_EVENT ? sgReload : sgStop);
  // Close, logoff and shutdown end the process once the handler returns: wait a moment
  // for the stop to finish first.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    Sleep(2000);
  }
  return TRUE;
}

}  // namespace

void PrepareSignals() {
  SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
  // Started by a program through a pipe (the tests, a supervisor): the pipe's end is the
  // request to stop, as SIGTERM is on Linux. A console or no input at all is left alone.
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE || GetFileType(input) != FILE_TYPE_PIPE) {
    return;
  }
  std::thread([input] {
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(input, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    }
    Raise(sgStop);
  }).detach();
}

TSignal WaitForSignal() {
  std::unique_lock<std::mutex> lock(gLock);
  gArrived.wait(lock, [] { return !gSignals.empty(); });
  TSignal signal = gSignals.front();
  gSignals.pop_front();
  return signal;
}

}  // namespace echo
