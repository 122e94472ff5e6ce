// The gateway's command line: options start with "-" (e.g. "--headless",
// "-profile"); the launch parameter block is the first argument that is not an
// option (its base64 text never starts with "-"). Pure functions: any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "logging/LogLevel.h"
#include "net/ProxyHeader.h"

namespace gw {

// The Windows service's name when --service-name does not give one.
inline constexpr char kDefaultServiceName[] = "GateWay";

// The balancers trusted to send a PROXY header when --proxy-from does not name them.
inline constexpr char kDefaultProxyFrom[] = "127.0.0.0/8,::1";

struct TCommandLine {
  bool Headless = false;  // "--headless": run without the operator console
  bool Help = false;      // "--help" or "-h": print the usage and exit
  bool Version = false;   // "--version": print the version and build and exit
  // "--check": validate the settings, lists, keys, TLS pair and flags, print the effective
  // settings and every problem, exit 0 or 1; nothing is served.
  bool Check = false;
  // "--dir PATH": the work folder (GateWay.xml, the lists, GateKeys.txt); empty: the current one.
  std::string Dir;
  // "--log-dir PATH": where the log files go; empty: Log/ beside the program.
  std::string LogDir;
  // "--log-level debug|info|warning|error": the least severe level written (every level when
  // not given). "info" leaves out the per-client debug lines.
  std::optional<TLogLevel> LogLevel;
  bool LogUtf8 = false;       // "--log-utf8": a UTF-8 copy of the log file beside it
  bool Profile = false;       // "-profile"
  bool ProfileStart = false;  // "-profilestart"
  // "--send-interval MS" (or "--send-interval=MS"): the workers' send interval, 0 to 1000.
  std::optional<uint32_t> SendInterval;
  // "--proxy-protocol": clients come through load balancers that send a PROXY header.
  bool ProxyProtocol = false;
  // "--proxy-from CIDR[,CIDR…]": the balancers' addresses (kDefaultProxyFrom unless given).
  std::vector<TCidr> ProxyFrom;
  // "--metrics ADDR:PORT" ("[::1]:7280" for IPv6): the metrics and health listener.
  bool Metrics = false;
  std::string MetricsHost;
  uint16_t MetricsPort = 0;
  // "--tls-cert FILE" and "--tls-key FILE" (or "=FILE"): PEM certificate (chain) and key;
  // both given, the client port speaks TLS only. One without the other is an Error.
  std::string TlsCert;
  std::string TlsKey;
  // "--service install|uninstall|run" (or "=ACTION"): the Windows service (common/ServiceHost.h).
  enum class TServiceAction { None, Install, Uninstall, Run };
  TServiceAction Service = TServiceAction::None;
  // "--service-name NAME" (or "=NAME"): the service's name (kDefaultServiceName unless given).
  std::string ServiceName = kDefaultServiceName;
  // With --service install: the arguments the installed service gets after "--service run",
  // i.e. every argument given except "--service install" and "--headless" (a service has
  // no console); --service-name comes along, so that the service knows its own name.
  std::vector<std::string> ServiceArguments;
  // "--drain-seconds N": a stop request's drain lasts up to N seconds (0 to 86400; default 2,
  // the close frames' grace alone). "--drain-notice-seconds M": the client port still accepts
  // for M seconds of it (default 0).
  std::optional<uint32_t> DrainSeconds;
  std::optional<uint32_t> DrainNoticeSeconds;
  // "--take-over": take the listening sockets over from the gateway serving the same work
  // folder, then have it drain (Linux; runs headless).
  bool TakeOver = false;
  // "--admin ADDR:PORT" ("[::1]:7290" for IPv6): the admin API and web console (off unless
  // given); "--admin-token-file FILE": its name:token lines. One without the other is an Error.
  bool Admin = false;
  std::string AdminHost;
  uint16_t AdminPort = 0;
  std::string AdminTokenFile;
  std::string LaunchBlock;  // the first non-option argument; empty when none
  // A usage error: an unknown option, a second word besides the launch block, or an option
  // given a value it cannot take; empty when none. The program exits with code 2.
  std::string Error;
};

TCommandLine ParseCommandLine(int argc, const char* const* argv);

}  // namespace gw
