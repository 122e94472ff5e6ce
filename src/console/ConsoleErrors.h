// The console's process-wide error handler: every error that escapes an event handler on the
// user-interface thread is written as "OnException:" + its message, followed by one error line
// per frame of the stack where the error was raised when the error carries one (ETracedError),
// and the window carries on. The stack where it was caught (the event loop's frames) says
// nothing about the failure and is not written.
// GuardedCall wraps each slot; TConsoleApplication catches whatever still reaches the event loop.
// User-interface thread only (the log lines themselves may be written from anywhere).
#pragma once

#include <QApplication>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace gw {

// Writes the error lines for `message`, then one line per entry of `stack` (the stack of the
// throw, innermost first; empty when the error carries none).
void ReportException(const std::string& message, const std::vector<std::string>& stack = {});
// Writes the error lines for the exception being handled (call inside a catch block only).
void ReportCurrentException();
// Runs `action`; an exception it throws is reported and swallowed.
void GuardedCall(const std::function<void()>& action);

class TConsoleApplication : public QApplication {
 public:
  TConsoleApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace gw
