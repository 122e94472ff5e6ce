// Small helpers the console's windows share: UTF-8 <-> QString, hints with the console's
// timing, and spin fields bound to a TSpinRange. User-interface thread only.
#pragma once

#include <QString>
#include <initializer_list>
#include <string>

#include "console/SpinRange.h"

class QLabel;
class QSpinBox;
class QWidget;

namespace gw {

inline QString ToQt(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
inline std::string FromQt(const QString& text) { return text.toUtf8().toStdString(); }

// Shows `hint` (with "\n" line breaks) over `widget` for 10 seconds.
void SetHint(QWidget* widget, const char* hint);

// A spin field with the range and step of `range`; typed values are pulled into the range when
// the field loses focus, and a text that is not a number counts as `range.Min` (also for a
// field without a range). `arrowsOnly` fields cannot be typed into.
QSpinBox* MakeSpin(const TSpinRange& range, bool arrowsOnly, QWidget* parent = nullptr);

// Settings kept in GateWay.xml and edited here that the gateway does not act on: the field's
// hint ends with kStoredOnlyHint, and the muted label StoredOnlyLabel makes stands beside it,
// so an operator does not expect the relay to change when they edit it.
inline constexpr char kStoredOnlyText[] = "仅保存";
inline constexpr char kStoredOnlyHint[] = "仅保存：此设置只保存在 GateWay.xml 中，网关不使用它。";
// Appends kStoredOnlyHint to the hints of `fields` and returns a muted "仅保存" label (owned by
// `parent`) carrying the same hint.
QLabel* StoredOnlyLabel(std::initializer_list<QWidget*> fields, QWidget* parent);

// Takes the typed text of every spin field under `root` as its value, as leaving the field
// would. A confirm button reached by its accelerator (Alt+O) does not move the focus, so
// without this a typed value still waiting for the focus to leave would be lost.
void TakeTypedValues(QWidget* root);

}  // namespace gw
