// Scheduling class and CPU set of a thread, asked of the kernel.
#pragma once

#include <cstdint>
#include <list>
#include <sched.h>

namespace ORVEX {

class ThreadPriority {
public:
    enum Priority : int {
        CRITICAL = 0,  // SCHED_FIFO 99
        HIGH = 1,      // SCHED_RR 10
        NORMAL = 2,    // SCHED_OTHER
        IDLE = 3,      // SCHED_IDLE
    };

    // One range of CPU numbers; count 0 adds none.
    struct Cpus {
        std::uint16_t first = 0;
        std::uint16_t count = 0;
    };

    // Kernel thread id of the calling thread (gettid).
    static unsigned long getSelfThreadID();
    // Sets the thread's policy and priority; true when the kernel accepts.
    [[nodiscard]] static bool setPriority(unsigned long threadId, Priority priority);
    // Sets the thread's affinity to the union of the ranges (empty: all
    // configured CPUs); true when the kernel accepts.
    [[nodiscard]] static bool setCpuThread(unsigned long threadId, const std::list<Cpus>& cpus);
    // The CPU set setCpuThread applies (CPUs 0 to 1023).
    static cpu_set_t makeCpuSet(const std::list<Cpus>& cpus);
    // Number of configured processors.
    static int getCpuCore();
    // Yields the processor (sched_yield).
    static void idle();
};

}  // namespace ORVEX
