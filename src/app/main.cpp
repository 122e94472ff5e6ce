// The gateway program: process-wide objects, the command line, then a front-end.
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "app/CommandLine.h"
#include "app/HeadlessFrontEnd.h"
#include "common/Platform.h"
#include "common/ServiceHost.h"
#include "common/Utf8Path.h"
#include "codec/MessageCoder.h"
#include "core/ServiceControl.h"
#include "config/GateShare.h"
#include "logging/Logger.h"
#include "logging/LoggerThread.h"
#include "net/TlsContext.h"
#if GW_HAVE_CONSOLE
#include "console/ConsoleMain.h"
#endif

int main(int argc, char** argv) {
  using namespace gw;
  // Before any thread exists, so that every thread inherits the blocked signals.
  THeadlessFrontEnd::BlockServiceSignals();
  // Every message crosses three threads (I/O, worker, link) each way: see the function.
  UseThroughputScheduling();
  TCommandLine commandLine = ParseCommandLine(argc, argv);
  if (commandLine.Help) {
    std::fputs(
        "usage: gateway [--headless] [--log-utf8] [--send-interval MS] [-profile | -profilestart]\n"
        "               [--proxy-protocol [--proxy-from CIDR[,CIDR...]]] [--metrics ADDR:PORT]\n"
        "               [--tls-cert FILE --tls-key FILE] [LAUNCH_BLOCK]\n"
        "       gateway --service install|uninstall|run [--service-name NAME] [options]\n"
        "  --headless    run without the operator console; the log goes to standard output\n"
        "                (UTF-8)\n"
        "  --log-utf8    also write the log file's lines to a UTF-8 copy beside it\n"
        "                (Log/<name>.utf8.log) for tail -f and grep\n"
        "  --send-interval MS  least time between two sends to the clients (default 10;\n"
        "                0 sends as soon as the queued messages have been handled)\n"
        "  --proxy-protocol  clients come through a load balancer: every client connection\n"
        "                starts with a PROXY protocol header (v1 or v2) whose client address\n"
        "                is used for block lists, limits, the login and logic servers and logs\n"
        "  --proxy-from CIDR[,CIDR...]  balancer addresses allowed to send it (default\n"
        "                127.0.0.0/8,::1); connections from elsewhere are refused\n"
        "  --metrics ADDR:PORT  serve GET /metrics (Prometheus) and GET /healthz (200 while\n"
        "                both server links are up) on this address, e.g. 127.0.0.1:9100\n"
        "  --tls-cert FILE  PEM certificate of the client port, its chain after it (sent whole)\n"
        "  --tls-key FILE   PEM private key of that certificate; with both, the client port\n"
        "                speaks TLS only (wss://, TLS 1.2 and 1.3); SIGHUP reads both again\n"
        "  LAUNCH_BLOCK  enciphered launch parameter block of a controlling program\n"
        "  --service install|uninstall|run  Windows only: register the gateway as the\n"
        "                automatically started service NAME (default GateWay) with the other\n"
        "                options given, remove it (stopping it first), or run as it\n"
        "Settings: ./GateWay.xml (written with its defaults when missing), ./WordFilter.txt,\n"
        "./BlockIPList.txt, ./GateKeys.txt. Log files (UTF-16LE): Log/ beside the program.\n"
        "SIGHUP reloads the settings (with or without the console); SIGTERM or SIGINT stops\n"
        "the service (clients get a close frame 1001 first) and ends the program.\n",
        stdout);
    return 0;
  }
  if (!commandLine.Error.empty()) {
    std::fprintf(stderr, "gateway: %s (see gateway --help)\n", commandLine.Error.c_str());
    return 2;
  }
  if (commandLine.Service == TCommandLine::TServiceAction::Install ||
      commandLine.Service == TCommandLine::TServiceAction::Uninstall) {
    // Registering or removing the Windows service; where there is no Service Control
    // Manager the host says so and nothing else happens.
    const std::string& name = commandLine.ServiceName;
    std::string error;
    const bool done =
        commandLine.Service == TCommandLine::TServiceAction::Install
            ? TServiceHost::Install({name, "",
                                     "游戏网关: WebSocket clients to the login and logic servers",
                                     commandLine.ServiceArguments, ""},
                                    error)
            : TServiceHost::Uninstall(name, error);
    if (!error.empty()) std::fprintf(stderr, "gateway: %s\n", error.c_str());
    if (done) {
      std::printf("gateway: service %s %s\n", name.c_str(),
                  commandLine.Service == TCommandLine::TServiceAction::Install ? "installed"
                                                                               : "removed");
    }
    return done ? 0 : 1;
  }
  const bool asService = commandLine.Service == TCommandLine::TServiceAction::Run;
  if (asService && !TServiceHost::Available()) {
    std::fprintf(stderr, "gateway: %s\n", TServiceHost::kUnavailableText);
    return 1;
  }
  if (asService) {
    // A service starts in the system's folder; the settings and lists are the program's.
    std::error_code ec;
    std::filesystem::current_path(PathFromUtf8(ProgramFolder()), ec);
  }
  if (commandLine.SendInterval) TServiceControl::SetSendInterval(*commandLine.SendInterval);
  {
    TEdgeOptions edge;
    if (commandLine.ProxyProtocol) edge.ProxyFrom = commandLine.ProxyFrom;
    edge.Metrics = commandLine.Metrics;
    edge.MetricsHost = commandLine.MetricsHost;
    edge.MetricsPort = commandLine.MetricsPort;
    TServiceControl::SetEdgeOptions(std::move(edge));
  }
  TLoggerThread loggerThread(TLoggerThread::TOptions{commandLine.LogDir});
  if (!commandLine.TlsCert.empty()) {
    // A gateway that cannot serve wss must not come up serving nothing (or plain ws).
    std::string error;
    PTlsContext tls = TTlsContext::Load(commandLine.TlsCert, commandLine.TlsKey, error);
    if (!tls) {
      std::fprintf(stderr, "gateway: %s\n", error.c_str());
      TLogger::LogError("TLS: " + error + "; the gateway does not start");
      return 1;
    }
    TServiceControl::SetTlsCertificate(commandLine.TlsCert, commandLine.TlsKey, std::move(tls));
  }
  TLogger::SetDefaultUtf8Copy(commandLine.LogUtf8);
  if (commandLine.LogLevel) TLogger::SetDefaultLogLevel(*commandLine.LogLevel);
  MessageCoder();
  GateWayConfig();
  IPManager();
  WordList();

  // The console opens when a display is there, unless --headless asks for the service alone.
  // A display variable that names no reachable display falls back to the headless mode too.
  std::string noDisplay;
#if GW_HAVE_CONSOLE
  const bool console = !commandLine.Headless && !asService && ConsoleDisplayAvailable(&noDisplay);
#else
  const bool console = false;
#endif
  // Created before the lines below, so that they reach its log view. The console writes the
  // log file's place as its first line itself.
  std::optional<THeadlessFrontEnd> frontEnd;
  if (!console) {
    frontEnd.emplace();
    TLogger::LogFileLocation();
  }
  if (commandLine.Profile || commandLine.ProfileStart) {
    std::fprintf(stderr, "gateway: no profiling library on this platform; option ignored\n");
  }
  if (!commandLine.Headless && !asService && !console) {
#if GW_HAVE_CONSOLE
    TLogger::LogInfo(noDisplay + "，以无界面方式运行");
#else
    TLogger::LogInfo("此版本不含操作界面，以无界面方式运行");
#endif
  }
  const char* launchArgv[] = {argv[0], commandLine.LaunchBlock.c_str()};
  LoadLaunchParams(commandLine.LaunchBlock.empty() ? 1 : 2, launchArgv);
#if GW_HAVE_CONSOLE
  if (console) return RunConsole(argc, argv);
#endif
  if (asService) {
    // Under the Service Control Manager: its stop and reload controls are the signals' requests.
    TServiceHost::THandlers handlers;
    handlers.Run = [&frontEnd](TServiceHost::TStartReport& report) {
      return frontEnd->Run(
          [&](bool started) {
            if (started) {
              report.Running();
            } else {
              report.StartFailed("the gateway service did not start; see the log");
              frontEnd->RequestStop();
            }
          },
          false);
    };
    handlers.Stop = [&frontEnd] { frontEnd->RequestStop(); };
    handlers.Reload = [&frontEnd] { frontEnd->RequestReload(); };
    std::string error;
    const int code = TServiceHost::Run(commandLine.ServiceName, std::move(handlers), error);
    if (!error.empty()) std::fprintf(stderr, "gateway: %s\n", error.c_str());
    return code;
  }
  return frontEnd->Run();
}
