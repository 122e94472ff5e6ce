#include "console/ConsoleMain.h"

#include <QProxyStyle>
#include <memory>

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
  auto window = std::make_unique<TFrmMain>();
  const TConsoleSignals systemRequests(*window);
  window->show();
  const int code = app.exec();
  // The window stops the service as it goes, before the requests end: on Windows a close,
  // logoff or shutdown event waits for that, and the system ends the process once it returns.
  window.reset();
  return code;
}

}  // namespace gw
