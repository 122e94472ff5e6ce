#include <windows.h>

#include <memory>
#include <mutex>
#include <thread>

#include "app/HeadlessSignals.h"
#include "common/ConsoleControl.h"

namespace gw {

namespace {

// What the watcher of standard input shares with its thread. A read of a pipe cannot be
// broken off, so the thread may outlive the object: it then finds no action to run.
struct TInputWatch {
  std::mutex Lock;  // guards Stop
  std::function<void()> Stop;
};

}  // namespace

struct THeadlessSignals::TState {
  std::unique_ptr<TConsoleControl> Console;
  std::shared_ptr<TInputWatch> Input;
};

void THeadlessSignals::Block() {}  // no signals to keep from the other threads

THeadlessSignals::THeadlessSignals(std::function<void()> Stop, std::function<void()> Reload)
    : FState(std::make_unique<TState>()) {
  FState->Console = std::make_unique<TConsoleControl>(Stop, std::move(Reload));
  // A service has no console, and is told through its own controls: nothing is missing.
  FWatching = true;
  // Started through a pipe (a supervisor, the tests): the pipe's end asks for the stop, as
  // SIGTERM does elsewhere. A console's input, or none, is left alone.
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE || GetFileType(input) != FILE_TYPE_PIPE) {
    return;
  }
  auto watch = std::make_shared<TInputWatch>();
  watch->Stop = std::move(Stop);
  FState->Input = watch;
  std::thread([input, watch] {
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(input, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    }
    std::lock_guard<std::mutex> guard(watch->Lock);
    if (watch->Stop) watch->Stop();
  }).detach();
}

THeadlessSignals::~THeadlessSignals() {
  if (FState->Input) {
    std::lock_guard<std::mutex> guard(FState->Input->Lock);
    FState->Input->Stop = nullptr;
  }
  // A console close waiting in its handler may let the process end from here on.
  FState->Console.reset();
}

}  // namespace gw
