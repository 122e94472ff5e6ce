#include "console/ConsoleErrors.h"

#include <execinfo.h>

#include <cstdlib>
#include <memory>

#include "console/ConsoleShared.h"

namespace gw {

std::vector<std::string> StackDescription(int skipFrames) {
  void* frames[64];
  const int count = backtrace(frames, 64);
  std::vector<std::string> lines;
  std::unique_ptr<char*, decltype(&std::free)> symbols(backtrace_symbols(frames, count),
                                                       &std::free);
  if (!symbols) return lines;
  for (int i = skipFrames; i < count; ++i) lines.emplace_back(symbols.get()[i]);
  return lines;
}

void ReportException(const std::string& message) {
  ConsoleLogError("OnException:" + message);
  for (const std::string& line : StackDescription(2)) ConsoleLogError(line);
}

void GuardedCall(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    ReportException(e.what());
  } catch (...) {
    ReportException("unknown error");
  }
}

TConsoleApplication::TConsoleApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TConsoleApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    ReportException(e.what());
  } catch (...) {
    ReportException("unknown error");
  }
  return false;
}

}  // namespace gw
