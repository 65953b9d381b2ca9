// The process-wide run flag and the way the process is asked to end.
#pragma once

#include <atomic>

namespace TolvenmarkHost {

// Set by _main as its first step, cleared by _stop. Read by the main loop
// before and after every wait; written from the main thread and from the
// signal handler (on whichever thread takes the signal).
extern std::atomic<bool> app_running;

// Clears app_running (atomic exchange; safe in a signal handler).
void _stop();

// SIGTERM and SIGINT call _stop; SIGPIPE is ignored so that a send to a
// controller that has gone only fails.
void installStopSignals();

}  // namespace TolvenmarkHost
