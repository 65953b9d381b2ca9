// The feedback control law: samples of each report kind, the average, the
// control value and its limits, and the log form of the values.
#include <gtest/gtest.h>

#include <vector>

#include "sender/SyncFeedback.h"

using ZARNITH::SyncFeedback;

namespace {

TEST(SyncFeedback, SamplesOfEachReportKind) {
    struct Case {
        std::uint16_t o0, o1, o2;
        int kind;
        std::int16_t sample;
    };
    const Case cases[] = {
        {0x2000, 0, 0, 1, 0},          // on target
        {0x1000, 0, 0, 1, -8192},      // -0.5
        {0x0001, 0, 0, 1, -16382},
        {0x7FFF, 0, 0, 1, 32767},      // 49150 saturates instead of wrapping
        {0x8000, 0, 0, 2, 0},          // level on target
        {0xE000, 0, 0, 2, -8192},      // current 2500 of 5000
        {0x9000, 0, 0, 2, 0x1000},
        {0, 2500, 5000, 3, -8192},
        {0, 7500, 5000, 3, 8192},
        {0, 60000, 1000, 3, 32767},    // 59 x 16384 saturates
        {0, 100, 0, 0, 0},
    };
    for (const Case& c : cases) {
        int kind = -1;
        EXPECT_EQ(SyncFeedback::sample(c.o0, c.o1, c.o2, kind), c.sample) << std::hex << c.o0 << " " << c.o1;
        EXPECT_EQ(kind, c.kind) << std::hex << c.o0;
    }
}

TEST(SyncFeedback, OnTargetReportsLeaveTheControlAlone) {
    SyncFeedback f(1);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(f.update(0), 0);
}

TEST(SyncFeedback, LowFillDrivesTheControlToItsUpperLimit) {
    SyncFeedback f(1);
    // c = 0 - (-8192*655 >> 14) - (-8192*1638 >> 14) = 328 + 819, clamped.
    EXPECT_EQ(f.update(-8192), 491);
    EXPECT_EQ(f.average(), -8192);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(f.update(-8192), 491);
}

TEST(SyncFeedback, HighFillDrivesTheControlDownToItsLowerLimit) {
    SyncFeedback f(1);
    std::int16_t c = 0;
    std::vector<std::int16_t> seen;
    for (int i = 0; i < 40; ++i) seen.push_back(c = f.update(8192));
    EXPECT_EQ(seen[0], -327 - 819);
    EXPECT_EQ(seen[1], -1146 - 327);  // the difference term is 0 now
    EXPECT_EQ(c, -1638);
}

TEST(SyncFeedback, ExtremeSamplesDoNotOverflow) {
    SyncFeedback f(1);
    EXPECT_EQ(f.update(32767), -1638);
    EXPECT_EQ(f.update(-32768), 491);
    EXPECT_EQ(f.update(32767), -1638);
}

TEST(SyncFeedback, AveragesTheNewestSamples) {
    SyncFeedback f(4);
    f.update(4000);
    EXPECT_EQ(f.average(), 1000);
    f.update(4000);
    f.update(4000);
    f.update(4000);
    EXPECT_EQ(f.average(), 4000);
    f.update(0);
    EXPECT_EQ(f.average(), 3000);
    EXPECT_EQ(SyncFeedback(0).averaged(), 1);
    EXPECT_EQ(SyncFeedback(9).averaged(), 8);
}

TEST(SyncFeedback, LogFormOfFixedPointValues) {
    EXPECT_EQ(SyncFeedback::formatQ14(0), "  0.0000");
    EXPECT_EQ(SyncFeedback::formatQ14(-8192), " -0.5000");
    EXPECT_EQ(SyncFeedback::formatQ14(491), "  0.0299");
    EXPECT_EQ(SyncFeedback::formatQ14(-1638), " -0.0999");
    EXPECT_EQ(SyncFeedback::formatQ14(32767), "  1.9999");
}

}  // namespace
