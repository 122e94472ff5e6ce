// `gateway --check`: validates what a start would read (GateWay.xml, GateKeys.txt, the block
// list, the word list, the TLS pair, the command line's options), prints the effective settings
// on standard output and every problem on standard error ("FILE:LINE: error: TEXT"), and
// answers 0 (no errors; warnings allowed) or 1, as `nginx -t` does. It starts no service, binds
// nothing and writes no file: not the default GateWay.xml, not a log file.
#pragma once

#include "app/CommandLine.h"

namespace gw {

// The exit code: 0 when nothing stands in the way of a start, 1 otherwise.
int RunSettingsCheck(const TCommandLine& CommandLine);

}  // namespace gw
