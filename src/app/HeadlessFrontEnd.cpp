#include "app/HeadlessFrontEnd.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>

#include "app/HeadlessSignals.h"
#include "common/Platform.h"
#include "common/ServiceNotify.h"
#include "config/ControlChannel.h"
#include "config/GateShare.h"
#include "core/ClientGuard.h"
#include "core/GateWayServer.h"
#include "core/ServiceControl.h"
#include "logging/Logger.h"
#include "logging/TracedError.h"

namespace gw {

namespace {

void* LevelObject(TLogLevel level) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(level));
}

}  // namespace

THeadlessFrontEnd::THeadlessFrontEnd(std::FILE* Out)
    : FOut(Out), FJournal(IsJournalStream(Out)), FColour(!FJournal && isatty(fileno(Out)) != 0) {
  TLogger::SetLogCallBack(
      [this](const std::string& line, TLogLevel level) { ShowLine(line, level); });
}

THeadlessFrontEnd::~THeadlessFrontEnd() {
  TLogger::SetLogCallBack(nullptr);
  ShowMainLogMsg();
}

void THeadlessFrontEnd::BlockServiceSignals() { THeadlessSignals::Block(); }

void THeadlessFrontEnd::RequestStop() {
  {
    std::lock_guard<std::mutex> guard(FRequestsLock);
    FStopRequested = true;
  }
  FRequested.notify_one();
}

void THeadlessFrontEnd::RequestReload() {
  {
    std::lock_guard<std::mutex> guard(FRequestsLock);
    FReloadRequested = true;
  }
  FRequested.notify_one();
}

void THeadlessFrontEnd::ShowLine(const std::string& Line, TLogLevel Level) {
  FLogList.Append(Line, LevelObject(Level));
}

const char* THeadlessFrontEnd::LevelColour(TLogLevel Level) {
  switch (Level) {
    case llMessage:
      return "\x1b[30;47m";  // black on white
    case llFatal:
    case llError:
      return "\x1b[37;41m";  // white on red
    case llWarning:
      return "\x1b[30;43m";  // black on yellow
    case llDebug:
      return "\x1b[37;44m";  // white on blue
  }
  return "";
}

const char* THeadlessFrontEnd::JournalPriority(TLogLevel Level) {
  switch (Level) {
    case llFatal:
    case llError:
      return "<3>";
    case llWarning:
      return "<4>";
    case llDebug:
      return "<7>";
    case llMessage:
      break;
  }
  return "<6>";
}

bool THeadlessFrontEnd::IsJournalStream(std::FILE* Out) {
  // systemd sets "device:inode" of the stream it connected; a program whose output was
  // redirected elsewhere by its parent sees another file there and writes plain lines.
  const char* value = std::getenv("JOURNAL_STREAM");
  if (value == nullptr) return false;
  unsigned long long device = 0, inode = 0;
  char end = 0;
  if (std::sscanf(value, "%llu:%llu%c", &device, &inode, &end) != 2) return false;
  struct stat st {};
  if (fstat(fileno(Out), &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == device &&
         static_cast<unsigned long long>(st.st_ino) == inode;
}

void THeadlessFrontEnd::ShowMainLogMsg() {
  FLogList.Flush();
  for (const TStringListEntry& entry : FLogList) {
    auto level = static_cast<TLogLevel>(reinterpret_cast<uintptr_t>(entry.Obj));
    if (FJournal) {
      // A line with breaks would be several journal entries: each gets the priority.
      std::string text = entry.Str;
      for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 4))
        text.insert(at + 1, JournalPriority(level));
      std::fprintf(FOut, "%s%s\n", JournalPriority(level), text.c_str());
    } else if (FColour) {
      std::fprintf(FOut, "%s%s\x1b[0m\n", LevelColour(level), entry.Str.c_str());
    } else {
      std::fprintf(FOut, "%s\n", entry.Str.c_str());
    }
  }
  FLogList.Clear();
  std::fflush(FOut);
}

int THeadlessFrontEnd::Run(const std::function<void(bool Started)>& OnStarted, bool WatchSignals) {
  std::optional<THeadlessSignals> signals;
  if (WatchSignals) {
    signals.emplace([this] { RequestStop(); }, [this] { RequestReload(); });
    if (!signals->Watching()) {
      ShowMainLogMsg();
      return 1;
    }
  }
  // The controlling program reaches this process on the channel's handle (the process ID;
  // on Windows the channel's window).
  std::unique_ptr<TControlChannel> control;
  try {
    control = std::make_unique<TControlChannel>(CurrentProcessId());
    control->Start([this](const TControlMessage& msg) {
      if (msg.Ident() == kCtlCloseGateWay) RequestStop();
    });
  } catch (const std::exception& e) {
    // A name someone else holds (or an unsafe folder) would leave the controller talking to
    // a stranger: the start fails instead.
    TLogger::LogError(std::string("OnException:") + e.what());
    ShowMainLogMsg();
    return 1;
  }
  SendStatusMessage(kCtlMainWindowHandle,
                    std::to_string(control ? control->Handle() : CurrentProcessId()));

  TServiceControl service({
      [this](const std::string& line, TLogLevel level) { ShowLine(line, level); },
      nullptr,
      nullptr,
  });
  // A service manager (systemd's Type=notify) learns when the gateway serves, reloads
  // and stops; without one nothing is sent. A failed start is no "ready": the manager sees
  // the process end with exit code 1 and the cause as its status, and can restart it.
  const bool started = service.StartService();
  if (!started) {
    // One line wherever it goes: a line break would end a notify message's field early.
    std::string cause = service.StartError();
    for (char& c : cause) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    FStartError = cause;
    NotifyServiceManager("STATUS=the service did not start: " + cause);
    if (OnStarted) OnStarted(false);
    if (control) control->Stop();
    ShowMainLogMsg();
    std::fprintf(stderr, "gateway: the service did not start: %s\n", cause.c_str());
    std::fflush(stderr);
    return kStartFailedExitCode;
  }
  NotifyServiceManager("READY=1\nSTATUS=serving clients");
  if (OnStarted) OnStarted(true);

  auto nextSummary = std::chrono::steady_clock::now() + std::chrono::seconds(kSummaryIntervalSec);
  for (;;) {
    if (std::chrono::steady_clock::now() >= nextSummary) {
      nextSummary += std::chrono::seconds(kSummaryIntervalSec);
      if (TGateWaySocketServer* server = service.Server()) {
        TLogger::LogInfo("Guard: " + server->Guard().CountersText());
      }
    }
    ShowMainLogMsg();
    bool stop = false, reload = false;
    {
      std::unique_lock<std::mutex> lock(FRequestsLock);
      FRequested.wait_for(lock, std::chrono::milliseconds(kLogViewIntervalMs),
                          [this] { return FStopRequested || FReloadRequested; });
      stop = FStopRequested;
      reload = FReloadRequested;
      FReloadRequested = false;
    }
    if (stop) break;
    if (!reload) continue;
    // As the console's reload command: errors go to the error handler's lines, with the
    // stack of the throw when the error carries one.
    NotifyServiceManager("RELOADING=1");
    try {
      service.LoadConfig();
    } catch (const ETracedError& e) {
      TLogger::LogError(std::string("OnException:") + e.what());
      for (const std::string& line : e.StackLines()) TLogger::LogError(line);
    } catch (const std::exception& e) {
      TLogger::LogError(std::string("OnException:") + e.what());
    }
    // A renewed certificate is taken up whatever became of the settings.
    service.ReloadTlsCertificate();
    NotifyServiceManager("READY=1");
  }
  if (control) control->Stop();
  NotifyServiceManager("STOPPING=1");
  service.StopService();
  ShowMainLogMsg();
  return 0;
}

}  // namespace gw
