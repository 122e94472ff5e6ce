#include "common/ServiceHost.h"

#include <windows.h>
#include <winsvc.h>  // the build leaves it out of <windows.h> (NOSERVICE)

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>

#include "common/Platform.h"
#include "common/WideText.h"

namespace gw {

namespace {

// How long the manager should wait for the next state report while starting or stopping.
constexpr DWORD kPendingWaitHintMs = 30000;

struct TScHandleClose {
  void operator()(SC_HANDLE Handle) const { ::CloseServiceHandle(Handle); }
};
using TScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, TScHandleClose>;

// "what failed: the system's text (code)".
std::string SystemErrorText(const std::string& What, DWORD Code) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, Code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (length > 0 && buffer != nullptr) text = Utf8FromWide(buffer, length);
  if (buffer != nullptr) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  if (text.empty()) text = "system error";
  return What + ": " + text + " (" + std::to_string(Code) + ")";
}

TScHandle OpenManager(DWORD Access, std::string& Error) {
  TScHandle manager(::OpenSCManagerW(nullptr, nullptr, Access));
  if (!manager) Error = SystemErrorText("OpenSCManager", ::GetLastError());
  return manager;
}

TServiceHost::TServiceState StateOf(DWORD State) {
  using S = TServiceHost::TServiceState;
  switch (State) {
    case SERVICE_STOPPED:
      return S::Stopped;
    case SERVICE_START_PENDING:
      return S::StartPending;
    case SERVICE_RUNNING:
      return S::Running;
    case SERVICE_STOP_PENDING:
      return S::StopPending;
    default:
      return S::Other;
  }
}

// The one service this process runs (StartServiceCtrlDispatcherW knows no context for
// the service's main function). Set by Run before the dispatcher starts, cleared after.
class TRunningService final : public TServiceHost::TStartReport {
 public:
  TRunningService(std::wstring Name, TServiceHost::THandlers Handlers)
      : FName(std::move(Name)), FHandlers(std::move(Handlers)) {}

  void Main();
  DWORD Control(DWORD Code);

  void Running() override {
    std::lock_guard<std::mutex> guard(FStatusLock);
    FStartReported = true;
    SetStateLocked(SERVICE_RUNNING, NO_ERROR, 0);
  }
  void StartFailed(const std::string& Why) override {
    std::lock_guard<std::mutex> guard(FStatusLock);
    FStartFailure = Why.empty() ? std::string("the start failed") : Why;
  }

  int ExitCode() const { return FExitCode; }

 private:
  // FStatusLock held. SetServiceStatus only tells the manager; it never waits on the service.
  void SetStateLocked(DWORD State, DWORD Win32ExitCode, DWORD ServiceExitCode) {
    FStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    FStatus.dwCurrentState = State;
    FStatus.dwWin32ExitCode = Win32ExitCode;
    FStatus.dwServiceSpecificExitCode = ServiceExitCode;
    FStatus.dwControlsAccepted =
        State == SERVICE_RUNNING
            ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE
            : 0;
    const bool pending = State == SERVICE_START_PENDING || State == SERVICE_STOP_PENDING;
    FStatus.dwWaitHint = pending ? kPendingWaitHintMs : 0;
    FStatus.dwCheckPoint = pending ? ++FCheckPoint : 0;
    if (FStatusHandle != nullptr) ::SetServiceStatus(FStatusHandle, &FStatus);
  }

  const std::wstring FName;
  const TServiceHost::THandlers FHandlers;
  int FExitCode = 0;

  std::mutex FStatusLock;  // guards the fields below (the service's and the dispatcher's threads)
  SERVICE_STATUS_HANDLE FStatusHandle = nullptr;
  SERVICE_STATUS FStatus{};
  DWORD FCheckPoint = 0;
  bool FStartReported = false;
  bool FStopRequested = false;
  bool FRunDone = false;
  std::string FStartFailure;
};

TRunningService* GRunningService = nullptr;

DWORD WINAPI ServiceControlHandler(DWORD Code, DWORD, LPVOID, LPVOID Context) {
  return static_cast<TRunningService*>(Context)->Control(Code);
}

void WINAPI ServiceMainEntry(DWORD, LPWSTR*) {
  if (GRunningService != nullptr) GRunningService->Main();
}

DWORD TRunningService::Control(DWORD Code) {
  switch (Code) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: {
      {
        std::lock_guard<std::mutex> guard(FStatusLock);
        if (FStopRequested || FRunDone) return NO_ERROR;
        FStopRequested = true;
        SetStateLocked(SERVICE_STOP_PENDING, NO_ERROR, 0);
      }
      if (FHandlers.Stop) FHandlers.Stop();
      return NO_ERROR;
    }
    case SERVICE_CONTROL_PARAMCHANGE:
    case TServiceHost::kReloadControl: {
      {
        std::lock_guard<std::mutex> guard(FStatusLock);
        if (FRunDone || !FStartReported) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
      }
      if (FHandlers.Reload) FHandlers.Reload();
      return NO_ERROR;
    }
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void TRunningService::Main() {
  const std::string name = Utf8FromWide(FName.data(), FName.size());
  SERVICE_STATUS_HANDLE handle =
      ::RegisterServiceCtrlHandlerExW(FName.c_str(), ServiceControlHandler, this);
  if (handle == nullptr) {
    TServiceHost::ReportEventError(
        name, SystemErrorText("RegisterServiceCtrlHandlerEx", ::GetLastError()));
    FExitCode = TServiceHost::kFailedExitCode;
    return;
  }
  {
    std::lock_guard<std::mutex> guard(FStatusLock);
    FStatusHandle = handle;
    SetStateLocked(SERVICE_START_PENDING, NO_ERROR, 0);
  }
  // A service starts in the system folder; the program's files lie beside it.
  const std::wstring folder = WideFromUtf8(ProgramFolder());
  if (ProgramPath().empty() || !::SetCurrentDirectoryW(folder.c_str())) {
    TServiceHost::ReportEventError(
        name, SystemErrorText("the service cannot enter the program's folder", ::GetLastError()));
  }

  int code = 0;
  std::string failure;
  try {
    code = FHandlers.Run ? FHandlers.Run(*this) : TServiceHost::kFailedExitCode;
  } catch (const std::exception& e) {
    failure = std::string("the service ended with an error: ") + e.what();
  } catch (...) {
    failure = "the service ended with an unknown error";
  }
  bool startReported = false;
  {
    std::lock_guard<std::mutex> guard(FStatusLock);
    FRunDone = true;  // from here on controls find nothing to stop or reload
    startReported = FStartReported;
    if (failure.empty() && !FStartFailure.empty()) {
      failure = "the service did not start: " + FStartFailure;
    }
  }
  if (failure.empty() && !startReported) failure = "the service ended before it was running";
  if (!failure.empty() && code == 0) code = TServiceHost::kFailedExitCode;
  if (failure.empty() && code != 0)
    failure = "the service ended with exit code " + std::to_string(code);
  if (!failure.empty()) TServiceHost::ReportEventError(name, name + ": " + failure);
  FExitCode = code;
  // After STOPPED the manager may end the process at any moment: nothing may follow it
  // but returning to the dispatcher.
  std::lock_guard<std::mutex> guard(FStatusLock);
  SetStateLocked(SERVICE_STOPPED, code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR,
                 static_cast<DWORD>(code));
}

}  // namespace

bool TServiceHost::Install(const TInstallOptions& Options, std::string& Error) {
  std::string program = Options.Program;
  if (program.empty()) {
    program = ProgramPath();
    if (program.empty()) {
      Error = SystemErrorText("GetModuleFileName", ::GetLastError());
      return false;
    }
  }
  std::string commandLine = QuoteArgument(program) + " " + kServiceOption + " " + kRunAction;
  for (const std::string& argument : Options.Arguments)
    commandLine += " " + QuoteArgument(argument);
  const std::string& Name = Options.Name;
  const std::string& DisplayName = Options.DisplayName;
  const std::string& Description = Options.Description;

  TScHandle manager = OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE, Error);
  if (!manager) return false;
  const std::wstring name = WideFromUtf8(Name);
  const std::wstring display = WideFromUtf8(DisplayName.empty() ? Name : DisplayName);
  const std::wstring command = WideFromUtf8(commandLine);
  TScHandle service(::CreateServiceW(
      manager.get(), name.c_str(), display.c_str(), SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr,
      nullptr, nullptr, nullptr, nullptr));
  if (!service) {
    Error = SystemErrorText("CreateService " + Name, ::GetLastError());
    return false;
  }
  if (!Description.empty()) {
    std::wstring text = WideFromUtf8(Description);
    SERVICE_DESCRIPTIONW description{text.data()};
    if (!::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description)) {
      // The service is there and runs; only its description in the list is missing.
      Error = SystemErrorText("ChangeServiceConfig2 (description)", ::GetLastError());
    }
  }
  return true;
}

bool TServiceHost::Uninstall(const std::string& Name, std::string& Error) {
  TScHandle manager = OpenManager(SC_MANAGER_CONNECT, Error);
  if (!manager) return false;
  const std::wstring name = WideFromUtf8(Name);
  TScHandle service(
      ::OpenServiceW(manager.get(), name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) {
    Error = SystemErrorText("OpenService " + Name, ::GetLastError());
    return false;
  }
  SERVICE_STATUS status{};
  bool stopped =
      ::QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOPPED;
  if (!stopped) {
    if (status.dwCurrentState != SERVICE_STOP_PENDING &&
        !::ControlService(service.get(), SERVICE_CONTROL_STOP, &status) &&
        ::GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
      Error = SystemErrorText("ControlService " + Name + " (stop)", ::GetLastError());
    }
    // The manager has no wait for a state: its documented way is to ask again after a
    // tenth of the service's wait hint (between 0.1 and 1 s), up to the deadline.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopWaitMs);
    while (::QueryServiceStatus(service.get(), &status) &&
           status.dwCurrentState != SERVICE_STOPPED &&
           std::chrono::steady_clock::now() < deadline) {
      const DWORD pause = std::min<DWORD>(std::max<DWORD>(status.dwWaitHint / 10, 100), 1000);
      std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
    stopped = status.dwCurrentState == SERVICE_STOPPED;
  }
  if (!::DeleteService(service.get()) && ::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
    Error = SystemErrorText("DeleteService " + Name, ::GetLastError());
    return false;
  }
  if (!stopped) {
    Error = Name + " did not stop within " + std::to_string(kStopWaitMs / 1000) +
            " s; it is removed once it stops";
    return false;
  }
  return true;
}

bool TServiceHost::Start(const std::string& Name, std::string& Error) {
  TScHandle manager = OpenManager(SC_MANAGER_CONNECT, Error);
  if (!manager) return false;
  const std::wstring name = WideFromUtf8(Name);
  TScHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_START));
  if (!service || !::StartServiceW(service.get(), 0, nullptr)) {
    Error = SystemErrorText("StartService " + Name, ::GetLastError());
    return false;
  }
  return true;
}

bool TServiceHost::Control(const std::string& Name, uint32_t Code, std::string& Error) {
  TScHandle manager = OpenManager(SC_MANAGER_CONNECT, Error);
  if (!manager) return false;
  const std::wstring name = WideFromUtf8(Name);
  const DWORD access = Code == SERVICE_CONTROL_STOP ? SERVICE_STOP
                       : Code >= 128                ? SERVICE_USER_DEFINED_CONTROL
                                                    : SERVICE_PAUSE_CONTINUE;
  TScHandle service(::OpenServiceW(manager.get(), name.c_str(), access));
  SERVICE_STATUS status{};
  if (!service || !::ControlService(service.get(), Code, &status)) {
    Error = SystemErrorText("ControlService " + Name + " (" + std::to_string(Code) + ")",
                            ::GetLastError());
    return false;
  }
  return true;
}

bool TServiceHost::Query(const std::string& Name, TServiceStatus& Status, std::string& Error) {
  Status = TServiceStatus{};
  TScHandle manager = OpenManager(SC_MANAGER_CONNECT, Error);
  if (!manager) return false;
  const std::wstring name = WideFromUtf8(Name);
  TScHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
  if (!service) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_SERVICE_DOES_NOT_EXIST) return true;
    Error = SystemErrorText("OpenService " + Name, code);
    return false;
  }
  SERVICE_STATUS status{};
  if (!::QueryServiceStatus(service.get(), &status)) {
    Error = SystemErrorText("QueryServiceStatus " + Name, ::GetLastError());
    return false;
  }
  Status.State = StateOf(status.dwCurrentState);
  Status.Win32ExitCode = status.dwWin32ExitCode;
  Status.ServiceExitCode = status.dwServiceSpecificExitCode;
  return true;
}

int TServiceHost::Run(const std::string& Name, THandlers Handlers, std::string& Error) {
  if (GRunningService != nullptr) {
    Error = "the service already runs in this process";
    return kFailedExitCode;
  }
  std::wstring name = WideFromUtf8(Name);
  TRunningService service(name, std::move(Handlers));
  GRunningService = &service;
  SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMainEntry}, {nullptr, nullptr}};
  const bool dispatched = ::StartServiceCtrlDispatcherW(table) != 0;
  const DWORD code = ::GetLastError();
  GRunningService = nullptr;
  if (!dispatched) {
    Error = code == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
                ? "not started by the Service Control Manager: install the service with "
                  "--service install and start it with \"sc start " +
                      Name + "\""
                : SystemErrorText("StartServiceCtrlDispatcher", code);
    return kFailedExitCode;
  }
  return service.ExitCode();
}

void TServiceHost::ReportEventError(const std::string& Name, const std::string& Text) {
  const std::wstring name = WideFromUtf8(Name);
  HANDLE source = ::RegisterEventSourceW(nullptr, name.c_str());
  if (source == nullptr) return;
  const std::wstring text = WideFromUtf8(Text);
  const wchar_t* strings[] = {text.c_str()};
  ::ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr);
  ::DeregisterEventSource(source);
}

bool TServiceHost::Available() { return true; }

}  // namespace gw
