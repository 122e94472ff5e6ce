#include "common/ConsoleControl.h"

#include <windows.h>

namespace gw {

namespace {

BOOL WINAPI ConsoleHandlerRoutine(DWORD Event) {
  return TConsoleControl::HandleEvent(Event) ? TRUE : FALSE;
}

}  // namespace

bool TConsoleControl::SetSystemHandler(bool Install) {
  if (!Install) {
    ::SetConsoleCtrlHandler(ConsoleHandlerRoutine, FALSE);
    return false;
  }
  if (!::SetConsoleCtrlHandler(ConsoleHandlerRoutine, TRUE)) return false;
  // A process started with Ctrl+C ignored (a new process group) would never see it.
  ::SetConsoleCtrlHandler(nullptr, FALSE);
  return true;
}

}  // namespace gw
