// The echo bound: a burst per source and window, a bounded table of sources,
// and a clock that runs backwards.
#include <gtest/gtest.h>

#include "protocol/EchoLimiter.h"

using ORVEX::Clock;
using ZARNITH::EchoLimiter;

namespace {

ORVEX::IPAddress from(std::uint16_t port, std::uint8_t last = 1) {
    ORVEX::IPAddress a;
    a.address[15] = last;
    a.set_port(port);
    return a;
}

TEST(EchoLimiter, BurstPerSourceAndWindow) {
    EchoLimiter limiter;
    const Clock t = Clock::fromSeconds(100);
    for (unsigned i = 0; i < EchoLimiter::Burst; ++i) EXPECT_TRUE(limiter.allow(from(5000), t)) << i;
    EXPECT_FALSE(limiter.allow(from(5000), t + Clock::fromMilliseconds(999)));
    EXPECT_TRUE(limiter.allow(from(5001), t)) << "each port has its own budget";
    EXPECT_TRUE(limiter.allow(from(5000, 2), t)) << "each address has its own budget";
    EXPECT_TRUE(limiter.allow(from(5000), t + EchoLimiter::Window)) << "a new window";
}

TEST(EchoLimiter, TheTableOfSourcesIsBounded) {
    EchoLimiter full;
    const Clock t = Clock::fromSeconds(100);
    for (unsigned i = 0; i < EchoLimiter::MaxSources; ++i)
        ASSERT_TRUE(full.allow(from(static_cast<std::uint16_t>(1000 + i)), t));
    EXPECT_FALSE(full.allow(from(9999), t + Clock::fromMilliseconds(500))) << "table full of live windows";
    EXPECT_TRUE(full.allow(from(1000), t + Clock::fromMilliseconds(500))) << "known sources go on";
    EXPECT_TRUE(full.allow(from(9999), t + EchoLimiter::Window)) << "ended windows make room";

    // Many more sources than the table holds, window after window.
    EchoLimiter busy;
    for (unsigned round = 0; round < 4; ++round)
        for (unsigned i = 0; i < 2 * EchoLimiter::MaxSources; ++i)
            (void)busy.allow(from(static_cast<std::uint16_t>(20000 + i)), t + round * EchoLimiter::Window);
    EXPECT_TRUE(busy.allow(from(60000), t + 5 * EchoLimiter::Window)) << "old sources are forgotten";
}

// A time before the window's start ends the window: the source gets a new
// burst at once, and a table full of such windows makes room.
TEST(EchoLimiter, AClockThatRunsBackwardsStartsANewWindow) {
    const Clock t = Clock::fromSeconds(100);
    struct Case {
        Clock start, now;
        bool ended;
    };
    const Case cases[] = {
        {t, t, false},
        {t, t + EchoLimiter::Window - Clock(1), false},
        {t, t + EchoLimiter::Window, true},
        {t, t - Clock(1), true},
        {t, t - Clock::fromSeconds(3600), true},
        {Clock(~std::uint64_t{0} - 5), Clock(10), false},  // across the wrap: 16 ps later
    };
    for (const Case& c : cases)
        EXPECT_EQ(EchoLimiter::ended(c.start, c.now), c.ended) << c.start.picoseconds() << " " << c.now.picoseconds();

    EchoLimiter limiter;
    for (unsigned i = 0; i < EchoLimiter::Burst; ++i) ASSERT_TRUE(limiter.allow(from(5000), t));
    EXPECT_FALSE(limiter.allow(from(5000), t));
    EXPECT_TRUE(limiter.allow(from(5000), t - Clock::fromSeconds(3600))) << "not silenced for an hour";
    for (unsigned i = 1; i < EchoLimiter::Burst; ++i) EXPECT_TRUE(limiter.allow(from(5000), t - Clock::fromSeconds(3600)));
    EXPECT_FALSE(limiter.allow(from(5000), t - Clock::fromSeconds(3600))) << "the new window has its burst only";

    EchoLimiter full;
    for (unsigned i = 0; i < EchoLimiter::MaxSources; ++i)
        ASSERT_TRUE(full.allow(from(static_cast<std::uint16_t>(1000 + i)), t));
    EXPECT_TRUE(full.allow(from(9999), t - Clock::fromSeconds(60))) << "windows from the future make room";
}

}  // namespace
