#include "foundation/ThreadPriority.h"

#include <algorithm>
#include <sys/syscall.h>
#include <unistd.h>

namespace ORVEX {

namespace {
constexpr unsigned MaxCpu = 1023;  // a CPU set holds CPUs 0 to 1023
}

unsigned long ThreadPriority::getSelfThreadID() {
    return static_cast<unsigned long>(::syscall(SYS_gettid));
}

bool ThreadPriority::setPriority(unsigned long threadId, Priority priority) {
    int policy = SCHED_RR;
    sched_param param{};
    param.sched_priority = 0;  // unknown values ask for SCHED_RR 0, which the kernel refuses
    switch (priority) {
    case CRITICAL:
        policy = SCHED_FIFO;
        param.sched_priority = 99;
        break;
    case HIGH:
        policy = SCHED_RR;
        param.sched_priority = 10;
        break;
    case NORMAL:
        policy = SCHED_OTHER;
        break;
    case IDLE:
        policy = SCHED_IDLE;
        break;
    }
    return ::sched_setscheduler(static_cast<pid_t>(threadId), policy, &param) == 0;
}

cpu_set_t ThreadPriority::makeCpuSet(const std::list<Cpus>& cpus) {
    cpu_set_t set;
    CPU_ZERO(&set);
    static_assert(sizeof(cpu_set_t) * 8 >= MaxCpu + 1, "cpu_set_t holds 1024 CPUs");
    if (cpus.empty()) {
        const unsigned n = static_cast<std::uint16_t>(getCpuCore());
        if (n == 0) return set;
        const unsigned last = std::min(n - 1, MaxCpu);
        for (unsigned cpu = 0; cpu <= last; ++cpu) CPU_SET(cpu, &set);
        return set;
    }
    for (const Cpus& range : cpus) {
        if (range.count == 0 || range.first > MaxCpu) continue;
        const unsigned last = std::min(static_cast<unsigned>(range.first) + range.count - 1, MaxCpu);
        for (unsigned cpu = range.first; cpu <= last; ++cpu) CPU_SET(cpu, &set);
    }
    return set;
}

bool ThreadPriority::setCpuThread(unsigned long threadId, const std::list<Cpus>& cpus) {
    const cpu_set_t set = makeCpuSet(cpus);
    return ::sched_setaffinity(static_cast<pid_t>(threadId), sizeof(set), &set) == 0;
}

int ThreadPriority::getCpuCore() {
    const long n = ::sysconf(_SC_NPROCESSORS_CONF);
    return n < 0 ? 0 : static_cast<int>(n);
}

void ThreadPriority::idle() {
    ::sched_yield();
}

}  // namespace ORVEX
