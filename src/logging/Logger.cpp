#include "logging/Logger.h"

#include <filesystem>
#include <utility>

#include "common/AnsiCodePage.h"
#include "logging/LogFile.h"
#include "logging/LoggerThread.h"

namespace gw {

namespace {

std::string WithTrailingDelimiter(std::string path) {
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path;
}

}  // namespace

TLogger::TLogger(std::string path, std::string prefixFileName, TLogClock clock)
    : FClock(std::move(clock)),
      FLogDate(FClock.ReadNow()),
      FPrefixFileName(std::move(prefixFileName)),
      FPath(WithTrailingDelimiter(std::move(path))) {
  // A folder that cannot be made or written is said once here (the program tells the
  // operator); the writer still tries at every pass, so a folder mended later is used.
  std::error_code ec;
  std::filesystem::create_directories(FPath, ec);
  std::string error;
  if (ec) {
    FFolderError = FPath + ": " + ec.message();
  } else if (!ProbeLogFolder(FPath, error)) {
    FFolderError = FPath + ": " + error;
  }
  FLogFile = MakeLogFileName();
}

TLogger::~TLogger() { CloseLogFiles(); }

void TLogger::CloseLogFiles() {
  if (FLogFileStream >= 0) CloseLogFile(FLogFileStream);
  if (FUtf8Stream >= 0) CloseLogFile(FUtf8Stream);
  FLogFileStream = -1;
  FUtf8Stream = -1;
}

bool TLogger::LevelKept(TLogLevel level, TLogLevel least) {
  // The enumeration's order is not the severity's: information comes first in it.
  auto rank = [](TLogLevel l) -> int {
    switch (l) {
      case llFatal:
        return 0;
      case llError:
        return 1;
      case llWarning:
        return 2;
      case llMessage:
        return 3;
      case llDebug:
        return 4;
    }
    return -1;
  };
  const int r = rank(level);
  return r < 0 || r <= rank(least);
}

std::string TLogger::Utf8CopyName(const std::string& logFile) {
  const std::string ext = ".log";
  if (logFile.size() >= ext.size() &&
      logFile.compare(logFile.size() - ext.size(), ext.size(), ext) == 0)
    return logFile.substr(0, logFile.size() - ext.size()) + ".utf8.log";
  return logFile + ".utf8.log";
}

std::string TLogger::MakeLogFileName() const {
  // The number after "_PID" is the tick count: it only makes the name unique.
  return FPath + FPrefixFileName + FormatLogFileStamp(FLogDate) + "_PID" +
         std::to_string(FClock.ReadTick()) + ".log";
}

std::string TLogger::LogFile() const {
  std::lock_guard<std::mutex> guard(FLogFileLock);
  return FLogFile;
}

void TLogger::SetCallBack(TLogEvent cb) {
  auto shared = cb ? std::make_shared<const TLogEvent>(std::move(cb)) : nullptr;
  std::lock_guard<std::mutex> guard(FCallBackLock);
  FCallBack = std::move(shared);
}

void TLogger::Log(const std::string& msg, TLogLevel level) {
  if (!LevelKept(level, LogLevel())) return;
  const TLogTime now = FClock.ReadNow();
  std::string line = FormatLogLine(now, msg, level, WritePrefix());

  std::shared_ptr<const TLogEvent> callBack;
  {
    std::lock_guard<std::mutex> guard(FCallBackLock);
    callBack = FCallBack;
  }
  if (callBack) {
    try {
      (*callBack)(line, level);
    } catch (...) {
      // The feed is the console's business; a failing feed must not stop logging.
    }
  }

  std::string utf8;
  if (Utf8Copy()) utf8 = line + "\n";
  line.append("\r\n");
  TLogBlock block{level, now, Utf8ToUtf16Le(line), std::move(utf8)};
  std::lock_guard<std::mutex> guard(FLogsLock);
  FLogs.push_back(std::move(block));
}

bool TLogger::OpenLogFile() {
  std::string file = LogFile();
  CreateWithByteOrderMark(file);
  FLogFileStream = OpenForAppendExclusive(file);
  if (FLogFileStream >= 0) return true;

  // The file cannot be opened (another writer holds it, or it is not
  // writable): switch to a fresh name and create that one, so this line and
  // the ones after it are not lost.
  FLogDate = FClock.ReadNow();
  file = MakeLogFileName();
  {
    std::lock_guard<std::mutex> guard(FLogFileLock);
    FLogFile = file;
  }
  CreateWithByteOrderMark(file);
  FLogFileStream = OpenForAppendExclusive(file);
  return FLogFileStream >= 0;
}

void TLogger::WriteBatch(std::string& utf16, std::string& utf8) {
  if (FLogFileStream >= 0 && !utf16.empty()) {
    WriteLogFile(FLogFileStream, utf16.data(), utf16.size());  // a failed write drops the batch
  }
  if (!utf8.empty()) {
    if (FUtf8Stream < 0) FUtf8Stream = OpenOrCreateForAppend(Utf8CopyName(LogFile()));
    // As for the main file: a copy that cannot be written loses the batch, nothing else.
    if (FUtf8Stream >= 0) WriteLogFile(FUtf8Stream, utf8.data(), utf8.size());
  }
  utf16.clear();
  utf8.clear();
}

void TLogger::RollOver(const TLogTime& time) {
  CloseLogFiles();
  FLogDate = time;
  {
    std::string file = MakeLogFileName();
    std::lock_guard<std::mutex> guard(FLogFileLock);
    FLogFile = std::move(file);
  }
  TLoggerThread::DeleteOldLogs(FPath, time);
}

void TLogger::RequestReopen() {
  std::lock_guard<std::mutex> guard(FLogsLock);
  FReopenRequested = true;
}

void TLogger::FlushToFile() {
  bool reopen = false;
  {
    std::lock_guard<std::mutex> guard(FLogsLock);
    FList.swap(FLogs);
    std::swap(reopen, FReopenRequested);
  }
  // After a rename (logrotate) the lines go to a new file at the same path.
  if (reopen) CloseLogFiles();
  if (FList.empty()) return;

  std::string pending;
  std::string pendingUtf8;
  bool openFailed = false;  // one attempt per file and pass; the next pass tries again
  for (const TLogBlock& block : FList) {
    if (block.Time.Year != FLogDate.Year || block.Time.Month != FLogDate.Month ||
        block.Time.Day != FLogDate.Day) {
      WriteBatch(pending, pendingUtf8);
      RollOver(block.Time);
      openFailed = false;
    }
    pendingUtf8.append(block.Utf8Text);
    if (FLogFileStream < 0 && (openFailed || !OpenLogFile())) {
      openFailed = true;
      continue;  // the line is lost
    }
    pending.append(block.Utf16Text);
  }
  WriteBatch(pending, pendingUtf8);
  FList.clear();
}

void TLogger::AddLog(const std::string& msg, TLogLevel level) {
  if (std::shared_ptr<TLogger> logger = TLoggerThread::GlobalDefault()) logger->Log(msg, level);
}

void TLogger::LogInfo(const std::string& msg) { AddLog(msg, llMessage); }
void TLogger::LogError(const std::string& msg) { AddLog(msg, llError); }
void TLogger::LogWarning(const std::string& msg) { AddLog(msg, llWarning); }
void TLogger::LogDebug(const std::string& msg) { AddLog(msg, llDebug); }

void TLogger::LogFileLocation() {
  std::shared_ptr<TLogger> logger = TLoggerThread::GlobalDefault();
  if (!logger) return;
  if (!logger->FolderError().empty()) {
    logger->Log("日志文件夹无法写入，不保存日志文件: " + logger->FolderError(), llWarning);
    return;
  }
  const std::string file = logger->LogFile();
  std::string line = "日志文件: " + file;
  if (logger->Utf8Copy()) line += " (UTF-8副本: " + Utf8CopyName(file) + ")";
  logger->Log(line, llMessage);
}

void TLogger::SetDefaultUtf8Copy(bool value) {
  if (std::shared_ptr<TLogger> logger = TLoggerThread::GlobalDefault()) logger->SetUtf8Copy(value);
}

void TLogger::SetDefaultLogLevel(TLogLevel least) {
  if (std::shared_ptr<TLogger> logger = TLoggerThread::GlobalDefault()) logger->SetLogLevel(least);
}

void TLogger::SetLogCallBack(TLogEvent cb) {
  if (std::shared_ptr<TLogger> logger = TLoggerThread::GlobalDefault()) {
    logger->SetCallBack(std::move(cb));
  }
}

}  // namespace gw
