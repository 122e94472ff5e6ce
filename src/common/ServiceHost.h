// TServiceHost: runs the program as a Windows service under the Service Control Manager,
// and registers or removes it there. The host knows nothing of what the service does: the
// caller hands it a run procedure and the stop and reload actions, the same ones its
// signals (SIGTERM, SIGHUP) or console events trigger in a console.
//
// Controls and what they do:
//   SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN      -> Stop
//   SERVICE_CONTROL_PARAMCHANGE, kReloadControl (128)   -> Reload   ("sc control NAME 128")
//   SERVICE_CONTROL_INTERROGATE                         -> the current state again
//
// On other systems there is no Service Control Manager: every operation fails with
// kUnavailableText and changes nothing.
//
// Thread safety: Install, Uninstall and Query may be called from any thread. Run blocks the
// calling thread (the program's main thread) until the service has stopped; one Run per
// process. Stop and Reload run on the control dispatcher's thread, while Run's procedure
// runs on the service's own thread: they must only ask the running service to act, and stay
// callable until Run returns (a control may cross the procedure's return).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace gw {

class TServiceHost {
 public:
  // The user control code that reloads the settings; codes 128 to 255 are the service's own.
  static constexpr uint32_t kReloadControl = 128;
  // The arguments the installed service is started with, before the caller's own.
  static constexpr char kServiceOption[] = "--service";
  static constexpr char kRunAction[] = "run";
  // The answer of every operation where there is no Service Control Manager.
  static constexpr char kUnavailableText[] = "--service is only available on Windows";
  // The exit code reported for a run that failed without saying how (or threw).
  static constexpr int kFailedExitCode = 1;
  // How long the host waits for a service to stop before it removes it anyway.
  static constexpr uint32_t kStopWaitMs = 30000;

  // What Run's procedure reports while it starts.
  class TStartReport {
   public:
    virtual ~TStartReport() = default;
    // The service serves: the manager shows it running and starts sending controls.
    virtual void Running() = 0;
    // The start failed; `Why` goes to the event log. The procedure then returns its
    // exit code (kFailedExitCode when it returns 0).
    virtual void StartFailed(const std::string& Why) = 0;
  };

  struct THandlers {
    // Starts the service and serves until Stop asks it to end; returns the exit code
    // (0: a normal end). Runs on the service's thread, in the program's folder.
    std::function<int(TStartReport& Report)> Run;
    std::function<void()> Stop;    // asks Run to end; the dispatcher's thread
    std::function<void()> Reload;  // asks Run to reload its settings; the dispatcher's thread
  };

  // The service's state as the manager reports it.
  enum class TServiceState { NotInstalled, Stopped, StartPending, Running, StopPending, Other };
  struct TServiceStatus {
    TServiceState State = TServiceState::NotInstalled;
    uint32_t Win32ExitCode = 0;
    uint32_t ServiceExitCode = 0;  // the run procedure's code when Win32ExitCode says so
  };

  struct TInstallOptions {
    std::string Name;         // the service's key name ("sc start NAME")
    std::string DisplayName;  // the name in the services list; Name when empty
    std::string Description;
    std::vector<std::string> Arguments;  // after "--service run"
    std::string Program;                 // the executable's full path; this program when empty
  };
  // Registers the program as an automatically started service, started with
  // "--service run" followed by the arguments. False with the reason in `Error` when it
  // cannot (no administrator rights, the name is taken, ...). True with `Error` set when
  // the service is there but its description could not be stored.
  static bool Install(const TInstallOptions& Options, std::string& Error);
  // Stops the service `Name` when it runs (waiting up to kStopWaitMs) and removes it.
  static bool Uninstall(const std::string& Name, std::string& Error);
  // Starts the installed service `Name` (as "sc start" does); does not wait for it to run.
  static bool Start(const std::string& Name, std::string& Error);
  // Sends a control code (SERVICE_CONTROL_STOP is 1, kReloadControl for a reload).
  static bool Control(const std::string& Name, uint32_t Code, std::string& Error);
  // The state of service `Name`; NotInstalled when there is none. False on other errors.
  static bool Query(const std::string& Name, TServiceStatus& Status, std::string& Error);

  // Whether this system has a Service Control Manager.
  static bool Available();

  // Runs the service `Name` for the Service Control Manager: returns when it has stopped,
  // with Run's exit code. Fails at once (kFailedExitCode, with `Error`) when the program
  // was not started by the manager, e.g. "--service run" typed in a console.
  static int Run(const std::string& Name, THandlers Handlers, std::string& Error);

  // Writes an error line to the system's event log under the source `Name`; the
  // service's own log may not exist yet when its start fails. Nothing elsewhere.
  static void ReportEventError(const std::string& Name, const std::string& Text);

  // One argument quoted for a Windows command line so that CommandLineToArgvW gives it
  // back unchanged (backslashes before a quote doubled). Pure; any thread, any system.
  static std::string QuoteArgument(const std::string& Argument);
};

}  // namespace gw
