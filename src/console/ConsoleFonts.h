// The console's font: 9-point SimSun ("宋体") as the operators know it, falling back to the
// installed CJK font (WenQuanYi Zen Hei) where SimSun is missing, so Chinese text renders.
// User-interface thread only; call after the QApplication exists.
#pragma once

#include <QFont>

namespace gw {

// Registers the fall-backs once; later calls do nothing.
void InstallConsoleFonts();
QFont ConsoleFont();

}  // namespace gw
