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
bool TakeValueOption(std::string_view name, std::string_view arg, int argc,
                     const char* const* argv, int& i, std::string_view& value) {
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

}  // namespace

TCommandLine ParseCommandLine(int argc, const char* const* argv) {
  TCommandLine result;
  bool haveBlock = false;
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
      } else if (arg == "--log-utf8") {
        result.LogUtf8 = true;
      } else if (arg == "--help" || arg == "-h") {
        result.Help = true;
      } else if (arg == "-profile") {
        result.Profile = true;
      } else if (arg == "-profilestart") {
        result.ProfileStart = true;
      } else if (arg == kSendIntervalOption || arg.starts_with("--send-interval=")) {
        std::string_view value;
        if (arg.size() > kSendIntervalOption.size()) {
          value = arg.substr(kSendIntervalOption.size() + 1);
        } else if (i + 1 < argc && argv[i + 1] != nullptr) {
          value = argv[++i];
        }
        result.SendInterval = ParseSendInterval(value);
        if (!result.SendInterval) {
          result.Error = "--send-interval needs a number of milliseconds from 0 to " +
                         std::to_string(kMaxSendIntervalMs) + ", not '" + std::string(value) + "'";
        }
      } else {
        result.UnknownOptions.emplace_back(arg);
      }
    } else if (!haveBlock && !arg.empty()) {
      result.LaunchBlock = arg;
      haveBlock = true;
    }
  }
  if (result.Error.empty() && result.TlsCert.empty() != result.TlsKey.empty()) {
    result.Error = "--tls-cert and --tls-key go together";
  }
  return result;
}

}  // namespace gw
