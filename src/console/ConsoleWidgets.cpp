#include "console/ConsoleWidgets.h"

#include <QLineEdit>
#include <QSpinBox>

namespace gw {

void SetHint(QWidget* widget, const char* hint) {
  widget->setToolTip(QString::fromUtf8(hint));
  widget->setToolTipDuration(10000);
}

QSpinBox* MakeSpin(const TSpinRange& range, bool arrowsOnly, QWidget* parent) {
  auto* spin = new QSpinBox(parent);
  spin->setRange(range.Lowest(), range.Highest());
  spin->setSingleStep(range.Step);
  spin->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
  spin->setKeyboardTracking(false);
  if (arrowsOnly) {
    if (auto* edit = spin->findChild<QLineEdit*>()) edit->setReadOnly(true);
  }
  return spin;
}

}  // namespace gw
