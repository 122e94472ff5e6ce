// The entry of the windowed front-end: runs the operator console on the process's display.
// Called once from the program's main, on the main thread, after the process-wide objects
// exist and the launch parameters are read.
#pragma once

namespace gw {

// True when a display is there for the console: an X11 or Wayland display. (An offscreen Qt
// platform alone does not count: nobody would see the window.)
bool ConsoleDisplayAvailable();

// Creates the application and the main window (which starts the service 200 ms later), runs
// the event loop until the window closes, stops the service and returns the exit code.
// SIGTERM and SIGINT close the window without asking when main has blocked them (as
// THeadlessFrontEnd::BlockServiceSignals does) before any thread started.
int RunConsole(int argc, char** argv);

}  // namespace gw
