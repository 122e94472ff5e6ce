#include "common/ServiceHost.h"

namespace gw {

std::string TServiceHost::QuoteArgument(const std::string& Argument) {
  if (!Argument.empty() && Argument.find_first_of(" \t\n\v\"") == std::string::npos) {
    return Argument;
  }
  // CommandLineToArgvW: 2n backslashes before a quote give n and end or start a quoted
  // part, 2n+1 give n and a literal quote; backslashes elsewhere stay as they are.
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : Argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      quoted.append(backslashes * 2 + 1, '\\');
    } else {
      quoted.append(backslashes, '\\');
    }
    backslashes = 0;
    quoted += c;
  }
  // The closing quote follows: the trailing backslashes must not escape it.
  quoted.append(backslashes * 2, '\\');
  quoted += '"';
  return quoted;
}

}  // namespace gw
