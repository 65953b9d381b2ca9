// The echo guard: never to a target endpoint's own port, a burst per source
// and window, a bounded table of sources.
#include <gtest/gtest.h>

#include "target/TargetEchoGuard.h"

using ORVEX::Clock;
using ZARNITH::TargetEchoGuard;

namespace {

ORVEX::IPAddress from(std::uint16_t port, std::uint8_t last = 1) {
    ORVEX::IPAddress a;
    a.address[15] = last;
    a.set_port(port);
    return a;
}

TEST(TargetEchoGuard, OwnPortNeverBurstPerWindowAndBoundedSources) {
    TargetEchoGuard g(19642);
    const Clock t = Clock::fromSeconds(100);
    EXPECT_FALSE(g.allow(from(19642), t)) << "another target, or this one";
    for (unsigned i = 0; i < TargetEchoGuard::Burst; ++i) EXPECT_TRUE(g.allow(from(5000), t)) << i;
    EXPECT_FALSE(g.allow(from(5000), t + Clock::fromMilliseconds(999)));
    EXPECT_TRUE(g.allow(from(5001), t)) << "each source has its own budget";
    EXPECT_TRUE(g.allow(from(5000), t + TargetEchoGuard::Window)) << "a new window";

    TargetEchoGuard full(19642);
    for (unsigned i = 0; i < TargetEchoGuard::MaxSources; ++i)
        ASSERT_TRUE(full.allow(from(static_cast<std::uint16_t>(1000 + i)), t));
    EXPECT_FALSE(full.allow(from(9999), t)) << "table full of live windows";
    EXPECT_TRUE(full.allow(from(9999), t + TargetEchoGuard::Window)) << "ended windows make room";
}

}  // namespace
