// The log writer thread: owns the process's loggers, writes their queued lines
// to their files every three seconds and once more at shutdown, and deletes log
// files older than a week when it starts. Exactly one is meant to exist per
// process (the program creates it first and destroys it last); the first one
// created becomes the global that TLogger's class-level operations use.
// A default log folder that cannot be made or written is told once on standard error;
// the process goes on with its log view alone.
//
// Thread safety: AddLogger, RemoveLogger, FlushAll, Default and Global are safe
// from any thread. Construction and destruction belong to the program's main thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/LogFormat.h"
#include "logging/Logger.h"

namespace gw {

class TLoggerThread {
 public:
  struct TOptions {
    std::string Folder;  // empty: "Log" beside the program file
    TLogClock Clock;     // empty members: the system's clock
    uint32_t FlushIntervalMs = 3000;
    bool StartThread = true;  // false: no background writer (tests call FlushAll)
  };

  TLoggerThread();
  explicit TLoggerThread(TOptions options);
  // Clears the global, wakes the writer for one last flush, waits for it and
  // destroys every logger (closing their files).
  ~TLoggerThread();
  TLoggerThread(const TLoggerThread&) = delete;
  TLoggerThread& operator=(const TLoggerThread&) = delete;

  // The default logger (folder as given, empty file name prefix).
  const std::shared_ptr<TLogger>& Default() const { return FDefault; }

  void AddLogger(std::shared_ptr<TLogger> logger);
  void RemoveLogger(const TLogger* logger);

  // Flushes every registered logger, in registration order, holding the list lock.
  void FlushAll();

  // Any thread: every logger closes its file and opens the same path again at a pass made
  // at once (logrotate's convention: the old file was renamed, a new one takes its place).
  void ReopenFiles();
  // The same on the global writer, with an information line that goes to the new file
  // first; nothing without a global writer.
  static void ReopenGlobalFiles();

  // The process's writer thread, or null.
  static TLoggerThread* Global();
  // The global writer's default logger, or null (the reference keeps it alive
  // while the caller logs, even when the writer is being destroyed meanwhile).
  static std::shared_ptr<TLogger> GlobalDefault();

  // Deletes every "*.log" entry of `folder` whose name begins with a date
  // ("yyyy-MM-dd") more than seven whole days away from `now`. Names that do not
  // begin with a date stay; a failure on one file is ignored.
  static void DeleteOldLogs(const std::string& folder, const TLogTime& now);

 private:
  void Execute();
  void RequestReopen();
  void Wake();  // a pass now

  const TOptions FOptions;

  std::mutex FLoggersLock;  // guards FLogs (held for a whole flush pass)
  std::vector<std::shared_ptr<TLogger>> FLogs;

  std::mutex FEventLock;  // guards FTerminated and FWake; FEvent wakes the writer
  std::condition_variable FEvent;
  bool FTerminated = false;
  bool FWake = false;  // a pass is wanted now (reopen)

  std::shared_ptr<TLogger> FDefault;
  std::thread FThread;
};

}  // namespace gw
