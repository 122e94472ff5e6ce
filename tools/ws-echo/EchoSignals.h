// How ws-echo learns to stop or to reload its certificate: SIGINT/SIGTERM and SIGHUP on
// Linux; on Windows the console's Ctrl+C, close, logoff and shutdown events stop it,
// Ctrl+Break reloads, and the end of its standard input (when that is a pipe) stops it.
#pragma once

namespace echo {

enum TSignal { sgStop, sgReload };

// Before any thread starts: the signals are taken by WaitForSignal only.
void PrepareSignals();
TSignal WaitForSignal();

}  // namespace echo
