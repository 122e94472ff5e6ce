#include "app/CommandLine.h"

#include <charconv>
#include <string>
#include <string_view>

namespace gw {

namespace {

constexpr std::string_view kSendIntervalOption = "--send-interval";
constexpr std::string_view kTlsCertOption = "--tls-cert";
constexpr std::string_view kTlsKeyOption = "--tls-key";

// "NAME VALUE" or "NAME=VALUE": true when `arg` is the option `name`; `value` is its
// value (empty when missing). A value is never taken for the launch block.
bool TakeValueOption(std::string_view name, std::string_view arg, int argc, const char* const* argv,
                     int& i, std::string_view& value) {
  if (arg == name) {
    value = i + 1 < argc && argv[i + 1] != nullptr ? std::string_view(argv[++i]) : "";
    return true;
  }
  if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=') {
    value = arg.substr(name.size() + 1);
    return true;
  }
  return false;
}
constexpr uint32_t kMaxSendIntervalMs = 1000;

// Milliseconds as a whole decimal number from 0 to kMaxSendIntervalMs.
std::optional<uint32_t> ParseSendInterval(std::string_view text) {
  uint32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
      value > kMaxSendIntervalMs) {
    return std::nullopt;
  }
  return value;
}

// "HOST:PORT" or "[IPV6]:PORT"; the host must not be empty (the metrics listener is
// bound to a chosen address, not to every one by accident).
bool ParseHostPort(std::string_view text, std::string& host, uint16_t& port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  std::string_view hostText = text.substr(0, colon);
  if (hostText.front() == '[') {
    if (hostText.size() < 3 || hostText.back() != ']') return false;
    hostText = hostText.substr(1, hostText.size() - 2);
  } else if (hostText.find(':') != std::string_view::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  std::string_view portText = text.substr(colon + 1);
  uint32_t value = 0;
  auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), value);
  if (portText.empty() || ec != std::errc() || end != portText.data() + portText.size() ||
      value > 65535) {
    return false;
  }
  host = hostText;
  port = static_cast<uint16_t>(value);
  return true;
}

constexpr uint32_t kMaxDrainSeconds = 86400;

// Whole seconds from 0 to kMaxDrainSeconds.
std::optional<uint32_t> ParseDrainSeconds(std::string_view text) {
  uint32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
      value > kMaxDrainSeconds) {
    return std::nullopt;
  }
  return value;
}

std::optional<TLogLevel> ParseLogLevel(std::string_view text) {
  if (text == "debug") return llDebug;
  if (text == "info") return llMessage;
  if (text == "warning") return llWarning;
  if (text == "error") return llError;
  return std::nullopt;
}

// The value of an option given as "--name VALUE" or "--name=VALUE"; advances `i` past a
// separate value. Nothing when the option is not `name`.
std::optional<std::string_view> OptionValue(std::string_view name, int argc,
                                            const char* const* argv, int& i) {
  std::string_view arg = argv[i];
  if (arg == name) {
    if (i + 1 < argc && argv[i + 1] != nullptr) return std::string_view(argv[++i]);
    return std::string_view();
  }
  if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=') {
    return arg.substr(name.size() + 1);
  }
  return std::nullopt;
}

}  // namespace

TCommandLine ParseCommandLine(int argc, const char* const* argv) {
  TCommandLine result;
  bool haveBlock = false;
  bool proxyFromGiven = false;
  bool serviceNameGiven = false;
  // Arguments that stay out of an installed service's command line.
  std::vector<bool> notForService(argc > 0 ? static_cast<size_t>(argc) : 0, false);
  auto fail = [&result](std::string text) {
    if (result.Error.empty()) result.Error = std::move(text);
  };
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i] != nullptr ? argv[i] : "";
    if (!arg.empty() && arg.front() == '-') {
      std::string_view file;
      if (TakeValueOption(kTlsCertOption, arg, argc, argv, i, file)) {
        result.TlsCert = file;
        if (file.empty()) result.Error = "--tls-cert needs a PEM certificate file";
      } else if (TakeValueOption(kTlsKeyOption, arg, argc, argv, i, file)) {
        result.TlsKey = file;
        if (file.empty()) result.Error = "--tls-key needs a PEM private key file";
      } else if (arg == "--headless") {
        result.Headless = true;
        notForService[i] = true;
      } else if (const int first = i; auto action = OptionValue("--service", argc, argv, i)) {
        for (int k = first; k <= i; ++k) notForService[k] = true;
        using TAction = TCommandLine::TServiceAction;
        if (*action == "install") {
          result.Service = TAction::Install;
        } else if (*action == "uninstall") {
          result.Service = TAction::Uninstall;
        } else if (*action == "run") {
          result.Service = TAction::Run;
        } else {
          fail("--service needs install, uninstall or run, not '" + std::string(*action) + "'");
        }
      } else if (auto name = OptionValue("--service-name", argc, argv, i)) {
        result.ServiceName = *name;
        serviceNameGiven = true;
        if (name->empty()) fail("--service-name needs a name");
      } else if (arg == "--log-utf8") {
        result.LogUtf8 = true;
      } else if (arg == "--help" || arg == "-h") {
        result.Help = true;
      } else if (arg == "--version") {
        result.Version = true;
      } else if (arg == "--check") {
        result.Check = true;
      } else if (auto dir = OptionValue("--dir", argc, argv, i)) {
        result.Dir = *dir;
        if (dir->empty()) fail("--dir needs the path of a work folder");
      } else if (auto logDir = OptionValue("--log-dir", argc, argv, i)) {
        result.LogDir = *logDir;
        if (logDir->empty()) fail("--log-dir needs the path of a folder for the log files");
      } else if (auto level = OptionValue("--log-level", argc, argv, i)) {
        result.LogLevel = ParseLogLevel(*level);
        if (!result.LogLevel) {
          fail("--log-level needs debug, info, warning or error, not '" + std::string(*level) +
               "'");
        }
      } else if (arg == "-profile") {
        result.Profile = true;
      } else if (arg == "-profilestart") {
        result.ProfileStart = true;
      } else if (arg == "--take-over") {
        result.TakeOver = true;
      } else if (auto drain = OptionValue("--drain-seconds", argc, argv, i)) {
        result.DrainSeconds = ParseDrainSeconds(*drain);
        if (!result.DrainSeconds) {
          fail("--drain-seconds needs a number of seconds from 0 to " +
               std::to_string(kMaxDrainSeconds) + ", not '" + std::string(*drain) + "'");
        }
      } else if (auto notice = OptionValue("--drain-notice-seconds", argc, argv, i)) {
        result.DrainNoticeSeconds = ParseDrainSeconds(*notice);
        if (!result.DrainNoticeSeconds) {
          fail("--drain-notice-seconds needs a number of seconds from 0 to " +
               std::to_string(kMaxDrainSeconds) + ", not '" + std::string(*notice) + "'");
        }
      } else if (arg == "--proxy-protocol") {
        result.ProxyProtocol = true;
      } else if (auto from = OptionValue("--proxy-from", argc, argv, i)) {
        std::string error;
        auto list = ParseCidrList(*from, &error);
        if (list) {
          result.ProxyFrom = std::move(*list);
          proxyFromGiven = true;
        } else {
          fail("--proxy-from needs a list of addresses or ranges such as 10.0.0.0/8,::1" +
               (error.empty() ? std::string() : " (" + error + ")"));
        }
      } else if (auto metrics = OptionValue("--metrics", argc, argv, i)) {
        result.Metrics = ParseHostPort(*metrics, result.MetricsHost, result.MetricsPort);
        if (!result.Metrics) {
          fail("--metrics needs ADDR:PORT (e.g. 127.0.0.1:7280 or [::1]:7280), not '" +
               std::string(*metrics) + "'");
        }
      } else if (auto admin = OptionValue("--admin", argc, argv, i)) {
        result.Admin = ParseHostPort(*admin, result.AdminHost, result.AdminPort);
        if (!result.Admin) {
          fail("--admin needs ADDR:PORT (e.g. 127.0.0.1:7290 or [::1]:7290), not '" +
               std::string(*admin) + "'");
        }
      } else if (auto tokens = OptionValue("--admin-token-file", argc, argv, i)) {
        result.AdminTokenFile = std::string(*tokens);
      } else if (arg == kSendIntervalOption || arg.starts_with("--send-interval=")) {
        std::string_view value;
        if (arg.size() > kSendIntervalOption.size()) {
          value = arg.substr(kSendIntervalOption.size() + 1);
        } else if (i + 1 < argc && argv[i + 1] != nullptr) {
          value = argv[++i];
        }
        result.SendInterval = ParseSendInterval(value);
        if (!result.SendInterval) {
          fail("--send-interval needs a number of milliseconds from 0 to " +
               std::to_string(kMaxSendIntervalMs) + ", not '" + std::string(value) + "'");
        }
      } else {
        fail("unknown option '" + std::string(arg) + "'");
      }
    } else if (!haveBlock && !arg.empty()) {
      result.LaunchBlock = arg;
      haveBlock = true;
    } else if (!arg.empty()) {
      fail("unexpected argument '" + std::string(arg) + "' (only one launch block is taken)");
    }
  }
  if (serviceNameGiven && result.Service == TCommandLine::TServiceAction::None) {
    fail("--service-name is only meaningful with --service");
  }
  if (result.Service == TCommandLine::TServiceAction::Install) {
    for (int i = 1; i < argc; ++i) {
      if (!notForService[i] && argv[i] != nullptr) result.ServiceArguments.emplace_back(argv[i]);
    }
  }
  if (proxyFromGiven && !result.ProxyProtocol) {
    fail("--proxy-from is only meaningful with --proxy-protocol");
  }
  if (result.ProxyProtocol && !proxyFromGiven) result.ProxyFrom = *ParseCidrList(kDefaultProxyFrom);
  if (result.Error.empty() && result.TlsCert.empty() != result.TlsKey.empty()) {
    result.Error = "--tls-cert and --tls-key go together";
  }
  if (result.Error.empty() && result.Admin != !result.AdminTokenFile.empty()) {
    result.Error = "--admin and --admin-token-file go together";
  }
  return result;
}

}  // namespace gw
