// How the simulators learn to stop: SIGINT or SIGTERM on Linux; on Windows the console's
// Ctrl+C, Ctrl+Break, close, logoff and shutdown events, or the end of standard input when
// that is a pipe (how a supervising program or test asks a Windows program to stop).
#pragma once

namespace gw {

// A reader that goes away (a closed output pipe) must not kill the process: the failed write
// is reported instead.
void IgnoreBrokenPipe();
// Before any thread starts: the stop requests are taken by WaitForStop only.
void PrepareStopSignals();
// Blocks until a stop is requested.
void WaitForStop();

}  // namespace gw
