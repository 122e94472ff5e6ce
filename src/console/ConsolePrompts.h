// The console's modal boxes: confirmation questions, error boxes and text input. Every window
// asks through the current instance, so tests can install a scripted one instead of leaving a
// real box waiting for a click. The default instance shows real Qt boxes.
// User-interface thread only.
#pragma once

#include <QString>

class QWidget;

namespace gw {

enum TQuestionButtons { qbYesNo, qbOkCancel };

class TConsolePrompts {
 public:
  static const char* const kConfirmCaption;  // "确认信息"
  static const char* const kErrorCaption;    // "错误信息"

  virtual ~TConsolePrompts() = default;

  // True when the operator answered Yes (qbYesNo) or OK (qbOkCancel).
  virtual bool Question(QWidget* parent, const QString& caption, const QString& text,
                        TQuestionButtons buttons);
  // An error box with the caption "错误信息" and an error icon.
  virtual void Error(QWidget* parent, const QString& text);
  // An input box; true on OK, with the entered text in `value` (which also holds the preset).
  virtual bool InputText(QWidget* parent, const QString& caption, const QString& prompt,
                         QString& value);

  static TConsolePrompts& Current();
  // Installs `prompts` (not owned); nullptr restores the real boxes.
  static void SetCurrent(TConsolePrompts* prompts);
};

}  // namespace gw
