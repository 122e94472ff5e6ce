#include "app/HeadlessFrontEnd.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>

#include "admin/AdminLogRing.h"
#include "app/HeadlessSignals.h"
#include "common/PeerLimits.h"
#include "common/Platform.h"
#include "common/ServiceNotify.h"
#include "config/ControlChannel.h"
#include "config/GateShare.h"
#include "core/ClientGuard.h"
#include "core/GateWayServer.h"
#include "core/ListenerHandOff.h"
#include "core/ServiceControl.h"
#include "core/TakeOver.h"
#include "links/LogicSrvClient.h"
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
  TLogger::SetLogCallBack([this](const std::string& line, TLogLevel level) {
    ShowLine(line, level);
    TAdminLogRing::Instance().Add(line, level);
  });
}

THeadlessFrontEnd::~THeadlessFrontEnd() {
  TLogger::SetLogCallBack(nullptr);
  ShowMainLogMsg();
}

void THeadlessFrontEnd::BlockServiceSignals() { THeadlessSignals::Block(); }

void THeadlessFrontEnd::RunOnServiceThread(std::function<void(TServiceControl&)> Task) {
  {
    std::lock_guard<std::mutex> guard(FRequestsLock);
    if (!FServing) return;
    FServiceTasks.push_back(std::move(Task));
  }
  FRequested.notify_all();
}

void THeadlessFrontEnd::RequestStop() {
  {
    std::lock_guard<std::mutex> guard(FRequestsLock);
    ++FStopRequests;
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

void THeadlessFrontEnd::RequestDrain() {
  {
    std::lock_guard<std::mutex> guard(FRequestsLock);
    FDrainRequested = true;
  }
  FRequested.notify_one();
}

void THeadlessFrontEnd::RequestUpgrade() {
  {
    std::lock_guard<std::mutex> guard(FRequestsLock);
    FUpgradeRequested = true;
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
    signals.emplace([this] { RequestStop(); }, [this] { RequestReload(); },
                    [this] { RequestUpgrade(); });
    if (!signals->Watching()) {
      ShowMainLogMsg();
      return 1;
    }
  }
  const auto stopNow = [this] {
    {
      std::lock_guard<std::mutex> guard(FRequestsLock);
      FStopNow = true;
    }
    FRequested.notify_one();
  };
  // The controlling program reaches this process on the channel's handle (the process ID;
  // on Windows the channel's window).
  std::unique_ptr<TControlChannel> control;
  try {
    control = std::make_unique<TControlChannel>(CurrentProcessId());
    control->Start([this, stopNow](const TControlMessage& msg) {
      if (msg.Ident() == kCtlCloseGateWay) stopNow();
      if (msg.Ident() == kCtlDrainGateWay) RequestDrain();
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
      stopNow,
  });
  // Once the listeners went to a new process, that one speaks to the service manager (it sent
  // MAINPID): a word from this one (STOPPING=1 above all) would be taken for the service's.
  const auto notify = [&service](const std::string& state) {
    if (!service.HandedOver()) NotifyServiceManager(state);
  };
  std::unique_ptr<TGateWayAdmin> admin;
  const auto failStart = [&](const std::string& what) {
    if (admin) admin->Stop();
    {
      std::lock_guard<std::mutex> guard(FRequestsLock);
      FServing = false;
      FServiceTasks.clear();
    }
    // One line wherever it goes: a line break would end a notify message's field early.
    std::string cause = what;
    for (char& c : cause) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    FStartError = cause;
    if (admin) admin->Stop();
    NotifyServiceManager("STATUS=the service did not start: " + cause);
    if (OnStarted) OnStarted(false);
    if (control) control->Stop();
    ShowMainLogMsg();
    std::fprintf(stderr, "gateway: the service did not start: %s\n", cause.c_str());
    std::fflush(stderr);
    return kStartFailedExitCode;
  };

  // --take-over: the listening sockets come from the gateway serving this work folder, which
  // goes on accepting until this one can serve.
  std::unique_ptr<TTakeOver> takeOver;
  if (FTakeOver) {
    takeOver = std::make_unique<TTakeOver>();
    std::string error;
    if (!takeOver->Request(FWorkFolder, error)) {
      TLogger::LogError("--take-over: " + error);
      return failStart("--take-over: " + error);
    }
    TLogger::LogInfo("Take-over: listening sockets received from process " +
                     std::to_string(takeOver->OldProcessId()) + "; starting on them");
    service.SetInheritedListeners(takeOver->TakeSockets());
  }
  // The admin listener opens before the service starts, so that an address that cannot be
  // bound fails the start like the client port; its requests wait for the loop below.
  if (FAdminOptions) {
    admin = std::make_unique<TGateWayAdmin>(std::move(*FAdminOptions),
                                            [this](std::function<void(TServiceControl&)> task) {
                                              RunOnServiceThread(std::move(task));
                                            });
    FAdminOptions.reset();
    {
      std::lock_guard<std::mutex> guard(FRequestsLock);
      FServing = true;
    }
    std::string error;
    if (!admin->Start(error)) {
      TLogger::LogError(error);
      return failStart(error);
    }
  }
  // A service manager (systemd's Type=notify) learns when the gateway serves, reloads
  // and stops; without one nothing is sent. A failed start is no "ready": the manager sees
  // the process end with exit code 1 and the cause as its status, and can restart it.
  if (!service.StartService()) return failStart(service.StartError());
  // Binary upgrades: a new process started in this folder asks this one for its listeners.
  std::unique_ptr<TListenerHandOff> handOff;
  const auto listenForUpgrades = [&] {
    try {
      handOff = std::make_unique<TListenerHandOff>(service, FWorkFolder);
    } catch (const std::exception& e) {
      TLogger::LogWarning(std::string("Upgrade channel not open, no take-over of this gateway "
                                      "is possible: ") +
                          e.what());
    }
  };
  bool takingOver = takeOver != nullptr;
  const auto takeOverDeadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(limits::kTakeOverLinkWaitMs);
  if (!takingOver) {
    NotifyServiceManager("READY=1\nSTATUS=serving clients");
    listenForUpgrades();
  }
  if (OnStarted) OnStarted(true);

  int exitCode = 0;
  int stopsHandled = 0;
  auto nextSummary = std::chrono::steady_clock::now() + std::chrono::seconds(kSummaryIntervalSec);
  for (;;) {
    if (std::chrono::steady_clock::now() >= nextSummary) {
      nextSummary += std::chrono::seconds(kSummaryIntervalSec);
      if (TGateWaySocketServer* server = service.Server()) {
        TLogger::LogInfo("Guard: " + server->Guard().CountersText());
      }
    }
    ShowMainLogMsg();
    bool stop = false, reload = false, drain = false, upgrade = false;
    int stops = 0;
    std::vector<std::function<void(TServiceControl&)>> tasks;
    {
      std::unique_lock<std::mutex> lock(FRequestsLock);
      FRequested.wait_for(lock, std::chrono::milliseconds(kLogViewIntervalMs), [&] {
        return FStopNow || FStopRequests > stopsHandled || FReloadRequested || FDrainRequested ||
               FUpgradeRequested || !FServiceTasks.empty();
      });
      stop = FStopNow;
      stops = FStopRequests;
      reload = FReloadRequested;
      drain = FDrainRequested;
      upgrade = FUpgradeRequested;
      FReloadRequested = FDrainRequested = FUpgradeRequested = false;
      tasks.swap(FServiceTasks);
    }
    if (stop) break;
    if (stops > stopsHandled) {
      stopsHandled = stops;
      if (service.IsDraining()) {
        service.HurryDrain();  // a second stop request: the drain's end (and the stop) follow
      } else if (takingOver || !TServiceControl::DrainRelays() ||
                 !service.StartDrain("stop request")) {
        break;
      } else {
        notify("STOPPING=1\nSTATUS=draining");
      }
    }
    if (drain && !takingOver && service.StartDrain("control channel")) {
      notify("STOPPING=1\nSTATUS=draining");
    }
    if (upgrade) {
      if (takingOver || service.HandedOver() || service.IsDraining() || !service.IsRunning()) {
        TLogger::LogWarning("Upgrade request ignored: this gateway is not serving");
      } else {
        std::string error;
        const uint32_t pid = SpawnDetached(FSelf, error);
        if (pid == 0) {
          TLogger::LogError("Upgrade: cannot start " + FSelf.Program + ": " + error);
        } else {
          TLogger::LogInfo("Upgrade: started " + FSelf.Program + " --take-over (pid " +
                           std::to_string(pid) + "); it takes the listeners over once its links " +
                           "are up, then this gateway drains");
        }
      }
    }
    if (takingOver) {
      TGateWaySocketServer* server = service.Server();
      if (server != nullptr && server->LogicServer().IsConnected()) {
        // Before the old process may end: the service manager must follow this one by then.
        NotifyServiceManager("MAINPID=" + std::to_string(CurrentProcessId()));
        std::string error;
        if (!takeOver->AskDrain(error)) {
          TLogger::LogWarning("Take-over: process " + std::to_string(takeOver->OldProcessId()) +
                              " did not confirm its drain (" + error +
                              "); serving the port anyway");
        }
        service.BeginAccepting();
        TLogger::LogInfo("Take-over done: accepting new clients; process " +
                         std::to_string(takeOver->OldProcessId()) + " drains its sessions");
        takeOver.reset();
        takingOver = false;
        listenForUpgrades();
        NotifyServiceManager("READY=1\nSTATUS=serving clients");
      } else if (std::chrono::steady_clock::now() >= takeOverDeadline) {
        CountLimitBreach(TLimitBreach::lbTakeOverWait);
        const std::string cause =
            "--take-over abandoned: the logic server link did not come up "
            "within " +
            std::to_string(limits::kTakeOverLinkWaitMs / 1000) + " s; the running gateway (pid " +
            std::to_string(takeOver->OldProcessId()) + ") goes on serving";
        TLogger::LogError(cause);
        NotifyServiceManager("STATUS=" + cause);
        std::fprintf(stderr, "gateway: %s\n", cause.c_str());
        std::fflush(stderr);
        exitCode = kStartFailedExitCode;
        break;
      }
    }
    for (auto& task : tasks) task(service);
    if (admin) admin->Tick(service);
    if (!reload) continue;
    // As the console's reload command: errors go to the error handler's lines, with the
    // stack of the throw when the error carries one.
    notify("RELOADING=1");
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
    notify("READY=1");
  }
  handOff.reset();  // no hand-over starts while the service stops
  if (control) control->Stop();
  // The admin listener closes first: no request may reach a stopping service.
  if (admin) admin->Stop();
  {
    std::lock_guard<std::mutex> guard(FRequestsLock);
    FServing = false;
    FServiceTasks.clear();
  }
  if (exitCode == 0) notify("STOPPING=1");
  service.StopService();
  ShowMainLogMsg();
  return exitCode;
}

}  // namespace gw
