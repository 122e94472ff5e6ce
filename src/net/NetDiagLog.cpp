#include "net/NetDiagLog.h"

#include <cxxabi.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>
#include <typeinfo>
#include <vector>

#include "common/Platform.h"
#include "common/Utf8Path.h"

namespace gw {

namespace {

constexpr auto kWriteInterval = std::chrono::milliseconds(200);

// The writer thread starts with the first line and ends at process exit after a last pass.
class TDiagWriter {
 public:
  ~TDiagWriter() {
    {
      std::lock_guard<std::mutex> guard(FQueueLock);
      FStopping = true;
    }
    FWake.notify_all();
    if (FThread.joinable()) FThread.join();
    WriteQueued();
  }

  void Add(std::string line) {
    {
      std::lock_guard<std::mutex> guard(FQueueLock);
      FQueue.push_back(std::move(line));
      StartLocked();
    }
    FWake.notify_one();
  }

  void Start() {
    std::lock_guard<std::mutex> guard(FQueueLock);
    StartLocked();
  }

  void WriteQueued() {
    std::lock_guard<std::mutex> fileGuard(FFileLock);
    std::vector<std::string> lines;
    {
      std::lock_guard<std::mutex> guard(FQueueLock);
      lines.swap(FQueue);
    }
    if (lines.empty()) return;
    std::error_code ec;
    // UTF-8 text, whatever the platform's narrow file names are.
    const std::filesystem::path folder = PathFromUtf8(TNetDiagLog::Folder());
    std::filesystem::create_directories(folder, ec);
    tm local{};
    int millis = 0;
    TNetDiagLog::LocalClock(local, millis);
    char name[32];
    std::snprintf(name, sizeof(name), "%04d-%02d-%02d.log", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday);
    // Nowhere to report a failure of the failure log: the lines are lost then.
    TNetDiagLog::AppendLines(folder / name, lines);
  }

 private:
  void StartLocked() {
    if (FThread.joinable() || FStopping) return;
    try {
      FThread = std::thread([this] {
        NameCurrentThread("gw-netdiag");
        Run();
      });
    } catch (const std::system_error&) {
      // No thread to be had now (the process is short of resources): the lines stay
      // queued and the next one tries again. A failure log must not fail its caller.
    }
  }

  // Sleeps until a line is queued, then lets lines gather until the write interval is
  // up, so a burst costs one open of the file and an idle process never wakes.
  void Run() {
    auto lastWrite = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> guard(FQueueLock);
    while (!FStopping) {
      FWake.wait(guard, [this] { return FStopping || !FQueue.empty(); });
      FWake.wait_until(guard, lastWrite + kWriteInterval, [this] { return FStopping; });
      if (FStopping) break;
      guard.unlock();
      WriteQueued();
      lastWrite = std::chrono::steady_clock::now();
      guard.lock();
    }
  }

  std::mutex FFileLock;   // one writer of the file at a time
  std::mutex FQueueLock;  // guards FQueue, FStopping and FThread's start
  std::condition_variable FWake;
  std::vector<std::string> FQueue;
  bool FStopping = false;
  std::thread FThread;
};

TDiagWriter& Writer() {
  static TDiagWriter writer;
  return writer;
}

}  // namespace

std::string TNetDiagLog::Folder() {
  std::string name = ProgramName();
  size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return ProgramFolder() + "/" + name + ".log";
}

std::string TNetDiagLog::FormatLine(const std::string& text) {
  tm local{};
  int millis = 0;
  LocalClock(local, millis);
  char stamp[32];
  std::snprintf(stamp, sizeof(stamp), "%02d:%02d:%02d:%03d ", local.tm_hour, local.tm_min,
                local.tm_sec, millis);
  std::string line = stamp;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      line += ';';
      ++i;
    } else {
      line += text[i];
    }
  }
  line += "\r\n";
  return line;
}

void TNetDiagLog::SystemError(const std::string& place, int code) {
  Write(place + " : " + SystemErrorText(code));
}

void TNetDiagLog::HandlerException(const char* className, const std::exception* e) {
  std::string type = "unknown";
  if (e != nullptr) {
    // The class name as written in the source (std::runtime_error), not its mangled form.
    int status = 0;
    char* readable = abi::__cxa_demangle(typeid(*e).name(), nullptr, nullptr, &status);
    type = status == 0 && readable != nullptr ? readable : typeid(*e).name();
    std::free(readable);
  }
  Write(std::string(className) + " Io线程ID " + std::to_string(CurrentThreadNumber()) + ", 异常 " +
        type + ", " + (e != nullptr ? e->what() : ""));
}

void TNetDiagLog::Write(const std::string& text) { Writer().Add(FormatLine(text)); }

void TNetDiagLog::Flush() { Writer().WriteQueued(); }

void TNetDiagLog::Start() { Writer().Start(); }

}  // namespace gw
