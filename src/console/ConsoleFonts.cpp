#include "console/ConsoleFonts.h"

#include <QApplication>
#include <QStringList>

namespace gw {

void InstallConsoleFonts() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  const QStringList fallbacks = {
      QStringLiteral("WenQuanYi Zen Hei"), QStringLiteral("WenQuanYi Zen Hei Sharp"),
      QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Droid Sans Fallback")};
  QFont::insertSubstitutions(QStringLiteral("SimSun"), fallbacks);
  QFont::insertSubstitutions(QString::fromUtf8("宋体"), fallbacks);
  QFont font = QApplication::font();
  QStringList families = {QApplication::font().family()};
  families << fallbacks;
  font.setFamilies(families);
  QApplication::setFont(font);
}

QFont ConsoleFont() {
  QFont font(QStringLiteral("SimSun"), 9);
  font.setFamilies(
      {QStringLiteral("SimSun"), QString::fromUtf8("宋体"), QStringLiteral("WenQuanYi Zen Hei")});
  return font;
}

}  // namespace gw
