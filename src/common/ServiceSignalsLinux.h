#pragma once

#include <signal.h>

namespace gw {

// The signals an operator or a service manager stops and reloads the gateway with:
// SIGTERM and SIGINT stop, SIGHUP reloads, and SIGUSR1 reopens the log file (after
// logrotate renamed it). Both the headless gateway and the console
// take them through a signalfd, so they must stay blocked in every thread.
sigset_t ServiceSignalSet();

// True when all of them are blocked in the calling thread (the program blocked them
// before starting any thread), so a signalfd is the only way they arrive.
bool ServiceSignalsBlocked();

}  // namespace gw
