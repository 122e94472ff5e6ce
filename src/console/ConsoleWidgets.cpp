#include "console/ConsoleWidgets.h"

#include <QLabel>

#include <QLineEdit>
#include <QSpinBox>

namespace gw {

void SetHint(QWidget* widget, const char* hint) {
  widget->setToolTip(QString::fromUtf8(hint));
  widget->setToolTipDuration(10000);
}

QLabel* StoredOnlyLabel(std::initializer_list<QWidget*> fields, QWidget* parent) {
  const QString hint = QString::fromUtf8(kStoredOnlyHint);
  for (QWidget* field : fields) {
    const QString before = field->toolTip();
    field->setToolTip(before.isEmpty() ? hint : before + QStringLiteral("\n") + hint);
    field->setToolTipDuration(10000);
  }
  auto* label = new QLabel(QString::fromUtf8(kStoredOnlyText), parent);
  label->setObjectName(QStringLiteral("storedOnly"));
  label->setToolTip(hint);
  label->setEnabled(false);  // drawn in the style's muted colour
  return label;
}

namespace {

// A typed text that is not a number stands for the field's minimum. Qt alone would read it as
// 0, which only happens to be right for fields that start at 0 or above and are clamped; the
// field without a range (minimum = maximum) would take the 0.
class TSpinField : public QSpinBox {
 public:
  TSpinField(int minimum, QWidget* parent) : QSpinBox(parent), FMinimum(minimum) {}

  void fixup(QString& input) const override {
    bool number = false;
    input.trimmed().toInt(&number);
    if (!number) {
      input = QString::number(FMinimum);
      return;
    }
    QSpinBox::fixup(input);
  }

 private:
  const int FMinimum;
};

}  // namespace

QSpinBox* MakeSpin(const TSpinRange& range, bool arrowsOnly, QWidget* parent) {
  auto* spin = new TSpinField(range.Min, parent);
  spin->setRange(range.Lowest(), range.Highest());
  spin->setSingleStep(range.Step);
  spin->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
  spin->setKeyboardTracking(false);
  if (arrowsOnly) {
    if (auto* edit = spin->findChild<QLineEdit*>()) edit->setReadOnly(true);
  }
  return spin;
}

void TakeTypedValues(QWidget* root) {
  for (QAbstractSpinBox* spin : root->findChildren<QAbstractSpinBox*>()) spin->interpretText();
}

}  // namespace gw
