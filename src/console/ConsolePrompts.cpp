#include "console/ConsolePrompts.h"

#include <QInputDialog>
#include <QMessageBox>

namespace gw {

namespace {
TConsolePrompts gDefaultPrompts;
TConsolePrompts* gCurrentPrompts = &gDefaultPrompts;
}  // namespace

const char* const TConsolePrompts::kConfirmCaption = "确认信息";
const char* const TConsolePrompts::kErrorCaption = "错误信息";

bool TConsolePrompts::Question(QWidget* parent, const QString& caption, const QString& text,
                               TQuestionButtons buttons) {
  if (buttons == qbYesNo)
    return QMessageBox::question(parent, caption, text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  return QMessageBox::question(parent, caption, text, QMessageBox::Ok | QMessageBox::Cancel,
                               QMessageBox::Cancel) == QMessageBox::Ok;
}

void TConsolePrompts::Error(QWidget* parent, const QString& text) {
  QMessageBox::critical(parent, QString::fromUtf8(kErrorCaption), text);
}

bool TConsolePrompts::InputText(QWidget* parent, const QString& caption, const QString& prompt,
                                QString& value) {
  bool ok = false;
  QString text = QInputDialog::getText(parent, caption, prompt, QLineEdit::Normal, value, &ok);
  if (ok) value = text;
  return ok;
}

TConsolePrompts& TConsolePrompts::Current() { return *gCurrentPrompts; }

void TConsolePrompts::SetCurrent(TConsolePrompts* prompts) {
  gCurrentPrompts = prompts ? prompts : &gDefaultPrompts;
}

}  // namespace gw
