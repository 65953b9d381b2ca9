// The stream thread asks for FIFO priority 99 and does not stream without it.
// The refused path runs with CAP_SYS_NICE dropped from this test process
// (each test runs as a process of its own).
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

// Removes CAP_SYS_NICE from the effective and permitted sets and the real-time
// allowance of the rlimit, so that real-time scheduling is refused.
bool dropRealTime() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
    data[CAP_SYS_NICE / 32].permitted &= ~(1u << (CAP_SYS_NICE % 32));
    data[CAP_SYS_NICE / 32].inheritable &= ~(1u << (CAP_SYS_NICE % 32));
    if (::syscall(SYS_capset, &header, data) != 0) return false;
    rlimit none{0, 0};
    return ::setrlimit(RLIMIT_RTPRIO, &none) == 0;
}

TEST(SinkPriority, WithoutRealTimeTheSinkAnswersButRefusesConnects) {
    if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (fixed ports 19642-19645)";
    ASSERT_TRUE(dropRealTime());
    sched_param param{99};
    ASSERT_NE(sched_setscheduler(0, SCHED_FIFO, &param), 0) << "real-time must be refused now";

    UdpPeer target(19642);
    ORVEX::Socket::Waiter waiter;
    ZARNITH::ClosingSink<RecordingSink> sink(recorderSetting(), waiter);
    std::uint16_t ctrl = 0, stream = 0;
    ASSERT_TRUE(sink.open(ctrl, stream));
    SinkDriver driver(sink, waiter);
    EXPECT_TRUE(eventually([&] { return !sink.isRunning(); })) << "the stream thread gave up";
    EXPECT_TRUE(target.receiveId(0x8002, 1000ms)) << "still registers";

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

}  // namespace
