#include "sink/StreamRate.h"

#include <gtest/gtest.h>

namespace {

using ZARNITH::StreamRate;

TEST(StreamRate, CodesOfLevels) {
    struct Case {
        std::uint16_t current, target, code;
    };
    const Case cases[] = {
        {5000, 5000, 0x8000},   // on target
        {2500, 5000, 0xE000},   // half: -0.5
        {7500, 5000, 0xA000},   // +0.5
        {9999, 5000, 0xBFFC},   // just below twice the target
        {10000, 5000, 0x8000},  // twice the target or more reads as on target
        {65535, 5000, 0x8000},
        {0, 5000, 0xC000},      // empty: -1.0
        {16383, 16384, 0xFFFF},  // computes to the "none pending" code
        {0, 0, 0x8000},          // no target
        {100, 0, 0x8000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(StreamRate::code(c.current, c.target), c.code) << c.current << "/" << c.target;
}

TEST(StreamRate, DurationOfBytes) {
    EXPECT_EQ(StreamRate::bytesPer10ms(44100, 16, 2), 1764u);
    std::uint16_t level = 4900;
    ASSERT_TRUE(StreamRate::addDuration(level, 1764, 1764));
    EXPECT_EQ(level, 5000);
    ASSERT_TRUE(StreamRate::addDuration(level, 0, 0)) << "nothing to add needs no rate";
    EXPECT_EQ(level, 5000);
    EXPECT_FALSE(StreamRate::addDuration(level, 100, 0)) << "no divisor, no report";
    EXPECT_EQ(level, 5000);
    // The largest formats do not overflow: 196608000 Hz x 64 bits x 16 channels.
    const std::uint64_t big = StreamRate::bytesPer10ms(196608000, 64, 16);
    EXPECT_EQ(big, 196608000ULL * 64 * 16 / 8 / 100);
    level = 0;
    ASSERT_TRUE(StreamRate::addDuration(level, big * 3, big));
    EXPECT_EQ(level, 300);
    // A huge byte count wraps the 16-bit level instead of the product.
    level = 0;
    ASSERT_TRUE(StreamRate::addDuration(level, ~0ULL, 1));
    EXPECT_EQ(level, static_cast<std::uint16_t>(~0ULL * 100));
}

}  // namespace
