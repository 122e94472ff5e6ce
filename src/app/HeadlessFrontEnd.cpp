#include "app/HeadlessFrontEnd.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>

#include "common/Platform.h"
#include "common/ServiceNotify.h"
#include "config/ControlChannel.h"
#include "config/GateShare.h"
#include "core/ClientGuard.h"
#include "core/ServiceControl.h"
#include "logging/Logger.h"
#include "logging/TracedError.h"

namespace gw {

namespace {

sigset_t ServiceSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

void* LevelObject(TLogLevel level) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(level));
}

}  // namespace

THeadlessFrontEnd::THeadlessFrontEnd(std::FILE* Out)
    : FOut(Out), FColour(isatty(fileno(Out)) != 0) {
  TLogger::SetLogCallBack(
      [this](const std::string& line, TLogLevel level) { ShowLine(line, level); });
}

THeadlessFrontEnd::~THeadlessFrontEnd() {
  TLogger::SetLogCallBack(nullptr);
  ShowMainLogMsg();
}

void THeadlessFrontEnd::BlockServiceSignals() {
  sigset_t set = ServiceSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
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

void THeadlessFrontEnd::ShowMainLogMsg() {
  FLogList.Flush();
  for (const TStringListEntry& entry : FLogList) {
    auto level = static_cast<TLogLevel>(reinterpret_cast<uintptr_t>(entry.Obj));
    if (FColour) {
      std::fprintf(FOut, "%s%s\x1b[0m\n", LevelColour(level), entry.Str.c_str());
    } else {
      std::fprintf(FOut, "%s\n", entry.Str.c_str());
    }
  }
  FLogList.Clear();
  std::fflush(FOut);
}

int THeadlessFrontEnd::Run() {
  sigset_t set = ServiceSignals();
  int signalFd = signalfd(-1, &set, SFD_CLOEXEC);
  if (signalFd < 0) {
    TLogger::LogError("OnException:signalfd failed");
    ShowMainLogMsg();
    return 1;
  }
  // The controlling program reaches this process on its process ID.
  uint32_t handle = CurrentProcessId();
  std::unique_ptr<TControlChannel> control;
  try {
    control = std::make_unique<TControlChannel>(handle);
  } catch (const std::exception& e) {
    TLogger::LogError(std::string("OnException:") + e.what());
  }
  SendStatusMessage(kCtlMainWindowHandle, std::to_string(handle));

  TServiceControl service({
      [this](const std::string& line, TLogLevel level) { ShowLine(line, level); },
      nullptr,
      nullptr,
  });
  // A service manager (systemd's Type=notify) learns when the gateway serves, reloads
  // and stops; without one nothing is sent.
  const bool started = service.StartService();
  NotifyServiceManager(started ? "READY=1\nSTATUS=serving clients"
                               : "READY=1\nSTATUS=the service did not start; see the log");

  bool running = true;
  auto nextSummary = std::chrono::steady_clock::now() + std::chrono::seconds(kSummaryIntervalSec);
  while (running) {
    if (std::chrono::steady_clock::now() >= nextSummary) {
      nextSummary += std::chrono::seconds(kSummaryIntervalSec);
      TLogger::LogInfo("Guard: " + TClientGuard::CountersText());
    }
    ShowMainLogMsg();
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {control ? control->Fd() : -1, POLLIN, 0}};
    if (poll(fds, 2, kLogViewIntervalMs) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info;
      if (read(signalFd, &info, sizeof(info)) == sizeof(info)) {
        if (info.ssi_signo == SIGHUP) {
          // As the console's reload command: errors go to the error handler's lines, with
          // the stack of the throw when the error carries one.
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
        } else {
          running = false;
        }
      }
    }
    if (control && (fds[1].revents & POLLIN)) {
      while (std::optional<TControlMessage> msg = control->Receive()) {
        if (msg->Ident() == kCtlCloseGateWay) running = false;
      }
    }
  }
  NotifyServiceManager("STOPPING=1");
  service.StopService();
  ShowMainLogMsg();
  close(signalFd);
  return 0;
}

}  // namespace gw
