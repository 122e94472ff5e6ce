// The process-wide logger: leveled lines go to the console feed at once and to
// a UTF-16LE log file in batches written by the log writer thread
// (TLoggerThread). On request the same lines also go to a UTF-8 copy beside it
// ("<log file name>.utf8.log", LF line ends) for tail, grep and the like. A logging call never
// touches the disk: it formats the line, calls the feed, and queues the line under a short lock.
//
// Thread safety: Log, SetCallBack, SetWritePrefix and the class-level operations
// (LogInfo, LogError, LogWarning, LogDebug, AddLog, SetLogCallBack) are safe from
// any thread. FlushToFile belongs to the writer thread (TLoggerThread::FlushAll
// serializes it).
//
// The class-level operations act on the default logger of the one writer thread
// of the process; before a TLoggerThread exists and after it is gone they drop
// the line (feed included).
//
// A file lasts one local day at most: the first line of a new day goes to a new file (named
// like the first, after that moment), and files older than a week are deleted then, as at
// start. ReopenFiles (after a rename by logrotate or the like) makes the writer close the
// file and go on at the same path. A level filter (SetLogLevel) leaves out the less severe
// lines everywhere, feed included.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logging/LogFormat.h"
#include "logging/LogLevel.h"

namespace gw {

// The console feed: the prefixed line (no line end) and its level. Runs on the
// logging thread, outside any logger lock, so it must be safe from any thread.
using TLogEvent = std::function<void(const std::string& AMsg, TLogLevel ALevel)>;

class TLogger {
 public:
  // `path`: the log folder (created with its parents if missing; a trailing
  // delimiter is added); `prefixFileName`: text in front of the file name's time stamp.
  // Its lines reach the file only once the logger is registered with the writer
  // (TLoggerThread::AddLogger, which holds it by shared_ptr); the writer registers its
  // default logger itself, and the program makes no other.
  TLogger(std::string path, std::string prefixFileName, TLogClock clock = {});
  ~TLogger();  // closes the file; lines still queued are not written
  TLogger(const TLogger&) = delete;
  TLogger& operator=(const TLogger&) = delete;

  // Formats, feeds and queues one line. A level outside llMessage..llDebug gets no prefix.
  void Log(const std::string& msg, TLogLevel level);

  void SetCallBack(TLogEvent cb);

  // Whether a line of `level` is kept when `least` is the least severe level kept. The
  // severity order is fatal, error, warning, information, debug; a level outside
  // llMessage..llDebug (a line without prefix) is always kept.
  static bool LevelKept(TLogLevel level, TLogLevel least);
  // The least severe level kept (default llDebug: every line).
  void SetLogLevel(TLogLevel least) { FLeastLevel.store(least, std::memory_order_relaxed); }
  TLogLevel LogLevel() const { return FLeastLevel.load(std::memory_order_relaxed); }

  // Any thread: the writer closes the file (and its UTF-8 copy) at its next pass and opens
  // the same path again, creating it when it was renamed or deleted meanwhile.
  // Lines logged after the request go to the reopened file.
  void RequestReopen();

  // Why the log folder cannot hold files ("<folder>: <system error>"), found when the logger
  // was made; empty when it can. Lines still reach the feed either way.
  const std::string& FolderError() const { return FFolderError; }

  bool WritePrefix() const { return FWritePrefix.load(std::memory_order_relaxed); }
  void SetWritePrefix(bool value) { FWritePrefix.store(value, std::memory_order_relaxed); }

  // Lines logged from now on also go to the UTF-8 copy.
  bool Utf8Copy() const { return FUtf8Copy.load(std::memory_order_relaxed); }
  void SetUtf8Copy(bool value) { FUtf8Copy.store(value, std::memory_order_relaxed); }
  // The UTF-8 copy of a log file: "x.log" -> "x.log.utf8.log" would not read well, so the
  // ".log" is kept once: "x.utf8.log".
  static std::string Utf8CopyName(const std::string& logFile);

  const std::string& Path() const { return FPath; }
  // The current log file (it changes only on the writer thread, after an open failure).
  std::string LogFile() const;

  // Writes every queued line to the log file (writer thread only).
  void FlushToFile();

  // Class-level operations on the default logger.
  static void LogInfo(const std::string& msg);
  static void LogError(const std::string& msg);
  static void LogWarning(const std::string& msg);
  static void LogDebug(const std::string& msg);
  static void AddLog(const std::string& msg, TLogLevel level);
  static void SetLogCallBack(TLogEvent cb);
  // Writes the information line naming the default logger's file (and its UTF-8 copy).
  static void LogFileLocation();
  // Turns the default logger's UTF-8 copy on or off.
  static void SetDefaultUtf8Copy(bool value);
  // The default logger's level filter (see SetLogLevel).
  static void SetDefaultLogLevel(TLogLevel least);

 private:
  // One queued line: its level and its text as UTF-16LE bytes including CR LF.
  struct TLogBlock {
    TLogLevel Level;
    TLogTime Time;  // when it was logged: the day decides its file
    std::string Utf16Text;
    std::string Utf8Text;  // with LF; empty when the copy was off
  };

  std::string MakeLogFileName() const;
  bool OpenLogFile();
  void CloseLogFiles();
  // Writes the batch gathered for the current file (and its copy) and empties it.
  void WriteBatch(std::string& utf16, std::string& utf8);
  // A line of another day than the current file's: a new file from that line on, and the
  // files of more than a week ago go.
  void RollOver(const TLogTime& time);

  const TLogClock FClock;
  TLogTime FLogDate;  // writer thread after construction
  const std::string FPrefixFileName;
  const std::string FPath;
  std::string FFolderError;  // set by the constructor only

  mutable std::mutex FLogFileLock;  // guards FLogFile (read by LogFile() from any thread)
  std::string FLogFile;

  std::mutex FLogsLock;  // guards FLogs and FReopenRequested
  std::vector<TLogBlock> FLogs;
  // Taken with the lines queued so far, so that every line queued after the request is
  // written after the reopen.
  bool FReopenRequested = false;

  std::vector<TLogBlock> FList;  // writer thread only
  int FLogFileStream = -1;       // the open log file's descriptor; writer thread only; owned
  int FUtf8Stream = -1;          // the open UTF-8 copy; writer thread only; owned

  std::atomic<bool> FWritePrefix{true};
  std::atomic<bool> FUtf8Copy{false};
  std::atomic<TLogLevel> FLeastLevel{llDebug};

  std::mutex FCallBackLock;  // guards FCallBack (the pointer, not the call)
  std::shared_ptr<const TLogEvent> FCallBack;
};

}  // namespace gw
