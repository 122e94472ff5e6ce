// The gatekit command line: operators', client developers' and tests' access to the codec
// (stored-secret form, Blowfish routines, six-bit text, token answers, launch blocks). Each
// subcommand writes one result line; bad input gives an error line and a non-zero exit code.
#pragma once

#include <string>
#include <vector>

namespace gw {

// Runs one gatekit command (Args without the program name). Out receives the result line with
// its line feed, Err an error line. Returns the exit code: 0 success, 1 bad input, 2 bad usage.
int RunGateKit(const std::vector<std::string>& Args, std::string& Out, std::string& Err);

}  // namespace gw
