// The entry of the windowed front-end: runs the operator console on the process's display.
// Called once from the program's main, on the main thread, after the process-wide objects
// exist and the launch parameters are read.
#pragma once

#include <string>

namespace gw {

// True when a display is there for the console (ConsoleMainLinux/Windows.cpp). On Linux: an
// X11 display the process can really connect to, or a Wayland display whose socket accepts a
// connection. (An offscreen Qt platform alone does not count: nobody would see the window.) A
// display variable that names no reachable display (DISPLAY=:99 with no X server) counts as
// none, so the gateway runs headless instead of being ended by the toolkit; `Why` then says
// what was tried. On Windows: the process's window station is the visible one (not a
// service's).
bool ConsoleDisplayAvailable(std::string* Why = nullptr);

// Creates the application and the main window (which starts the service 200 ms later), runs
// the event loop until the window closes, stops the service and returns the exit code.
// The system's stop and reload requests act on the window meanwhile (TConsoleSignals).
int RunConsole(int argc, char** argv);

}  // namespace gw
