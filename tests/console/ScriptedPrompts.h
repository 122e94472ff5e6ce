// A TConsolePrompts that answers from a script instead of showing boxes, and records what was
// asked, so tests drive every confirmation, error box and input box of the console.
#pragma once

#include <QStringList>
#include <deque>

#include "console/ConsolePrompts.h"

namespace gw {

class TScriptedPrompts : public TConsolePrompts {
 public:
  struct TAsked {
    QString Kind;  // "question", "error" or "input"
    QString Caption;
    QString Text;
    TQuestionButtons Buttons = qbYesNo;
  };

  TScriptedPrompts() { TConsolePrompts::SetCurrent(this); }
  ~TScriptedPrompts() override { TConsolePrompts::SetCurrent(nullptr); }

  // Answers for the next questions (true = Yes/OK); unanswered questions get `false`.
  std::deque<bool> Answers;
  // Answers for the next input boxes: the entered text, or a null QString for Cancel.
  std::deque<QString> Inputs;
  std::vector<TAsked> Asked;

  bool Question(QWidget*, const QString& caption, const QString& text,
                TQuestionButtons buttons) override {
    Asked.push_back({"question", caption, text, buttons});
    if (Answers.empty()) return false;
    const bool answer = Answers.front();
    Answers.pop_front();
    return answer;
  }
  void Error(QWidget*, const QString& text) override {
    Asked.push_back({"error", QString::fromUtf8(kErrorCaption), text, qbYesNo});
  }
  bool InputText(QWidget*, const QString& caption, const QString& prompt, QString& value) override {
    Asked.push_back({"input", caption, prompt + "|" + value, qbYesNo});
    if (Inputs.empty() || Inputs.front().isNull()) {
      if (!Inputs.empty()) Inputs.pop_front();
      return false;
    }
    value = Inputs.front();
    Inputs.pop_front();
    return true;
  }

  QStringList Errors() const {
    QStringList list;
    for (const TAsked& a : Asked)
      if (a.Kind == "error") list << a.Text;
    return list;
  }
};

}  // namespace gw
