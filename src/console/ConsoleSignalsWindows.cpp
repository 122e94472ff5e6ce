#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include "common/ConsoleControl.h"
#include "console/ConsoleSignals.h"
#include "console/FrmMain.h"

namespace gw {

struct TConsoleSignals::TState {
  std::unique_ptr<TConsoleControl> Control;
};

TConsoleSignals::TConsoleSignals(TFrmMain& Window) : FState(std::make_unique<TState>()) {
  // The events arrive on a thread of the system's: the window acts on its own thread. A
  // request that comes after the window is gone finds the pointer empty and does nothing.
  QPointer<TFrmMain> window(&Window);
  auto onWindowThread = [window](void (TFrmMain::*action)()) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [window, action] {
          if (window) (window.data()->*action)();
        },
        Qt::QueuedConnection);
  };
  FState->Control = std::make_unique<TConsoleControl>(
      [onWindowThread] { onWindowThread(&TFrmMain::CloseWithoutAsking); },
      [onWindowThread] { onWindowThread(&TFrmMain::ReloadConfig); });
}

// A close, logoff or shutdown event still waiting is let go (RunConsole ends the window and
// its service first).
TConsoleSignals::~TConsoleSignals() = default;

}  // namespace gw
