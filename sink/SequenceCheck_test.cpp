#include "sink/SequenceCheck.h"

#include <gtest/gtest.h>

#include "sink/SequenceNumber.h"

namespace {

using ZARNITH::SequenceCheck;
using ZARNITH::SequenceNumber;
using V = SequenceCheck::Verdict;

TEST(SequenceNumber, SerialOrderAcrossTheWrap) {
    struct Case {
        std::uint16_t from, to;
        int distance;
    };
    const Case cases[] = {
        {0, 0, 0},          {0, 1, 1},          {1, 0, -1},         {65535, 0, 1},
        {0, 65535, -1},     {65530, 4, 10},     {4, 65530, -10},    {0, 32767, 32767},
        {0, 32768, -32768}, {32768, 0, -32768}, {65535, 32766, 32767},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SequenceNumber::distance(c.from, c.to), c.distance) << c.from << "->" << c.to;
        EXPECT_EQ(SequenceNumber::after(c.to, c.from), c.distance > 0) << c.from << "->" << c.to;
    }
    EXPECT_EQ(SequenceNumber::next(65535), 0);
}

TEST(SequenceCheck, VerdictsFollowTheExpectedNumberThroughTheWrap) {
    SequenceCheck check;
    check.reset(ORVEX::Clock(1));
    EXPECT_EQ(check.check(0), V::InOrder);
    EXPECT_EQ(check.check(5), V::Gap);
    EXPECT_EQ(check.check(65535), V::Old);
    for (int i = 0; i < 65535; ++i) check.accepted(ORVEX::Clock(1));
    EXPECT_EQ(check.expected(), 65535);
    EXPECT_EQ(check.check(65535), V::InOrder);
    EXPECT_EQ(check.check(0), V::Gap);
    EXPECT_EQ(check.check(65534), V::Old);
    check.accepted(ORVEX::Clock(1));
    EXPECT_EQ(check.expected(), 0);
    EXPECT_EQ(check.check(0), V::InOrder);
    EXPECT_EQ(check.check(65535), V::Old);
    EXPECT_EQ(check.check(1), V::Gap);
}

TEST(SequenceCheck, SevenBitNumbersCompareModulo128) {
    SequenceCheck check;
    check.reset(ORVEX::Clock(1));
    for (int i = 0; i < 130; ++i) check.accepted(ORVEX::Clock(1));
    EXPECT_EQ(check.check7(2), V::InOrder);
    EXPECT_EQ(check.check7(0x82), V::InOrder);
    EXPECT_EQ(check.check7(1), V::Gap);
    EXPECT_EQ(check.check7(3), V::Gap);
}

TEST(SequenceCheck, OneResendRequestPerTenMilliseconds) {
    const ORVEX::Clock t0 = ORVEX::Clock::fromSeconds(100);
    const ORVEX::Clock ms = ORVEX::Clock::fromMilliseconds(1);
    SequenceCheck check;
    check.reset(t0);
    EXPECT_TRUE(check.takeResendSlot(t0));
    EXPECT_FALSE(check.takeResendSlot(t0 + ms));
    EXPECT_FALSE(check.takeResendSlot(t0 + 9 * ms));
    EXPECT_TRUE(check.takeResendSlot(t0 + 10 * ms));
    EXPECT_FALSE(check.takeResendSlot(t0 + 11 * ms));
    // An in-order datagram opens the slot again at once.
    check.accepted(t0 + 12 * ms);
    EXPECT_TRUE(check.takeResendSlot(t0 + 12 * ms));
}

}  // namespace
