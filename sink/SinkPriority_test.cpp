// The stream thread asks for FIFO priority 99 and does not stream without it.
// Capabilities belong to a thread: the refused path runs on a thread of its own
// with CAP_SYS_NICE dropped, and the sink's threads, started from it, inherit
// that. The rest of the test process keeps its real-time allowance.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "sink/SinkTestKit.h"
#include "tests/support/TestSupport.h"

using namespace sinktest;
using namespace std::chrono_literals;

namespace {

// Removes CAP_SYS_NICE from the calling thread's effective, permitted and
// inheritable sets, so that real-time scheduling is refused to it and to the
// threads it starts.
bool dropRealTimeOfThisThread() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
    data[CAP_SYS_NICE / 32].permitted &= ~(1u << (CAP_SYS_NICE % 32));
    data[CAP_SYS_NICE / 32].inheritable &= ~(1u << (CAP_SYS_NICE % 32));
    return ::syscall(SYS_capset, &header, data) == 0;
}

// Lowers the soft real-time rlimit to 0 for its lifetime; the hard limit stays,
// so the old value can always be restored. Threads with CAP_SYS_NICE ignore it.
class NoRealTimeAllowance {
public:
    NoRealTimeAllowance() {
        ok_ = ::getrlimit(RLIMIT_RTPRIO, &old_) == 0;
        rlimit lowered = old_;
        lowered.rlim_cur = 0;
        ok_ = ok_ && ::setrlimit(RLIMIT_RTPRIO, &lowered) == 0;
    }
    ~NoRealTimeAllowance() {
        if (ok_) (void)::setrlimit(RLIMIT_RTPRIO, &old_);
    }
    NoRealTimeAllowance(const NoRealTimeAllowance&) = delete;
    NoRealTimeAllowance& operator=(const NoRealTimeAllowance&) = delete;
    bool ok() const { return ok_; }

private:
    rlimit old_{};
    bool ok_ = false;
};

bool threadMayRunRealTime() {
    bool allowed = false;
    std::thread([&] {
        sched_param param{99};
        allowed = sched_setscheduler(0, SCHED_FIFO, &param) == 0;
    }).join();
    return allowed;
}

// Runs on a thread without CAP_SYS_NICE.
void refusedPath() {
    ASSERT_TRUE(dropRealTimeOfThisThread());
    ASSERT_FALSE(threadMayRunRealTime()) << "real-time must be refused now";

    UdpPeer target(19642);
    ORVEX::Socket::Waiter waiter;
    ZARNITH::ClosingSink<RecordingSink> sink(recorderSetting(), waiter);
    std::uint16_t ctrl = 0, stream = 0;
    ASSERT_TRUE(sink.open(ctrl, stream));
    SinkDriver driver(sink, waiter);
    EXPECT_TRUE(eventually([&] { return !sink.isRunning(); })) << "the stream thread gave up";
    EXPECT_TRUE(target.receiveId(0x8002, 1000ms)) << "still registers";

    ASSERT_TRUE(settlePreConnect(ctrl)) << "no pending pre-client refuses the connect below";
    UdpPeer peer;
    auto format = peer.ask(ctrl, message64(0x04, 0, 0));
    ASSERT_TRUE(format);
    EXPECT_EQ(header(*format).id, 0x05) << "still answers inquiries";
    auto connect = peer.ask(ctrl, message64(0x08, 0, Pcm32At44k));
    ASSERT_TRUE(connect);
    EXPECT_EQ(*connect, message(0x09, 0x0000)) << "never streams at normal priority";
    EXPECT_EQ(sink.connects, 0);
    EXPECT_EQ(sink.starts, 0);
}

TEST(SinkPriority, WithoutRealTimeTheSinkAnswersButRefusesConnects) {
    if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (fixed ports 19642-19645)";
    {
        NoRealTimeAllowance allowance;
        ASSERT_TRUE(allowance.ok());
        std::thread(refusedPath).join();
    }
    EXPECT_TRUE(threadMayRunRealTime()) << "the rest of the process keeps real-time";
}

}  // namespace
