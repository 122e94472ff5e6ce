// TConsoleSignals: the system's stop and reload requests for the windowed front-end, for as
// long as the object lives. Stop closes the main window without the question (like the
// controlling program's close command); reload reads the configuration again, as in the
// headless mode.
//   Linux:   SIGTERM and SIGINT stop, SIGHUP reloads, SIGUSR1 reopens the log file, taken through a
//   signalfd when main
//            blocked them before any thread started; otherwise their default action still
//            ends the process.
//   Windows: the console's control events: Ctrl+C, closing its window, logoff and shutdown
//            stop; Ctrl+Break reloads. No SIGUSR1 there.
// Owned by the main thread, around the window's event loop; the actions run on that thread.
#pragma once

#include <memory>

namespace gw {

class TFrmMain;

class TConsoleSignals {
 public:
  explicit TConsoleSignals(TFrmMain& Window);  // ConsoleSignalsLinux/Windows.cpp
  ~TConsoleSignals();
  TConsoleSignals(const TConsoleSignals&) = delete;
  TConsoleSignals& operator=(const TConsoleSignals&) = delete;

 private:
  struct TState;
  std::unique_ptr<TState> FState;
};

}  // namespace gw
