// Runs the calling thread at a low real-time priority (SCHED_FIFO 1) while an
// object lives, where the kernel allows it, and at the normal policy again
// afterwards. Tests whose scripted peer must answer within a short window use
// it, so that the machine's other work rarely delays an answer; threads the
// caller starts meanwhile inherit it. Only for threads that block in waits: a
// spinning one would starve the machine.
#pragma once

#include <sched.h>

namespace tmtest {

class RealTimeForThisThread {
public:
    RealTimeForThisThread() : raised(raise()) {}
    ~RealTimeForThisThread() {
        if (!raised) return;
        sched_param normal{};
        (void)::sched_setscheduler(0, SCHED_OTHER, &normal);
    }
    RealTimeForThisThread(const RealTimeForThisThread&) = delete;
    RealTimeForThisThread& operator=(const RealTimeForThisThread&) = delete;

    // Raises the calling thread for the rest of its life; false when refused.
    static bool raise() {
        sched_param low{};
        low.sched_priority = 1;
        return ::sched_setscheduler(0, SCHED_FIFO, &low) == 0;
    }

private:
    bool raised;
};

}  // namespace tmtest
