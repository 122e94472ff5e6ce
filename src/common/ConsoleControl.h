// TConsoleControl: the console's control events of a program that runs without its window
// (the headless mode), mapped to the actions signals trigger elsewhere:
//   Ctrl+C, closing the console window, logoff, shutdown   -> Stop   (as SIGTERM, SIGINT)
//   Ctrl+Break                                             -> Reload (as SIGHUP)
// For close, logoff and shutdown the system ends the process as soon as the handler returns
// (after at most 5 to 20 s), so the handler waits there until the owner has finished
// stopping: Finished(), or the destructor.
//
// On other systems the signals serve and the object does nothing (Installed() is false).
//
// Thread safety: at most one object at a time. Stop and Reload run on the system's control
// thread (on Windows a thread of its own per event); they must only ask the program to act.
// Finished and the destructor belong to the owner's thread.
#pragma once

#include <cstdint>
#include <functional>

namespace gw {

class TConsoleControl {
 public:
  // The events, with the values Windows gives them (CTRL_C_EVENT...).
  enum TConsoleEvent : uint32_t {
    ceCtrlC = 0,
    ceCtrlBreak = 1,
    ceClose = 2,
    ceLogoff = 5,
    ceShutdown = 6,
  };
  // How long a close, logoff or shutdown event waits for Finished; the system gives 5 s
  // for a closed window and ends the process then anyway.
  static constexpr uint32_t kFinishWaitMs = 4500;

  // `FinishWaitMs`: how long close, logoff and shutdown wait for Finished.
  TConsoleControl(std::function<void()> Stop, std::function<void()> Reload,
                  uint32_t FinishWaitMs = kFinishWaitMs);
  // Finished(), then the handler is removed.
  ~TConsoleControl();
  TConsoleControl(const TConsoleControl&) = delete;
  TConsoleControl& operator=(const TConsoleControl&) = delete;

  // Whether the handler is installed (false where there are no console events).
  bool Installed() const { return FInstalled; }
  // The owner has stopped: a waiting close, logoff or shutdown event may let the process end.
  void Finished();

  // What the installed handler does with one event: true when it was handled. The system
  // calls it; tests call it where the system cannot raise the event.
  static bool HandleEvent(uint32_t Event);

 private:
  // Installs or removes the system's handler; returns whether one is installed now.
  static bool SetSystemHandler(bool Install);  // ConsoleControlLinux/Windows.cpp

  bool FInstalled = false;
};

}  // namespace gw
