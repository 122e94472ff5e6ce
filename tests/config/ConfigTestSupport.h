// Helpers for the configuration tests: file access, polling waits and a capture of the
// process-wide logger's lines (the scratch folder is the logger tests' TTempFolder).
#pragma once

#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/LogTestSupport.h"
#include "logging/LoggerThread.h"
#include "support/WaitUntil.h"

namespace gw::config_test {

inline void PutFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

using test_support::WaitUntil;

// Runs a log writer (no background thread) into a scratch folder and keeps every line fed
// to the console callback.
class TLogCapture {
 public:
  TLogCapture() : FWriter(Options(FFolder)) {
    TLogger::SetLogCallBack([this](const std::string& line, TLogLevel level) {
      std::lock_guard lock(FLinesLock);
      FLines.push_back({line, level});
    });
  }
  ~TLogCapture() { TLogger::SetLogCallBack({}); }

  struct TLine {
    std::string Text;
    TLogLevel Level;
  };
  std::vector<TLine> Lines() {
    std::lock_guard lock(FLinesLock);
    return FLines;
  }

 private:
  static TLoggerThread::TOptions Options(const TTempFolder& folder) {
    TLoggerThread::TOptions options;
    options.Folder = folder.File("Log");
    options.StartThread = false;
    return options;
  }

  TTempFolder FFolder;
  TLoggerThread FWriter;
  std::mutex FLinesLock;
  std::vector<TLine> FLines;
};

inline bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace gw::config_test
