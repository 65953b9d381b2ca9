#include "host/RunFlag.h"

#include <csignal>

namespace TolvenmarkHost {

std::atomic<bool> app_running{false};

static_assert(std::atomic<bool>::is_always_lock_free, "the run flag is cleared from a signal handler");

void _stop() { app_running.exchange(false); }

namespace {
extern "C" void onStopSignal(int) { _stop(); }
}  // namespace

void installStopSignals() {
    struct sigaction stop {};
    stop.sa_handler = onStopSignal;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace TolvenmarkHost
