#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "foundation/Socket.h"

using ORVEX::Buffer;
using ORVEX::BufferCS_const;
using ORVEX::Clock;
using ORVEX::IPAddress;
using ORVEX::Socket;
using ORVEX::WaitResult;

namespace {

// A UDP/IPv6 socket bound to [::1] with a system-chosen port.
struct Udp {
    Socket socket;
    IPAddress where;
    Udp() {
        EXPECT_TRUE(socket.open(Socket::TYPE_UDPV6));
        where.address[15] = 1;
        EXPECT_TRUE(socket.bindV6(where, 0));
    }
    void sendTo(const Udp& other) {
        std::string text = "data";
        ASSERT_TRUE(socket.sendToV6(BufferCS_const(text), other.where, false));
    }
};

}  // namespace

TEST(SocketWaiter, EmptyWaiterOnlySleeps) {
    Socket::Waiter waiter;
    EXPECT_TRUE(waiter.empty());
    EXPECT_EQ(waiter.wait(Clock::fromMilliseconds(100)), WaitResult::TimeOut);
    EXPECT_EQ(waiter.wait(Clock()), WaitResult::TimeOut);
}

TEST(SocketWaiter, ReportsWhichSocketsAreReadable) {
    Udp a, b, c;
    Socket::Waiter waiter;
    ASSERT_TRUE(waiter.set(b.socket));
    ASSERT_TRUE(waiter.set(c.socket));
    EXPECT_EQ(waiter.wait(Clock()), WaitResult::TimeOut) << "zero time-out, nothing queued";
    a.sendTo(c);
    // Wait for the datagram, then a zero time-out poll sees it at once.
    ASSERT_EQ(c.socket.wait(Clock::fromSeconds(5)), WaitResult::Ready);
    EXPECT_EQ(waiter.wait(Clock()), WaitResult::Ready);
    EXPECT_TRUE(waiter.check(c.socket));
    EXPECT_FALSE(waiter.check(b.socket));
    EXPECT_FALSE(waiter.check(a.socket)) << "not watched";
}

TEST(SocketWaiter, SetAndClearRules) {
    Udp a;
    Socket closed;
    Socket::Waiter waiter;
    EXPECT_FALSE(waiter.set(closed));
    EXPECT_TRUE(waiter.empty()) << "a closed socket is ignored";
    waiter.set(a.socket);
    waiter.set(a.socket);
    waiter.clear(a.socket);
    EXPECT_TRUE(waiter.empty()) << "set twice, cleared once: unwatched";
    waiter.set(a.socket);
    waiter.clear();
    EXPECT_TRUE(waiter.empty());
}

TEST(SocketWaiter, DescriptorsAboveTheSelectLimitAreWaitedOnSafely) {
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 2100) GTEST_SKIP() << "descriptor limit too low for a descriptor above 2000";
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, 2100);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    Udp a, b;
    // Move b's socket to descriptor 2000, far past the 1024 bits of a select set.
    ASSERT_EQ(::dup2(b.socket.descriptor, 2000), 2000);
    ::close(b.socket.descriptor);
    b.socket.descriptor = 2000;
    Socket::Waiter waiter;
    ASSERT_TRUE(waiter.set(a.socket));
    ASSERT_TRUE(waiter.set(b.socket));
    EXPECT_EQ(waiter.wait(Clock::fromMilliseconds(20)), WaitResult::TimeOut);
    a.sendTo(b);
    EXPECT_EQ(waiter.wait(Clock::fromSeconds(5)), WaitResult::Ready);
    EXPECT_TRUE(waiter.check(b.socket));
    EXPECT_FALSE(waiter.check(a.socket));
    EXPECT_EQ(b.socket.wait(Clock()), WaitResult::Ready);

    // The select helpers never put such a descriptor into a set.
    Socket::Waiter::fbsType* set = Socket::Waiter::fbsNew();
    unsigned long largest = Socket::Waiter::fbsSetup(set, {static_cast<unsigned long>(a.socket.descriptor), 2000UL}, 0);
    EXPECT_EQ(largest, static_cast<unsigned long>(a.socket.descriptor));
    EXPECT_FALSE(Socket::Waiter::fbsCheck(set, b.socket));
    EXPECT_EQ(Socket::Waiter::fbsSelect(set, nullptr, 2000, Clock()), WaitResult::Error) << "a count past the set is refused";
    EXPECT_EQ(Socket::Waiter::fbsSelect(set, nullptr, largest, Clock::fromMilliseconds(1)), WaitResult::TimeOut);
    Socket::Waiter::fbsDelere(set);
}

TEST(SocketWaiter, ADescriptorClosedBehindItsBackIsAnError) {
    Udp a;
    Socket::Waiter waiter;
    ASSERT_TRUE(waiter.set(a.socket));
    int fd = a.socket.descriptor;
    ::close(fd);  // closed without clear: the waiter cannot wait on it
    EXPECT_EQ(waiter.wait(Clock::fromMilliseconds(10)), WaitResult::Error);
    EXPECT_FALSE(waiter.check(a.socket));
    a.socket.descriptor = -1;
}

TEST(SocketWaiter, ASignalCountsAsATimeOut) {
    Udp a;
    Socket::Waiter waiter;
    ASSERT_TRUE(waiter.set(a.socket));
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &action, nullptr), 0);
    pthread_t self = ::pthread_self();
    std::atomic<bool> done{false};
    std::thread poke([&] {
        while (!done) {
            ::pthread_kill(self, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    WaitResult result = waiter.wait(Clock::fromSeconds(30));
    done = true;
    poke.join();
    EXPECT_EQ(result, WaitResult::TimeOut);
}

TEST(SocketWaiter, WritabilityWatch) {
    Udp a;
    Socket::Waiter waiter;
    waiter.setWritable(a.socket, true);
    EXPECT_FALSE(waiter.empty());
    EXPECT_EQ(waiter.wait(Clock::fromSeconds(1)), WaitResult::Ready);
    EXPECT_TRUE(waiter.checkWritable(a.socket));
    EXPECT_FALSE(waiter.check(a.socket));
    waiter.setWritable(a.socket, false);
    EXPECT_TRUE(waiter.empty());
}
