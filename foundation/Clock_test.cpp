#include "foundation/Clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>

using ORVEX::Clock;

namespace {
constexpr std::uint64_t Max = UINT64_MAX;
constexpr std::uint64_t Half = 1ULL << 63;
}  // namespace

TEST(Clock, NowIsPicosecondsOfTheMonotonicClockAndNeverZero) {
    timespec before{}, after{};
    ::clock_gettime(CLOCK_MONOTONIC, &before);
    const Clock now = Clock::now();
    ::clock_gettime(CLOCK_MONOTONIC, &after);
    const std::uint64_t lo = before.tv_sec * 1000000000000ULL + before.tv_nsec * 1000ULL;
    const std::uint64_t hi = after.tv_sec * 1000000000000ULL + after.tv_nsec * 1000ULL;
    EXPECT_GE(now.picoseconds(), lo);
    EXPECT_LE(now.picoseconds(), hi);
    EXPECT_EQ(now.picoseconds() % 1000, 0u);  // nanosecond source, picosecond unit
    EXPECT_TRUE(now.isSet());

    // A monotonic reading of exactly zero gives 1, so 0 keeps meaning "never set".
    EXPECT_EQ(Clock::fromMonotonic(0, 0).picoseconds(), 1u);
    EXPECT_EQ(Clock::fromMonotonic(2, 5).picoseconds(), 2000000005000ULL);
    EXPECT_FALSE(Clock().isSet());
}

TEST(Clock, CompFollowsTheSignOfTheWrappedDifference) {
    struct Case {
        std::uint64_t a, b;
        int expected;
    };
    const Case cases[] = {
        {7, 7, 0},
        {5, 3, 1},
        {3, 5, -1},
        {1, Max, 1},           // the counter wrapped: 1 is later
        {Max, 1, -1},
        {Half - 1, 0, 1},      // largest positive difference
        {0, Half - 1, -1},
        // A difference of exactly 2^63 reads as negative from either side,
        // so each value compares as the earlier one.
        {0, Half, -1},
        {Half, 0, -1},
        {5, Half + 5, -1},
        {Half + 5, 5, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Clock(c.a).Comp(Clock(c.b)), c.expected) << c.a << " vs " << c.b;
}

TEST(Clock, ArithmeticWrapsAndRemainingStopsAtZero) {
    EXPECT_EQ((Clock(Max) + Clock(2)).picoseconds(), 1u);
    EXPECT_EQ((Clock(1) - Clock(2)).picoseconds(), Max);
    // Elapsed time measured across the wrap is still small and positive.
    const Clock start(Max - 10), later(5);
    EXPECT_EQ((later - start).picoseconds(), 16u);
    EXPECT_EQ(later.Comp(start), 1);

    const Clock window = Clock::fromMilliseconds(100);
    EXPECT_EQ(Clock::remaining(window, Clock::fromMilliseconds(30)), Clock::fromMilliseconds(70));
    EXPECT_EQ(Clock::remaining(window, window).picoseconds(), 0u);
    EXPECT_EQ(Clock::remaining(window, Clock::fromMilliseconds(130)).picoseconds(), 0u);
}

TEST(Clock, UnitHelpersUsePicoseconds) {
    EXPECT_EQ(Clock::fromMicroseconds(1).picoseconds(), 1000000ULL);
    EXPECT_EQ(Clock::fromMilliseconds(10).picoseconds(), 10000000000ULL);
    EXPECT_EQ(Clock::fromMilliseconds(500).picoseconds(), 500000000000ULL);
    EXPECT_EQ(Clock::fromSeconds(10).picoseconds(), 10000000000000ULL);
    EXPECT_EQ(Clock::fromNanoseconds(3).picoseconds(), 3000ULL);
    const Clock c(1234567890123456ULL);
    EXPECT_EQ(c.toNanoseconds(), 1234567890123ULL);
    EXPECT_EQ(c.toMicroseconds(), 1234567890ULL);
    EXPECT_EQ(c.toMilliseconds(), 1234567ULL);
    EXPECT_EQ(c.toSeconds(), 1234ULL);
}
