// The hand-over word: which side owns a connection after each move, and what
// a move that comes too late finds.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sink/StreamHandOver.h"

using ZARNITH::StreamHandOver;
using Thread = StreamHandOver::Thread;
using Withdrawn = StreamHandOver::Withdrawn;

namespace {

// One connection up to the point where the control step could not send its answer.
void handedOver(StreamHandOver& h) {
    h.opened();
    ASSERT_TRUE(h.beginConnect());
    ASSERT_TRUE(h.handOver());
}

TEST(StreamHandOver, AConnectionGoesOnceThroughBothSides) {
    StreamHandOver h;
    EXPECT_FALSE(h.threadReady()) << "no stream thread before open";
    EXPECT_FALSE(h.beginConnect());
    h.opened();
    EXPECT_TRUE(h.threadReady());
    EXPECT_FALSE(h.playing());
    EXPECT_FALSE(h.take()) << "nothing handed over yet";
    ASSERT_TRUE(h.beginConnect());
    EXPECT_TRUE(h.playing()) << "playing from the step into connecting";
    EXPECT_FALSE(h.beginConnect()) << "one connection at a time";
    EXPECT_FALSE(h.take()) << "a connection in the making is not the thread's";
    ASSERT_TRUE(h.handOver());
    EXPECT_EQ(h.connection(), StreamHandOver::CONNECTED);
    ASSERT_TRUE(h.take());
    EXPECT_TRUE(h.streaming());
    ASSERT_TRUE(h.beginDisconnect());
    EXPECT_TRUE(h.mustWait()) << "disconnecting";
    EXPECT_TRUE(h.playing()) << "until the disconnect is done";
    h.disconnected();
    EXPECT_EQ(h.connection(), StreamHandOver::IDLE);
    EXPECT_FALSE(h.playing());
    EXPECT_TRUE(h.mustWait()) << "the thread is not back idle yet";
    EXPECT_FALSE(h.beginConnect());
    h.backToIdle();
    EXPECT_FALSE(h.mustWait());
    EXPECT_TRUE(h.beginConnect()) << "the next connection";
    h.dropConnecting();
    EXPECT_EQ(h.connection(), StreamHandOver::IDLE);
    EXPECT_FALSE(h.playing());
}

// The control step takes a connection back; whoever moved first owns the
// disconnect notice, and a later move of the other side finds nothing.
TEST(StreamHandOver, WithdrawOwnsTheNoticeUnlessTheThreadEndedFirst) {
    struct Case {
        const char* what;
        std::function<void(StreamHandOver&)> before;  // the stream thread's moves first
        Withdrawn withdrawn;
    };
    const std::vector<Case> cases = {
        {"before the thread took it", [](StreamHandOver&) {}, Withdrawn::BeforeTaken},
        {"after the thread took it", [](StreamHandOver& h) { ASSERT_TRUE(h.take()); }, Withdrawn::AfterTaken},
        {"after the thread began its end",
         [](StreamHandOver& h) {
             ASSERT_TRUE(h.take());
             ASSERT_TRUE(h.beginDisconnect());
         },
         Withdrawn::AlreadyEnded},
    };
    for (const Case& c : cases) {
        StreamHandOver h;
        handedOver(h);
        c.before(h);
        EXPECT_EQ(h.withdraw(), c.withdrawn) << c.what;
        EXPECT_FALSE(h.take()) << c.what;
        if (c.withdrawn != Withdrawn::AlreadyEnded) {
            EXPECT_EQ(h.connection(), StreamHandOver::IDLE) << c.what;
            EXPECT_FALSE(h.beginDisconnect()) << c.what << ": the thread leaves without a notice";
        }
    }
}

TEST(StreamHandOver, ClosingAndTheThreadsOwnEnd) {
    {
        StreamHandOver h;
        handedOver(h);
        EXPECT_TRUE(h.ended()) << "a connection handed over and never taken is the ending thread's";
        EXPECT_EQ(h.thread(), Thread::Stopped);
        EXPECT_EQ(h.connection(), StreamHandOver::IDLE);
        EXPECT_FALSE(h.handOver());
        EXPECT_EQ(h.withdraw(), Withdrawn::AlreadyEnded);
    }
    {
        StreamHandOver h;
        handedOver(h);
        ASSERT_TRUE(h.take());
        EXPECT_FALSE(h.ended()) << "a taken connection was ended in the data phase";
    }
    {
        StreamHandOver h;
        h.opened();
        h.closing(false);
        EXPECT_TRUE(h.closingCleanly());
        EXPECT_FALSE(h.threadReady());
        EXPECT_FALSE(h.abandoned());
        (void)h.ended();
        EXPECT_TRUE(h.closingCleanly()) << "the thread's end keeps the close";
        h.closed();
        EXPECT_EQ(h.thread(), Thread::Stopped);
    }
    {
        StreamHandOver h;
        handedOver(h);
        ASSERT_TRUE(h.take());
        h.closing(true);
        h.closing(false);
        EXPECT_TRUE(h.abandoned()) << "an abandoned sink stays abandoned";
        EXPECT_TRUE(h.beginDisconnect()) << "close ends a taken connection";
        h.backToIdle();
        EXPECT_TRUE(h.abandoned());
    }
}

}  // namespace
