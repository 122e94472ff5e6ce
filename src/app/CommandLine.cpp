#include "app/CommandLine.h"

#include <string_view>

namespace gw {

TCommandLine ParseCommandLine(int argc, const char* const* argv) {
  TCommandLine result;
  bool haveBlock = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i] != nullptr ? argv[i] : "";
    if (!arg.empty() && arg.front() == '-') {
      if (arg == "--headless") {
        result.Headless = true;
      } else if (arg == "--log-utf8") {
        result.LogUtf8 = true;
      } else if (arg == "--help" || arg == "-h") {
        result.Help = true;
      } else if (arg == "-profile") {
        result.Profile = true;
      } else if (arg == "-profilestart") {
        result.ProfileStart = true;
      } else {
        result.UnknownOptions.emplace_back(arg);
      }
    } else if (!haveBlock && !arg.empty()) {
      result.LaunchBlock = arg;
      haveBlock = true;
    }
  }
  return result;
}

}  // namespace gw
