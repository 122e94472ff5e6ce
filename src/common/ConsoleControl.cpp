#include "common/ConsoleControl.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace gw {

namespace {

// The actions of the one object; shared with the system's control threads, which may
// still be inside HandleEvent while the object goes away.
struct TConsoleActions {
  std::mutex Lock;  // guards the fields below
  std::condition_variable FinishedChanged;
  std::function<void()> Stop;
  std::function<void()> Reload;
  bool Finished = true;  // no owner, or the owner has stopped
  uint32_t FinishWaitMs = TConsoleControl::kFinishWaitMs;
};

TConsoleActions& Actions() {
  static TConsoleActions actions;
  return actions;
}

}  // namespace

TConsoleControl::TConsoleControl(std::function<void()> Stop, std::function<void()> Reload,
                                 uint32_t FinishWaitMs) {
  {
    TConsoleActions& actions = Actions();
    std::lock_guard<std::mutex> guard(actions.Lock);
    actions.Stop = std::move(Stop);
    actions.Reload = std::move(Reload);
    actions.Finished = false;
    actions.FinishWaitMs = FinishWaitMs;
  }
  FInstalled = SetSystemHandler(true);
}

TConsoleControl::~TConsoleControl() {
  Finished();
  if (FInstalled) FInstalled = SetSystemHandler(false);
  TConsoleActions& actions = Actions();
  std::lock_guard<std::mutex> guard(actions.Lock);
  actions.Stop = nullptr;
  actions.Reload = nullptr;
}

void TConsoleControl::Finished() {
  TConsoleActions& actions = Actions();
  {
    std::lock_guard<std::mutex> guard(actions.Lock);
    actions.Finished = true;
  }
  actions.FinishedChanged.notify_all();
}

bool TConsoleControl::HandleEvent(uint32_t Event) {
  TConsoleActions& actions = Actions();
  std::function<void()> action;
  {
    std::lock_guard<std::mutex> guard(actions.Lock);
    switch (Event) {
      case ceCtrlC:
      case ceClose:
      case ceLogoff:
      case ceShutdown:
        action = actions.Stop;
        break;
      case ceCtrlBreak:
        action = actions.Reload;
        break;
      default:
        return false;
    }
  }
  if (!action) return false;  // no owner: the system's default (ending the process) applies
  action();
  if (Event == ceClose || Event == ceLogoff || Event == ceShutdown) {
    std::unique_lock<std::mutex> lock(actions.Lock);
    actions.FinishedChanged.wait_for(lock, std::chrono::milliseconds(actions.FinishWaitMs),
                                     [&actions] { return actions.Finished; });
  }
  return true;
}

}  // namespace gw
