#include "console/ConsoleMain.h"

#include <QProxyStyle>
#include <cstdlib>

#include "console/ConsoleErrors.h"
#include "console/ConsoleFonts.h"
#include "console/FrmMain.h"

namespace gw {

namespace {

// Hints appear after 100 ms (each widget keeps them for 10 seconds).
class TConsoleStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override {
    if (hint == QStyle::SH_ToolTip_WakeUpDelay) return 100;
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};

bool EnvSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

}  // namespace

bool ConsoleDisplayAvailable() {
  return EnvSet("DISPLAY") || EnvSet("WAYLAND_DISPLAY") || EnvSet("QT_QPA_PLATFORM");
}

int RunConsole(int argc, char** argv) {
  TConsoleApplication app(argc, argv);
  app.setStyle(new TConsoleStyle);
  InstallConsoleFonts();
  int code = 0;
  {
    TFrmMain window;
    window.show();
    code = app.exec();
  }
  return code;
}

}  // namespace gw
