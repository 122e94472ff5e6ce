// The console's process-wide error handler: every error that escapes an event handler on the
// user-interface thread is written as "OnException:" + its message, followed by one error line
// per frame of the stack description the platform offers, and the window carries on.
// GuardedCall wraps each slot; TConsoleApplication catches whatever still reaches the event loop.
// User-interface thread only (the log lines themselves may be written from anywhere).
#pragma once

#include <QApplication>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace gw {

// Writes the error lines for `message` with the current call stack.
void ReportException(const std::string& message);
// Runs `action`; an exception it throws is reported and swallowed.
void GuardedCall(const std::function<void()>& action);
// The current call stack as text lines, innermost first, as far as the platform offers one.
std::vector<std::string> StackDescription(int skipFrames);

class TConsoleApplication : public QApplication {
 public:
  TConsoleApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace gw
