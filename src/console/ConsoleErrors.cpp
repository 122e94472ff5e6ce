#include "console/ConsoleErrors.h"

#include "console/ConsoleShared.h"
#include "logging/TracedError.h"

namespace gw {

void ReportException(const std::string& message, const std::vector<std::string>& stack) {
  ConsoleLogError("OnException:" + message);
  for (const std::string& line : stack) ConsoleLogError(line);
}

void ReportCurrentException() {
  try {
    throw;
  } catch (const ETracedError& e) {
    ReportException(e.what(), e.StackLines());
  } catch (const std::exception& e) {
    ReportException(e.what());
  } catch (...) {
    ReportException("unknown error");
  }
}

void GuardedCall(const std::function<void()>& action) {
  try {
    action();
  } catch (...) {
    ReportCurrentException();
  }
}

TConsoleApplication::TConsoleApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TConsoleApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    ReportCurrentException();
  }
  return false;
}

}  // namespace gw
