// TNetDiagLog: the transport's own diagnostic log. It records operating-system
// failures and exceptions that escaped a handler, never normal events. Lines go to
// one UTF-8 file per day, "<program>.log/YYYY-MM-DD.log" beside the executable, each
// "HH:NN:SS:ZZZ text" + CR LF; a background thread appends the collected lines once
// more than 200 ms have passed since its last write.
//
// Thread safety: every operation is safe from any thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

namespace gw {

class TNetDiagLog {
 public:
  // Queues one line.
  static void Write(const std::string& text);
  // Queues "<place> : System Error.  Code: <n>(<hex4>), <message>" for errno `code`.
  static void SystemError(const std::string& place, int code);
  // Queues "<className> Io线程ID <thread id>, 异常 <exception class>, <message>" for an
  // exception that escaped a handler (`e` null: not a std::exception).
  static void HandlerException(const char* className, const std::exception* e);
  // Runs `handler`; an exception it lets out is written as HandlerException writes it and
  // goes no further (an I/O thread's loop, or a bulk close, must go on).
  template <typename F>
  static void RunGuarded(const char* className, F&& handler) {
    try {
      handler();
    } catch (const std::exception& e) {
      HandlerException(className, &e);
    } catch (...) {
      HandlerException(className, nullptr);
    }
  }
  // The failure text for the system's error `code` (errno, or a Windows/Winsock code),
  // without the place.
  static std::string SystemErrorText(int code);
  // The local time of day now, with its milliseconds.
  static void LocalClock(tm& local, int& millis);
  // The system's number for the calling thread.
  static uint64_t CurrentThreadNumber();
  // Appends the lines to the file (created when missing); false when it cannot be opened or
  // written. Plain system calls: a failed open of a C++ stream (as when the process is out of
  // descriptors) trips UBSan's dynamic-type check inside the standard library.
  static bool AppendLines(const std::filesystem::path& file, const std::vector<std::string>& lines);
  // One line as written to the file (time prefix, CR LF pairs replaced by ";").
  static std::string FormatLine(const std::string& text);
  // Starts the background writer now. The socket engine does so when it starts, so the
  // writer is not first needed when the process is out of descriptors or threads.
  static void Start();
  // Writes everything queued now (tests, shutdown).
  static void Flush();
  // The folder the files go to.
  static std::string Folder();
};

}  // namespace gw
