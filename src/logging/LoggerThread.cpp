#include "logging/LoggerThread.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "common/Platform.h"

namespace gw {

namespace {

std::mutex GGlobalLock;  // guards GGlobal and GGlobalDefault
TLoggerThread* GGlobal = nullptr;
std::shared_ptr<TLogger> GGlobalDefault;

bool HasLogExtension(const std::string& name) {
  if (name.size() < 4) return false;
  std::string ext = name.substr(name.size() - 4);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext == ".log";
}

// 1899-12-30, the zero of the date values that log file names are compared in:
// only dates after it count.
const int64_t kDateZeroMs = CivilDayNumber(1899, 12, 30) * 86'400'000;

}  // namespace

TLoggerThread::TLoggerThread() : TLoggerThread(TOptions{}) {}

TLoggerThread::TLoggerThread(TOptions options) : FOptions(std::move(options)) {
  const std::string folder = FOptions.Folder.empty() ? ProgramFolder() + "/Log" : FOptions.Folder;
  FDefault = std::make_shared<TLogger>(folder, "", FOptions.Clock);
  if (!FDefault->FolderError().empty()) {
    std::fprintf(stderr, "gateway: cannot write the log folder %s; no log file is kept\n",
                 FDefault->FolderError().c_str());
    std::fflush(stderr);
  }
  FLogs.push_back(FDefault);
  {
    std::lock_guard<std::mutex> guard(GGlobalLock);
    if (GGlobal == nullptr) {
      GGlobal = this;
      GGlobalDefault = FDefault;
    }
  }
  DeleteOldLogs(FDefault->Path(), FOptions.Clock.ReadNow());
  if (FOptions.StartThread) FThread = std::thread([this] { Execute(); });
}

TLoggerThread::~TLoggerThread() {
  {
    std::lock_guard<std::mutex> guard(GGlobalLock);
    if (GGlobal == this) {
      GGlobal = nullptr;
      GGlobalDefault.reset();
    }
  }
  {
    std::lock_guard<std::mutex> guard(FEventLock);
    FTerminated = true;
  }
  FEvent.notify_all();
  if (FThread.joinable()) {
    FThread.join();  // the writer makes its last pass before it ends
  } else {
    FlushAll();
  }
  std::lock_guard<std::mutex> guard(FLoggersLock);
  FLogs.clear();  // closes the files of loggers nobody else holds
}

void TLoggerThread::Execute() {
  NameCurrentThread("gw-log");
  // Every turn ends with a pass, including the turn that sees the stop request,
  // so lines logged up to the shutdown are written.
  std::unique_lock<std::mutex> lock(FEventLock);
  for (;;) {
    FEvent.wait_for(lock, std::chrono::milliseconds(FOptions.FlushIntervalMs),
                    [this] { return FTerminated || FWake; });
    const bool stopping = FTerminated;
    FWake = false;
    lock.unlock();
    try {
      FlushAll();
    } catch (...) {
      // One failed pass must not end the writer; the next pass tries again.
    }
    if (stopping) return;
    lock.lock();
  }
}

void TLoggerThread::AddLogger(std::shared_ptr<TLogger> logger) {
  if (!logger) return;
  std::lock_guard<std::mutex> guard(FLoggersLock);
  FLogs.push_back(std::move(logger));
}

void TLoggerThread::RemoveLogger(const TLogger* logger) {
  std::lock_guard<std::mutex> guard(FLoggersLock);
  std::erase_if(FLogs, [logger](const std::shared_ptr<TLogger>& l) { return l.get() == logger; });
}

void TLoggerThread::FlushAll() {
  std::lock_guard<std::mutex> guard(FLoggersLock);
  for (const std::shared_ptr<TLogger>& logger : FLogs) logger->FlushToFile();
}

void TLoggerThread::ReopenFiles() {
  RequestReopen();
  Wake();
}

void TLoggerThread::RequestReopen() {
  std::lock_guard<std::mutex> guard(FLoggersLock);
  for (const std::shared_ptr<TLogger>& logger : FLogs) logger->RequestReopen();
}

void TLoggerThread::Wake() {
  {
    std::lock_guard<std::mutex> guard(FEventLock);
    FWake = true;
  }
  FEvent.notify_all();
}

void TLoggerThread::ReopenGlobalFiles() {
  // The line is queued after the request and before the wake-up, so the pass this causes
  // writes it as the new file's first. It is logged outside the global lock: the feed runs
  // in Log and must not be called under a lock of the logger's.
  std::shared_ptr<TLogger> logger;
  {
    std::lock_guard<std::mutex> guard(GGlobalLock);
    if (GGlobal == nullptr) return;
    GGlobal->RequestReopen();
    logger = GGlobalDefault;
  }
  logger->Log("日志文件重新打开: " + logger->LogFile(), llMessage);
  std::lock_guard<std::mutex> guard(GGlobalLock);  // the writer cannot go meanwhile
  if (GGlobal != nullptr) GGlobal->Wake();
}

TLoggerThread* TLoggerThread::Global() {
  std::lock_guard<std::mutex> guard(GGlobalLock);
  return GGlobal;
}

std::shared_ptr<TLogger> TLoggerThread::GlobalDefault() {
  std::lock_guard<std::mutex> guard(GGlobalLock);
  return GGlobalDefault;
}

void TLoggerThread::DeleteOldLogs(const std::string& folder, const TLogTime& now) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<fs::path> candidates;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!HasLogExtension(name)) continue;
    std::error_code typeError;
    if (it->is_directory(typeError)) continue;
    candidates.push_back(it->path());
  }
  const int64_t nowMs = LogTimeMilliseconds(now);
  for (const fs::path& file : candidates) {
    TLogTime date;
    if (!ParseLogFileDate(file.filename().string(), date)) continue;
    const int64_t dateMs = LogTimeMilliseconds(date);
    if (dateMs <= kDateZeroMs) continue;
    const int64_t wholeDays = (nowMs > dateMs ? nowMs - dateMs : dateMs - nowMs) / 86'400'000;
    if (wholeDays > 7) {
      std::error_code removeError;
      fs::remove(file, removeError);  // a file that cannot go is left for the next start
    }
  }
}

}  // namespace gw
