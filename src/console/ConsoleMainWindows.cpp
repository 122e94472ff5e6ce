// The console's display check on Windows: the process's window station must be the visible,
// interactive one. A service, or a program started in another session without a desktop,
// has an invisible station: nobody would see the window, so the gateway runs headless.
#include <windows.h>

#include "console/ConsoleMain.h"

namespace gw {

bool ConsoleDisplayAvailable(std::string* Why) {
  USEROBJECTFLAGS flags{};
  const HWINSTA station = GetProcessWindowStation();
  if (station != nullptr &&
      GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
      (flags.dwFlags & WSF_VISIBLE) != 0) {
    return true;
  }
  if (Why != nullptr) *Why = "没有可用的显示 (窗口站不可见)";
  return false;
}

}  // namespace gw
