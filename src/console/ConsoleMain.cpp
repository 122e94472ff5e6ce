#include "console/ConsoleMain.h"

#include <QProxyStyle>

#include "console/ConsoleErrors.h"
#include "console/ConsoleFonts.h"
#include "console/ConsoleSignals.h"
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

}  // namespace

int RunConsole(int argc, char** argv) {
  TConsoleApplication app(argc, argv);
  app.setStyle(new TConsoleStyle);
  InstallConsoleFonts();
  TFrmMain window;
  const TConsoleSignals systemRequests(window);
  window.show();
  return app.exec();
}

}  // namespace gw
