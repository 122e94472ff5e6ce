#include <memory>

#include "app/HeadlessSignals.h"
#include "common/ConsoleControl.h"
#include "common/InputEndWatch.h"

namespace gw {

struct THeadlessSignals::TState {
  std::unique_ptr<TConsoleControl> Console;
  std::unique_ptr<TInputEndWatch> Input;
};

void THeadlessSignals::Block() {}  // no signals to keep from the other threads

THeadlessSignals::THeadlessSignals(std::function<void()> Stop, std::function<void()> Reload,
                                   std::function<void()>)
    : FState(std::make_unique<TState>()) {
  FState->Console = std::make_unique<TConsoleControl>(Stop, std::move(Reload));
  FState->Input = std::make_unique<TInputEndWatch>(std::move(Stop));
  FWatching = true;  // a program without a console is told through its input or its channel
}

THeadlessSignals::~THeadlessSignals() {
  FState->Input.reset();
  // A console close waiting in its handler may let the process end from here on.
  FState->Console.reset();
}

}  // namespace gw
