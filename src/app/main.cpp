// The gateway program: process-wide objects, the command line, then a front-end.
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "admin/AdminTokens.h"
#include "admin/GateWayAdmin.h"
#include "app/CommandLine.h"
#include "app/HeadlessFrontEnd.h"
#include "app/SettingsCheck.h"
#include "codec/MessageCoder.h"
#include "common/AnsiCodePage.h"
#include "common/BuildInfo.h"
#include "common/Platform.h"
#include "common/ServiceHost.h"
#include "common/ServiceNotify.h"
#include "common/Utf8Path.h"
#include "config/GateShare.h"
#include "config/LaunchParams.h"
#include "config/UpgradeChannel.h"
#include "core/ServiceControl.h"
#include "logging/Logger.h"
#include "logging/LoggerThread.h"
#include "net/TlsContext.h"
#if GW_HAVE_CONSOLE
#include <QtGlobal>

#include "console/ConsoleMain.h"
#endif

namespace {

// The program's exit codes (the README's table).
constexpr int kExitOk = 0;           // a normal stop, --help, --version
constexpr int kExitStartFailed = 1;  // the service could not start; one line on stderr says why
constexpr int kExitUsage = 2;        // the command line is wrong; one line on stderr says how

constexpr char kUsageText[] =
    "usage: gateway [--headless] [--dir PATH] [--log-dir PATH] [--log-level LEVEL]\n"
    "               [--log-utf8] [--send-interval MS] [-profile | -profilestart]\n"
    "               [--proxy-protocol [--proxy-from CIDR[,CIDR...]]] [--metrics ADDR:PORT]\n"
    "               [--tls-cert FILE --tls-key FILE] [--drain-seconds N]\n"
    "               [--drain-notice-seconds M] [--take-over]\n"
    "               [--admin ADDR:PORT --admin-token-file FILE] [LAUNCH_BLOCK]\n"
    "       gateway --check [--dir PATH] [options]\n"
    "       gateway --version | --help\n"
    "       gateway --service install|uninstall|run [--service-name NAME] [options]\n"
    "  --headless    run without the operator console; the log goes to standard output\n"
    "                (UTF-8)\n"
    "  --dir PATH    work folder: GateWay.xml, WordFilter.txt, BlockIPList.txt and\n"
    "                GateKeys.txt are read there (default: the current folder)\n"
    "  --check       check the settings, lists, keys, TLS pair and options, print the\n"
    "                settings in force and every problem, exit 0 (good) or 1; serves nothing\n"
    "  --log-dir PATH  folder of the log files (default: Log/ beside the program)\n"
    "  --log-level LEVEL  debug (default), info, warning or error: the least severe level\n"
    "                written; info leaves out the per-client debug lines\n"
    "  --log-utf8    also write the log file's lines to a UTF-8 copy beside it\n"
    "                (<name>.utf8.log) for tail -f and grep\n"
    "  --send-interval MS  least time between two sends to the clients (default 10;\n"
    "                0 sends as soon as the queued messages have been handled)\n"
    "  -profile, -profilestart  accepted for the controlling program; no profiler here\n"
    "  --proxy-protocol  clients come through a load balancer: every client connection\n"
    "                starts with a PROXY protocol header (v1 or v2) whose client address\n"
    "                is used for block lists, limits, the login and logic servers and logs\n"
    "  --proxy-from CIDR[,CIDR...]  balancer addresses allowed to send it (default\n"
    "                127.0.0.0/8,::1); connections from elsewhere are refused\n"
    "  --metrics ADDR:PORT  serve GET /metrics (Prometheus) and GET /healthz (200 while\n"
    "                both server links are up) on this address, e.g. 127.0.0.1:7280;\n"
    "                the endpoint has no authentication: keep it on a loopback address\n"
    "  --tls-cert FILE  PEM certificate of the client port, its chain after it (sent whole)\n"
    "  --tls-key FILE   PEM private key of that certificate; with both, the client port\n"
    "                speaks TLS only (wss://, TLS 1.2 and 1.3); SIGHUP reads both again\n"
    "  --drain-seconds N  a stop (SIGTERM, SIGINT, the console's stop) drains for up to N\n"
    "                seconds (0 to 86400, default 2): /healthz answers 503 \"draining\",\n"
    "                sessions are relayed until they leave; the last 2 s are the close\n"
    "                frames' (1001) grace for whoever is left; a second SIGTERM ends it at once\n"
    "  --drain-notice-seconds M  the client port still accepts for the first M seconds\n"
    "                of a drain (default 0), while the balancer's health check notices\n"
    "  --take-over   Linux: take the listening sockets over from the gateway running in\n"
    "                the same work folder, serve on them once the logic link is up, and\n"
    "                have the old one drain (a binary upgrade; SIGUSR2 to the running\n"
    "                gateway starts one); runs headless\n"
    "  --admin ADDR:PORT  serve the admin API (/api/...) and the web console (/) on this\n"
    "                address, e.g. 127.0.0.1:7290 (off by default); every API request needs\n"
    "                a bearer token; beyond loopback it needs --tls-cert/--tls-key (https)\n"
    "  --admin-token-file FILE  the admin tokens, one name:token line each; the file must\n"
    "                be readable by its owner only (chmod 600)\n"
    "  LAUNCH_BLOCK  enciphered launch parameter block of a controlling program; without\n"
    "                the console, a word that does not decode as one is a usage error\n"
    "  --service install|uninstall|run  Windows only: register the gateway as the\n"
    "                automatically started service NAME (default GateWay) with the other\n"
    "                options given, remove it (stopping it first), or run as it\n"
    "  --service-name NAME  the Windows service's name\n"
    "  --version     print the version, commit, build date and library versions\n"
    "  --help, -h    print this text\n"
    "Settings: GateWay.xml (written with its defaults when missing), WordFilter.txt,\n"
    "BlockIPList.txt, GateKeys.txt in the work folder. Log files (UTF-16LE): Log/ beside\n"
    "the program. SIGHUP reloads the settings (with or without the console); SIGTERM or\n"
    "SIGINT stops the service (drains, then clients get a close frame 1001) and ends the\n"
    "program; SIGUSR2 starts a binary upgrade (gateway --take-over with the same options).\n"
    "Exit codes: 0 stopped normally (or --help, --version), 1 the service could not start\n"
    "(the cause on standard error), 2 a usage error.\n";

// Whether `host` reaches beyond this machine: every interface, or an address that is not
// a loopback one.
bool BeyondLoopback(const std::string& host) {
  if (host == "*" || host.empty()) return true;
  if (host == "localhost" || host == "::1") return false;
  return !host.starts_with("127.");
}

// Options that work but expose the gateway get a warning line at every start.
void WarnRiskyOptions(const gw::TCommandLine& commandLine) {
  using gw::TLogger;
  if (commandLine.Metrics && BeyondLoopback(commandLine.MetricsHost)) {
    TLogger::LogWarning("--metrics " + commandLine.MetricsHost + ":" +
                        std::to_string(commandLine.MetricsPort) +
                        " is reachable beyond this host: /metrics and /healthz have no "
                        "authentication; bind them to a loopback address or firewall the port");
  }
  if (commandLine.ProxyProtocol) {
    for (const gw::TCidr& cidr : commandLine.ProxyFrom) {
      if (cidr.PrefixBits == 0) {
        TLogger::LogWarning("--proxy-from trusts every address (" + gw::CidrListText({cidr}) +
                            "): any client can send a PROXY header and forge its address, "
                            "passing the block lists and the per-address limits");
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace gw;
  // Before any thread exists, so that every thread inherits the blocked signals.
  THeadlessFrontEnd::BlockServiceSignals();
  // Every message crosses three threads (I/O, worker, link) each way: see the function.
  UseThroughputScheduling();
  TCommandLine commandLine = ParseCommandLine(argc, argv);
  // How the program starts itself again for an upgrade (SIGUSR2): the same file (a package
  // upgrade replaces it under that name), the same options, from the same folder.
  TSelfCommand self;
  self.Program = ProgramPath();
  {
    const std::vector<std::string> arguments = ProgramArguments(argc, argv);
    self.Arguments.assign(arguments.begin() + (arguments.empty() ? 0 : 1), arguments.end());
    if (!commandLine.TakeOver) self.Arguments.push_back("--take-over");
    std::error_code ec;
    self.Folder = Utf8FromPath(std::filesystem::current_path(ec));
  }
  if (commandLine.Help) {
    std::fputs(kUsageText, stdout);
    return kExitOk;
  }
  if (commandLine.Version) {
    std::printf("gateway %s\ncommit %s\nbuilt %s\n%s\n", std::string(BuildVersion()).c_str(),
                std::string(BuildCommit()).c_str(), std::string(BuildDate()).c_str(),
                std::string(OpenSslVersionText()).c_str());
#if GW_HAVE_CONSOLE
    std::printf("Qt %s\n", qVersion());
#endif
    return kExitOk;
  }
  if (!commandLine.Error.empty()) {
    std::fprintf(stderr, "gateway: %s (see gateway --help)\n", commandLine.Error.c_str());
    return kExitUsage;
  }
  if (commandLine.Check) return RunSettingsCheck(commandLine);
  if (std::string whyNot; commandLine.TakeOver && !TUpgradeChannel::Supported(&whyNot)) {
    std::fprintf(stderr, "gateway: %s\n", whyNot.c_str());
    return kExitStartFailed;
  }
  if (commandLine.Service == TCommandLine::TServiceAction::Install ||
      commandLine.Service == TCommandLine::TServiceAction::Uninstall) {
    // Registering or removing the Windows service; where there is no Service Control
    // Manager the host says so and nothing else happens.
    const std::string& name = commandLine.ServiceName;
    std::string error;
    const bool done =
        commandLine.Service == TCommandLine::TServiceAction::Install
            ? TServiceHost::Install(
                  {name, "", "游戏网关: WebSocket clients to the login and logic servers",
                   commandLine.ServiceArguments, ""},
                  error)
            : TServiceHost::Uninstall(name, error);
    if (!error.empty()) std::fprintf(stderr, "gateway: %s\n", error.c_str());
    if (done) {
      std::printf(
          "gateway: service %s %s\n", name.c_str(),
          commandLine.Service == TCommandLine::TServiceAction::Install ? "installed" : "removed");
    }
    return done ? 0 : 1;
  }
  const bool asService = commandLine.Service == TCommandLine::TServiceAction::Run;
  if (asService && !TServiceHost::Available()) {
    std::fprintf(stderr, "gateway: %s\n", TServiceHost::kUnavailableText);
    return 1;
  }
  if (asService && commandLine.Dir.empty()) {
    // A service starts in the system's folder; the settings and lists are the program's.
    std::error_code ec;
    std::filesystem::current_path(PathFromUtf8(ProgramFolder()), ec);
  }
  if (!commandLine.Dir.empty()) {
    // Files named on the command line are where the operator typed them, as --check reads
    // them; only the settings, the lists and the keys are the work folder's.
    for (std::string* path : {&commandLine.TlsCert, &commandLine.TlsKey, &commandLine.LogDir}) {
      std::error_code ec;
      if (!path->empty()) {
        const auto absolute = std::filesystem::absolute(PathFromUtf8(*path), ec);
        if (!ec) *path = Utf8FromPath(absolute);
      }
    }
    // Before anything reads a file: the settings, the lists and the keys are the folder's.
    std::error_code ec;
    std::filesystem::current_path(PathFromUtf8(commandLine.Dir), ec);
    if (ec) {
      const std::string cause = "--dir " + commandLine.Dir + ": " + ec.message();
      std::fprintf(stderr, "gateway: %s\n", cause.c_str());
      NotifyServiceManager("STATUS=the service did not start: " + cause);
      return kExitStartFailed;
    }
  }
  if (commandLine.SendInterval) TServiceControl::SetSendInterval(*commandLine.SendInterval);
  {
    TDrainOptions drain;
    if (commandLine.DrainSeconds) drain.Seconds = *commandLine.DrainSeconds;
    if (commandLine.DrainNoticeSeconds) drain.NoticeSeconds = *commandLine.DrainNoticeSeconds;
    TServiceControl::SetDrainOptions(drain);
  }
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
      NotifyServiceManager("STATUS=the service did not start: TLS: " + error);
      return kExitStartFailed;
    }
    TServiceControl::SetTlsCertificate(commandLine.TlsCert, commandLine.TlsKey, std::move(tls));
  }
  std::optional<TGateWayAdmin::TOptions> admin;
  if (commandLine.Admin) {
    // A token file anyone may read, or an admin port beyond this host in plain text, would
    // hand the gateway to strangers: the program does not start with either.
    std::string error;
    std::optional<TAdminTokens> tokens = TAdminTokens::Load(commandLine.AdminTokenFile, error);
    if (!tokens) {
      std::fprintf(stderr, "gateway: %s\n", error.c_str());
      TLogger::LogError("Admin: " + error + "; the gateway does not start");
      NotifyServiceManager("STATUS=the service did not start: " + error);
      return kExitStartFailed;
    }
    PTlsContext tls = TServiceControl::TlsContext();
    if (!tls && !TGateWayAdmin::IsLoopbackHost(commandLine.AdminHost)) {
      const std::string cause = "--admin " + commandLine.AdminHost +
                                " is reachable beyond this host: it needs --tls-cert and "
                                "--tls-key (or a loopback address such as 127.0.0.1)";
      std::fprintf(stderr, "gateway: %s\n", cause.c_str());
      TLogger::LogError("Admin: " + cause + "; the gateway does not start");
      NotifyServiceManager("STATUS=the service did not start: " + cause);
      return kExitStartFailed;
    }
    admin = TGateWayAdmin::TOptions{commandLine.AdminHost, commandLine.AdminPort,
                                    std::move(*tokens), std::move(tls)};
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
  // A take-over is a service's upgrade: it runs without the window.
  const bool console = !commandLine.Headless && !asService && !commandLine.TakeOver &&
                       ConsoleDisplayAvailable(&noDisplay);
#else
  const bool console = false;
#endif
  if (!console && !commandLine.LaunchBlock.empty()) {
    // Without a window nobody would notice a gateway started on GateWay.xml's addresses
    // instead of the controller's: a word that is no launch block is a mistyped command.
    TLaunchParams params;
    std::string error;
    if (!params.Decode(Utf8ToAnsi(commandLine.LaunchBlock), error)) {
      std::fprintf(stderr,
                   "gateway: '%s' is neither an option nor a launch block (%s) (see gateway "
                   "--help)\n",
                   commandLine.LaunchBlock.c_str(), error.c_str());
      return kExitUsage;
    }
  }
  // Created before the lines below, so that they reach its log view. The console writes the
  // log file's place as its first line itself.
  std::optional<THeadlessFrontEnd> frontEnd;
  if (!console) {
    frontEnd.emplace();
    std::error_code ec;
    frontEnd->SetUpgrade(Utf8FromPath(std::filesystem::current_path(ec)), std::move(self),
                         commandLine.TakeOver);
    TLogger::LogFileLocation();
    if (admin) frontEnd->EnableAdmin(std::move(*admin));
  } else if (admin) {
    TLogger::LogWarning(
        "--admin is served by the headless gateway only (--headless); the "
        "console does not open it");
  }
  if (commandLine.Profile || commandLine.ProfileStart) {
    std::fprintf(stderr, "gateway: no profiling library on this platform; option ignored\n");
  }
  if (!commandLine.Headless && !asService && !commandLine.TakeOver && !console) {
#if GW_HAVE_CONSOLE
    TLogger::LogInfo(noDisplay + "，以无界面方式运行");
#else
    TLogger::LogInfo("此版本不含操作界面，以无界面方式运行");
#endif
  }
  const char* launchArgv[] = {argv[0], commandLine.LaunchBlock.c_str()};
  LoadLaunchParams(commandLine.LaunchBlock.empty() ? 1 : 2, launchArgv);
  WarnRiskyOptions(commandLine);
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
              report.StartFailed("the gateway service did not start: " + frontEnd->StartError());
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
