#include "foundation/ThreadPriority.h"

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <vector>
#include <unistd.h>

using ORVEX::ThreadPriority;

namespace {

bool haveCapability(int cap) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return (data[cap / 32].effective & (1u << (cap % 32))) != 0;
}

// Drops a capability from the calling thread's effective, permitted and
// inheritable sets.
bool dropCapability(int cap) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    const unsigned bit = 1u << (cap % 32);
    data[cap / 32].effective &= ~bit;
    data[cap / 32].permitted &= ~bit;
    data[cap / 32].inheritable &= ~bit;
    return ::syscall(SYS_capset, &header, data) == 0;
}

struct Scheduling {
    int policy = -1;
    int priority = -1;
};

Scheduling readBack(unsigned long tid) {
    Scheduling s;
    s.policy = ::sched_getscheduler(static_cast<pid_t>(tid));
    sched_param p{};
    if (::sched_getparam(static_cast<pid_t>(tid), &p) == 0) s.priority = p.sched_priority;
    return s;
}

cpu_set_t affinityOf(unsigned long tid) {
    cpu_set_t set;
    CPU_ZERO(&set);
    EXPECT_EQ(::sched_getaffinity(static_cast<pid_t>(tid), sizeof(set), &set), 0);
    return set;
}

// Runs `body` on a fresh thread so the test's own thread keeps its class.
template <typename F>
void onThread(F body) {
    std::thread t(body);
    t.join();
}

}  // namespace

TEST(ThreadPriority, ThreadIdIsTheKernelThreadId) {
    EXPECT_EQ(ThreadPriority::getSelfThreadID(), static_cast<unsigned long>(::getpid()));
    unsigned long other = 0;
    onThread([&] { other = ThreadPriority::getSelfThreadID(); });
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, static_cast<unsigned long>(::getpid()));
    EXPECT_GT(ThreadPriority::getCpuCore(), 0);
    EXPECT_EQ(ThreadPriority::getCpuCore(), static_cast<int>(::sysconf(_SC_NPROCESSORS_CONF)));
    ThreadPriority::idle();
}

TEST(ThreadPriority, EachClassIsReadBackFromTheKernel) {
    const bool privileged = haveCapability(CAP_SYS_NICE);
    struct Case {
        ThreadPriority::Priority priority;
        int policy;
        int level;
        bool needsPrivilege;
    };
    const Case cases[] = {
        {ThreadPriority::NORMAL, SCHED_OTHER, 0, false},
        {ThreadPriority::IDLE, SCHED_IDLE, 0, false},
        {ThreadPriority::HIGH, SCHED_RR, 10, true},
        {ThreadPriority::CRITICAL, SCHED_FIFO, 99, true},
    };
    for (const Case& c : cases) {
        onThread([&] {
            const unsigned long tid = ThreadPriority::getSelfThreadID();
            const bool expectOk = privileged || !c.needsPrivilege;
            EXPECT_EQ(ThreadPriority::setPriority(tid, c.priority), expectOk) << c.priority;
            const Scheduling s = readBack(tid);
            if (expectOk) {
                EXPECT_EQ(s.policy, c.policy) << c.priority;
                EXPECT_EQ(s.priority, c.level) << c.priority;
            } else {
                EXPECT_EQ(s.policy, SCHED_OTHER) << c.priority;
            }
            // Back to normal before the thread ends (it never spins meanwhile).
            EXPECT_EQ(ThreadPriority::setPriority(tid, ThreadPriority::NORMAL), true);
            EXPECT_EQ(readBack(tid).policy, SCHED_OTHER);
        });
    }
}

TEST(ThreadPriority, AnUnknownValueIsRefusedAndTheClassStays) {
    onThread([] {
        const unsigned long tid = ThreadPriority::getSelfThreadID();
        ASSERT_TRUE(ThreadPriority::setPriority(tid, ThreadPriority::IDLE));
        EXPECT_FALSE(ThreadPriority::setPriority(tid, static_cast<ThreadPriority::Priority>(7)));
        EXPECT_EQ(readBack(tid).policy, SCHED_IDLE);
        EXPECT_FALSE(ThreadPriority::setPriority(tid, static_cast<ThreadPriority::Priority>(-1)));
        EXPECT_EQ(readBack(tid).policy, SCHED_IDLE);
        EXPECT_TRUE(ThreadPriority::setPriority(tid, ThreadPriority::NORMAL));
    });
}

TEST(ThreadPriority, RealTimeIsRefusedWithoutThePrivilege) {
    // A child process without CAP_SYS_NICE and with no real-time allowance.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit none{0, 0};
        if (::setrlimit(RLIMIT_RTPRIO, &none) != 0 || !dropCapability(CAP_SYS_NICE)) ::_exit(10);
        if (haveCapability(CAP_SYS_NICE)) ::_exit(11);
        const unsigned long tid = ThreadPriority::getSelfThreadID();
        if (ThreadPriority::setPriority(tid, ThreadPriority::CRITICAL)) ::_exit(1);
        if (ThreadPriority::setPriority(tid, ThreadPriority::HIGH)) ::_exit(2);
        if (::sched_getscheduler(0) != SCHED_OTHER) ::_exit(3);
        if (!ThreadPriority::setPriority(tid, ThreadPriority::NORMAL)) ::_exit(4);
        if (!ThreadPriority::setPriority(tid, ThreadPriority::IDLE)) ::_exit(5);
        if (::sched_getscheduler(0) != SCHED_IDLE) ::_exit(6);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1/2: real-time granted without privilege; 3/6: class not as set; "
                                         "10/11: could not drop the privilege";
}

TEST(ThreadPriority, CpuSetIsTheUnionOfTheRanges) {
    using Cpus = ThreadPriority::Cpus;
    auto members = [](const cpu_set_t& set) {
        std::vector<int> cpus;
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
        return cpus;
    };
    EXPECT_EQ(members(ThreadPriority::makeCpuSet({Cpus{2, 2}, Cpus{3, 3}})), (std::vector<int>{2, 3, 4, 5}));
    EXPECT_EQ(members(ThreadPriority::makeCpuSet({Cpus{1020, 10}})), (std::vector<int>{1020, 1021, 1022, 1023}));
    EXPECT_EQ(members(ThreadPriority::makeCpuSet({Cpus{1024, 4}})), std::vector<int>{});
    EXPECT_EQ(members(ThreadPriority::makeCpuSet({Cpus{0, 0}, Cpus{7, 1}})), std::vector<int>{7});
    EXPECT_EQ(members(ThreadPriority::makeCpuSet({Cpus{65535, 65535}})), std::vector<int>{});
    EXPECT_EQ(members(ThreadPriority::makeCpuSet({Cpus{1023, 65535}})), std::vector<int>{1023});
    std::vector<int> all;
    for (int cpu = 0; cpu < ThreadPriority::getCpuCore(); ++cpu) all.push_back(cpu);
    EXPECT_EQ(members(ThreadPriority::makeCpuSet({})), all);
}

TEST(ThreadPriority, AffinityIsReadBackFromTheKernel) {
    onThread([] {
        const unsigned long tid = ThreadPriority::getSelfThreadID();
        const cpu_set_t original = affinityOf(tid);
        std::vector<std::uint16_t> allowed;
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &original)) allowed.push_back(static_cast<std::uint16_t>(cpu));
        ASSERT_FALSE(allowed.empty());

        // Pinned to the last allowed CPU alone.
        const std::uint16_t one = allowed.back();
        ASSERT_TRUE(ThreadPriority::setCpuThread(tid, {ThreadPriority::Cpus{one, 1}}));
        cpu_set_t got = affinityOf(tid);
        EXPECT_EQ(CPU_COUNT(&got), 1);
        EXPECT_TRUE(CPU_ISSET(one, &got));

        // Overlapping ranges give their union.
        if (allowed.size() >= 2) {
            const std::uint16_t a = allowed[0], b = allowed[1];
            ASSERT_TRUE(ThreadPriority::setCpuThread(tid, {ThreadPriority::Cpus{a, 1}, ThreadPriority::Cpus{b, 1},
                                                            ThreadPriority::Cpus{a, 1}}));
            got = affinityOf(tid);
            EXPECT_EQ(CPU_COUNT(&got), 2);
            EXPECT_TRUE(CPU_ISSET(a, &got));
            EXPECT_TRUE(CPU_ISSET(b, &got));
        }

        // Sets naming no present CPU are refused and change nothing.
        const cpu_set_t before = affinityOf(tid);
        EXPECT_FALSE(ThreadPriority::setCpuThread(tid, {ThreadPriority::Cpus{1024, 4}}));
        EXPECT_FALSE(ThreadPriority::setCpuThread(tid, {ThreadPriority::Cpus{0, 0}}));
        const int configured = ThreadPriority::getCpuCore();
        if (configured < 1000) {
            EXPECT_FALSE(ThreadPriority::setCpuThread(
                tid, {ThreadPriority::Cpus{static_cast<std::uint16_t>(configured + 8), 1}}));
        }
        got = affinityOf(tid);
        EXPECT_TRUE(CPU_EQUAL(&got, &before));

        // The empty list allows every configured CPU again.
        ASSERT_TRUE(ThreadPriority::setCpuThread(tid, {}));
        got = affinityOf(tid);
        EXPECT_TRUE(CPU_EQUAL(&got, &original));
    });
}
