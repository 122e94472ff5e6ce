#include "console/ConsolePrompts.h"

#include <QAbstractButton>
#include <QInputDialog>
#include <QMessageBox>
#include <utility>

namespace gw {

namespace {
TConsolePrompts gDefaultPrompts;
TConsolePrompts* gCurrentPrompts = &gDefaultPrompts;
}  // namespace

const char* const TConsolePrompts::kConfirmCaption = "确认信息";
const char* const TConsolePrompts::kErrorCaption = "错误信息";

namespace {

// The boxes speak the console's language whatever translations the system has: each standard
// button gets its Chinese text.
void SetButtonTexts(QMessageBox& box) {
  const std::pair<QMessageBox::StandardButton, const char*> texts[] = {
      {QMessageBox::Yes, "是(&Y)"},
      {QMessageBox::No, "否(&N)"},
      {QMessageBox::Ok, "确定"},
      {QMessageBox::Cancel, "取消"},
  };
  for (const auto& [button, text] : texts)
    if (QAbstractButton* b = box.button(button)) b->setText(QString::fromUtf8(text));
}

}  // namespace

bool TConsolePrompts::Question(QWidget* parent, const QString& caption, const QString& text,
                               TQuestionButtons buttons) {
  // The action is the default button, as every question asks whether to go ahead: Enter
  // confirms, Escape declines.
  const QMessageBox::StandardButton action =
      buttons == qbYesNo ? QMessageBox::Yes : QMessageBox::Ok;
  const QMessageBox::StandardButton decline =
      buttons == qbYesNo ? QMessageBox::No : QMessageBox::Cancel;
  QMessageBox box(QMessageBox::Question, caption, text, action | decline, parent);
  box.setDefaultButton(action);
  box.setEscapeButton(decline);
  SetButtonTexts(box);
  return box.exec() == action;
}

void TConsolePrompts::Error(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Critical, QString::fromUtf8(kErrorCaption), text, QMessageBox::Ok,
                  parent);
  SetButtonTexts(box);
  box.exec();
}

bool TConsolePrompts::InputText(QWidget* parent, const QString& caption, const QString& prompt,
                                QString& value) {
  QInputDialog dialog(parent);
  dialog.setWindowTitle(caption);
  dialog.setLabelText(prompt);
  dialog.setInputMode(QInputDialog::TextInput);
  dialog.setTextValue(value);
  dialog.setOkButtonText(QString::fromUtf8("确定"));
  dialog.setCancelButtonText(QString::fromUtf8("取消"));
  if (dialog.exec() != QDialog::Accepted) return false;
  value = dialog.textValue();
  return true;
}

TConsolePrompts& TConsolePrompts::Current() { return *gCurrentPrompts; }

void TConsolePrompts::SetCurrent(TConsolePrompts* prompts) {
  gCurrentPrompts = prompts ? prompts : &gDefaultPrompts;
}

}  // namespace gw
