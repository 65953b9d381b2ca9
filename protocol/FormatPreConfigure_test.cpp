#include "protocol/FormatPreConfigure.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace ZARNITH {
namespace {

TEST(FormatPreConfigure, BuildsFromFormatAndLatency) {
    const FormatConfigure f(CH2 | FLOAT32 | BASE_48000 | MULTI_2 | 0xAB00000000000000ull);
    const FormatPreConfigure p(f, 25);
    EXPECT_EQ(p.getPreFormat(), PRE_FLOAT);
    EXPECT_EQ(p.getLatency(), 25);
    EXPECT_EQ((static_cast<std::uint64_t>(p) >> 32) & 0xFFFF, 0x0014u);
    EXPECT_EQ(static_cast<std::uint64_t>(p),
              0xAB00000000000000ull | (0x0014ull << 32) | (25ull << 16) | PRE_FLOAT | CH2);
}

TEST(FormatPreConfigure, ClassOfEachFormat) {
    struct Row {
        std::uint64_t format;
        FormatPreID preClass;
        bool pcm, isSigned, isFloat, dsd, dsd1, dsd4;
    };
    const std::vector<Row> rows = {
        {CH2 | PCM8, PRE_SIGNED, true, true, false, false, false, false},
        {CH2 | PCM24, PRE_SIGNED, true, true, false, false, false, false},
        {CH2 | PCM64, PRE_SIGNED, true, true, false, false, false, false},
        {CH2 | FLOAT32, PRE_FLOAT, true, false, true, false, false, false},
        {CH2 | FLOAT64, PRE_FLOAT, true, false, true, false, false, false},
        {CH2 | DSD1 | DSD_LSB, PRE_DSD1, false, false, false, true, true, false},
        {CH2 | DSD4 | DSD_MSB, PRE_DSD4, false, false, false, true, false, true},
        {CH2, PRE_DSD1, false, false, false, true, true, false},  // no format at all
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.format);
        const FormatPreConfigure p(FormatConfigure(r.format), 0);
        EXPECT_EQ(p.getPreFormat(), r.preClass);
        EXPECT_EQ(p.isPCM(), r.pcm);
        EXPECT_EQ(p.isSigned(), r.isSigned);
        EXPECT_EQ(p.isFloat(), r.isFloat);
        EXPECT_EQ(p.isDSD(), r.dsd);
        EXPECT_EQ(p.isDSD1(), r.dsd1);
        EXPECT_EQ(p.isDSD4(), r.dsd4);
    }
}

TEST(FormatPreConfigure, ComparisonIgnoresLatency) {
    FormatConfigure f(CH2 | FLOAT32 | BASE_48000 | MULTI_2);
    FormatPreConfigure p(f, 25);
    EXPECT_TRUE(p == f);
    for (std::uint16_t latency : {0, 1, 1000, 0xFFFF}) {
        p.setLatency(latency);
        EXPECT_EQ(p.getLatency(), latency);
        EXPECT_TRUE(p == f) << latency;
    }
    ASSERT_TRUE(f.setChannel(1));
    EXPECT_FALSE(p == f);
    ASSERT_TRUE(f.setChannel(2));
    ASSERT_TRUE(f.setSpeed(44100));
    EXPECT_FALSE(p == f);
    // A format of the same class but another sample width has the same pre-format.
    EXPECT_TRUE(FormatPreConfigure(FormatConfigure(CH2 | PCM16), 3) == FormatConfigure(CH2 | PCM32));
}

TEST(FormatPreConfigure, SettersTouchOnlyTheirField) {
    FormatPreConfigure p(FormatConfigure(CH8 | PCM16 | BASE_44100 | MULTI_4), 7);
    const std::uint64_t before = p;
    p.setLatency(0xBEEF);
    EXPECT_EQ(static_cast<std::uint64_t>(p), (before & ~0xFFFF0000ull) | 0xBEEF0000ull);
    p.setPreFormat(PRE_DSD4);
    EXPECT_EQ(p.getPreFormat(), PRE_DSD4);
    EXPECT_TRUE(p.isDSD4());
    EXPECT_EQ(static_cast<std::uint64_t>(p) & ~0xFF00ull, (before & ~0xFFFFFF00ull) | 0xBEEF0000ull);
}

}  // namespace
}  // namespace ZARNITH
