// Connection control of the sender: opening, the state rules of connect,
// connectWait and disconnect, and closing under running threads.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <future>
#include <sys/stat.h>
#include <thread>

#include "sender/SyncTestPeer.h"

using namespace std::chrono_literals;
using ORVEX::Clock;
using synctest::LogCapture;
using synctest::PatternSync;
using synctest::Peer;
using namespace ZARNITH;

namespace {

class SyncTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::start(7);
        ASSERT_TRUE(peer.ok);
    }
    bool openSync(int mode = Sync::THRED_NONE) {
        return sync.open(static_cast<Sync::THRED_MODE>(mode), Clock::fromMilliseconds(100), 0, "host", 7, -1, -1,
                         0);
    }
    void configure() {
        sync.sendFormat = sync.requestedFormat = synctest::pcm32Stereo48k();
        sync.profiles[0] = synctest::fixProfile(1000, 1, 48);
        sync.profileCount = 1;
        sync.sinkAddress = peer.address;
    }
    // Connects and, once the connect request is out (its source in `from`),
    // waits for the connection on another thread. The waiter is given time
    // to block; one that starts only after the connect has ended finds the
    // state idle and returns false at once, which is as prompt.
    std::future<bool> connectAndWait(ORVEX::IPAddress& from) {
        EXPECT_TRUE(openSync());
        configure();
        EXPECT_TRUE(sync.connect(-1));
        Receive got;
        EXPECT_TRUE(peer.receiveId(CONNECT_REQ, got, from));
        auto waiting = std::async(std::launch::async, [this] { return sync.connectWait(); });
        std::this_thread::sleep_for(50ms);
        return waiting;
    }
    Peer peer;
    PatternSync sync;
};

TEST_F(SyncTest, OpenLogsTheReleaseAndSetsTheSocketModes) {
    ASSERT_TRUE(openSync(Sync::SOCKETNOBLOCK));
    EXPECT_GE(LogCapture::instance().find("Zarnith Sync Library ReleaseNo : 142 [0]"), 0);
    EXPECT_EQ(sync.packDataSize, 1428);
    EXPECT_EQ(sync.packDataCount, 10);
    EXPECT_EQ(sync.mainSocket.receiveSize, 4096u);
    EXPECT_NE(::fcntl(sync.mainSocket.getDescriptor(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(::fcntl(sync.debugSocket.getDescriptor(), F_GETFL) & O_NONBLOCK, 0);
    ASSERT_TRUE(openSync());
    EXPECT_EQ(::fcntl(sync.mainSocket.getDescriptor(), F_GETFL) & O_NONBLOCK, 0);
}

// No worker runs here: the test makes the worker's transitions itself.
TEST_F(SyncTest, ConnectWaitAndDisconnectFollowTheState) {
    EXPECT_FALSE(sync.connectWait());
    // Idle and connecting: disconnect does nothing and logs nothing.
    auto askBoth = [&] {
        sync.disconnect();
        sync.disconnect_flgset();
    };
    askBoth();
    EXPECT_EQ(sync.state.load(), SyncState::IDLE);
    sync.state.beginConnect();
    askBoth();
    EXPECT_EQ(sync.state.load(), SyncState::CONNECTING);
    EXPECT_EQ(LogCapture::instance().count("discone"), 0);

    sync.state.accepted();
    EXPECT_TRUE(sync.connectWait());
    const int notimeout = LogCapture::instance().find("connectWait notimeout");
    ASSERT_GE(notimeout, 0);
    EXPECT_EQ(LogCapture::instance().lines()[static_cast<std::size_t>(notimeout) + 1], "connectWait 2");

    sync.disconnect_flgset();
    EXPECT_EQ(sync.state.load(), SyncState::DISCONNECT_REQUESTED);
    EXPECT_EQ(LogCapture::instance().count("discone flgset"), 1);
    EXPECT_FALSE(sync.connectWait());
    sync.state.ended();
}

TEST_F(SyncTest, ConnectRefusesWhatCannotBeStreamed) {
    ASSERT_TRUE(openSync());
    struct Case {
        const char* what;
        std::function<void()> spoil;
        const char* log;
    };
    const Case cases[] = {
        {"no format", [&] { sync.sendFormat = 0; }, "sinkConfig invalid"},
        {"no profile", [&] { sync.profileCount = 0; }, "transfer profile invalid"},
        {"ring above 32768 messages", [&] { sync.profiles[0] = synctest::fixProfile(10, 400, 1); },
         "transfer profile invalid"},
        {"cycle below a microsecond", [&] { sync.profiles[0].cycle = Clock(999999); }, "transfer profile invalid"},
        {"no audio per message", [&] { sync.profiles[0].framesQ14 = 0; }, "transfer profile invalid"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        configure();
        c.spoil();
        LogCapture::instance().clear();
        EXPECT_FALSE(sync.connect(-1));
        EXPECT_EQ(sync.state.load(), SyncState::IDLE);
        EXPECT_GE(LogCapture::instance().find(c.log), 0);
    }
}

TEST_F(SyncTest, ResendRingSizes) {
    EXPECT_EQ(Sync::resendRingSize(synctest::fixProfile(1000, 2, 48)), 2048u);
    EXPECT_EQ(Sync::resendRingSize(synctest::fixProfile(100000, 1, 48)), 32u);
    EXPECT_EQ(Sync::resendRingSize(synctest::fixProfile(1000, 32, 48)), 32768u);
    EXPECT_EQ(Sync::resendRingSize(synctest::fixProfile(1000, 33, 48)), 0u);
    EXPECT_EQ(Sync::resendRingSize(synctest::fixProfile(0, 1, 48)), 0u);
    // Cycles of a second and more: every message of the first cycle has its entry.
    EXPECT_EQ(Sync::resendRingSize(synctest::fixProfile(2000000, 40, 48)), 64u);
    EXPECT_EQ(Sync::resendRingSize(synctest::fixProfile(1500000, 33, 48)), 64u);
}

TEST_F(SyncTest, LatencyIsTheSumInHundredMicroseconds) {
    sync.hwLatency = 20;
    sync.latency = 300;
    EXPECT_EQ(sync.getLatency(), Clock::fromMilliseconds(32));
}

TEST_F(SyncTest, RefusedConnectWakesConnectWaitAtOnce) {
    ORVEX::IPAddress from;
    auto waiting = connectAndWait(from);
    const auto before = std::chrono::steady_clock::now();
    ASSERT_TRUE(peer.send(from, Send(CONNECT_ANS, STATUS_NONE)));
    const bool waited = waiting.get();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
    EXPECT_EQ(sync.state.load(), SyncState::IDLE);
    EXPECT_TRUE(LogCapture::instance().waitFor("wth end", 2000ms));
    EXPECT_GE(LogCapture::instance().find("wth CR ack none"), 0);
    if (waited) {
        EXPECT_GE(LogCapture::instance().find("connectWait notimeout"), 0);
        EXPECT_GE(LogCapture::instance().find("connectWait 0"), 0);
    }
}

TEST_F(SyncTest, CloseEndsAWorkerThatWaitsForTheConnectAnswer) {
    ORVEX::IPAddress from;
    auto waiting = connectAndWait(from);
    const auto before = std::chrono::steady_clock::now();
    sync.close();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
    // A waiter that started only after the close finds the state idle.
    (void)waiting.get();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
    EXPECT_EQ(sync.state.load(), SyncState::IDLE);
    EXPECT_FALSE(sync.mainSocket.is_open());
    // Open again and connect again: the earlier worker is gone.
    ASSERT_TRUE(openSync());
    configure();
    EXPECT_TRUE(sync.connect(-1));
    Receive got;
    EXPECT_TRUE(peer.receiveId(CONNECT_REQ, got, from));
    sync.close();
}

TEST_F(SyncTest, WorkerPinnedToItsCpuOrEndingAtOnceWhenRefused) {
    // A CPU that does not exist: the worker ends before connecting and wakes the waiter.
    ASSERT_TRUE(sync.open(Sync::OCCUPIED, Clock::fromMilliseconds(100), 0, "host", 7, 1023, -1, 0));
    configure();
    ASSERT_TRUE(sync.connect(-1));
    const auto before = std::chrono::steady_clock::now();
    (void)sync.connectWait();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
    EXPECT_TRUE(LogCapture::instance().waitFor("wth end", 2000ms));
    EXPECT_EQ(sync.state.load(), SyncState::IDLE);
    EXPECT_GE(LogCapture::instance().find("Worker Thread CPU set error 1023"), 0);
    EXPECT_EQ(LogCapture::instance().find("wth CR"), -1);

    // CPU 0 exists everywhere: pinned, then the connect request goes out.
    ASSERT_TRUE(sync.open(Sync::OCCUPIED, Clock::fromMilliseconds(100), 0, "host", 7, -1, -1, 0));
    configure();
    ASSERT_TRUE(sync.connect(0));
    Receive got;
    ORVEX::IPAddress from;
    EXPECT_TRUE(peer.receiveId(CONNECT_REQ, got, from));
    EXPECT_GE(LogCapture::instance().find("Worker Thread CPU change 0"), 0);
    EXPECT_GE(LogCapture::instance().find("wth start OCCUPIED  FEEDBACK:1  Info=100"), 0);
    sync.close();
}

TEST_F(SyncTest, ConnectWhileAConnectionRunsIsRefused) {
    ASSERT_TRUE(openSync());
    configure();
    ASSERT_TRUE(sync.connect(-1));
    EXPECT_FALSE(sync.connect(-1));
    EXPECT_EQ(sync.state.load(), SyncState::CONNECTING);
    sync.close();
}

TEST_F(SyncTest, PlayAndStopOnlySwitchTheFlag) {
    sync.play();
    EXPECT_TRUE(sync.playing.load());
    sync.stop();
    EXPECT_FALSE(sync.playing.load());
    EXPECT_GE(LogCapture::instance().find("play 0"), 0);
    EXPECT_GE(LogCapture::instance().find("stop 0"), 0);
}

TEST_F(SyncTest, DumpfileAppendsToTheDefaultPath) {
    struct stat before {};
    const bool existed = ::stat("/tmp/dump", &before) == 0;
    const std::uint8_t bytes[5] = {1, 2, 3, 4, 5};
    Connection::dumpfile(ORVEX::BufferCS_const(bytes, sizeof(bytes)), "");
    struct stat after {};
    ASSERT_EQ(::stat("/tmp/dump", &after), 0);
    EXPECT_EQ(after.st_size, (existed ? before.st_size : 0) + 5);
    // A file that cannot be opened is skipped.
    Connection::dumpfile(ORVEX::BufferCS_const(bytes, sizeof(bytes)), "/nonexistent-dir/x");
}

}  // namespace
