#include "protocol/FormatSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "protocol/FormatConfigure.h"

namespace ZARNITH {
namespace {

// The recorder's two accepted families.
constexpr std::uint64_t kRecorderPCM = 0x000000FE00000802ull;
constexpr std::uint64_t kRecorderDSD = 0x00001E0602510002ull;

TEST(FormatSupport, EmptyMaskGivesZeros) {
    const FormatSupport s;
    EXPECT_EQ(s.getChMin(), 0u);
    EXPECT_EQ(s.getChMax(), 0u);
    EXPECT_FALSE(s.havePCM());
    EXPECT_FALSE(s.haveDSD());
    EXPECT_EQ(s.getBitsMin(), 0u);
    EXPECT_EQ(s.getBitsMax(), 0u);
    EXPECT_EQ(s.getSpeedBaseMin(), 0u);
    EXPECT_EQ(s.getSpeedBaseMax(), 0u);
    EXPECT_EQ(s.getSpeedMultMin(), 0u);
    EXPECT_EQ(s.getSpeedMultMax(), 0u);
}

TEST(FormatSupport, Getters) {
    struct Row {
        std::uint64_t mask;
        std::uint64_t chMin, chMax, bitsMin, bitsMax, baseMin, baseMax, multMin, multMax;
        bool pcm, dsd;
    };
    const std::vector<Row> rows = {
        {CH1 | CH16 | PCM16 | PCM24 | BASE_8000 | BASE_48000 | MULTI_1 | MULTI_4096,
         1, 16, 16, 24, 8000, 48000, 1, 4096, true, false},
        {CH4 | CH6 | CH8 | FLOAT32 | BASE_44100 | MULTI_2 | MULTI_8,
         4, 8, 32, 32, 44100, 44100, 2, 8, true, false},
        {CH2 | PCM8 | FLOAT64 | DSD4, 2, 2, 4, 64, 0, 0, 0, 0, true, true},
        {CH2 | PCM64, 2, 2, 64, 64, 0, 0, 0, 0, true, false},
        {CH2 | PCM32 | PCM8, 2, 2, 8, 32, 0, 0, 0, 0, true, false},
        {kRecorderPCM, 2, 2, 32, 32, 44100, 48000, 1, 16, true, false},
        {kRecorderDSD, 2, 2, 1, 1, 44100, 48000, 64, 512, false, true},
        {kRecorderPCM | kRecorderDSD, 2, 2, 1, 32, 44100, 48000, 1, 512, true, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.mask);
        const FormatSupport s(r.mask);
        EXPECT_EQ(s.getChMin(), r.chMin);
        EXPECT_EQ(s.getChMax(), r.chMax);
        EXPECT_EQ(s.getBitsMin(), r.bitsMin);
        EXPECT_EQ(s.getBitsMax(), r.bitsMax);
        EXPECT_EQ(s.getSpeedBaseMin(), r.baseMin);
        EXPECT_EQ(s.getSpeedBaseMax(), r.baseMax);
        EXPECT_EQ(s.getSpeedMultMin(), r.multMin);
        EXPECT_EQ(s.getSpeedMultMax(), r.multMax);
        EXPECT_EQ(s.havePCM(), r.pcm);
        EXPECT_EQ(s.haveDSD(), r.dsd);
    }
}

TEST(FormatSupport, RecorderWordsSpellTheirBits) {
    EXPECT_EQ(kRecorderPCM, static_cast<std::uint64_t>(CH2 | PCM32 | BASE_44100 | BASE_48000 | MULTI_1 |
                                                       MULTI_2 | MULTI_4 | MULTI_8 | MULTI_16));
    EXPECT_EQ(kRecorderDSD,
              static_cast<std::uint64_t>(CH2 | DSD1 | DSD_LSB | DSD_LITTLE | DSD_WORD32 | BASE_44100 |
                                         BASE_48000 | MULTI_64 | MULTI_128 | MULTI_256 | MULTI_512));

    // Concrete formats inside each family are valid formats of the expected rate.
    const FormatConfigure pcm96(CH2 | PCM32 | BASE_48000 | MULTI_2);
    EXPECT_EQ(static_cast<std::uint64_t>(pcm96) & ~kRecorderPCM, 0u);
    EXPECT_TRUE(pcm96.isValid());
    EXPECT_EQ(pcm96.getSpeed(), 96000u);
    const FormatConfigure dsd64(CH2 | DSD1 | DSD_LSB | DSD_LITTLE | DSD_WORD32 | BASE_44100 | MULTI_64);
    EXPECT_EQ(static_cast<std::uint64_t>(dsd64) & ~kRecorderDSD, 0u);
    EXPECT_TRUE(dsd64.isValid());
    EXPECT_EQ(dsd64.getSpeed(), 2822400u);
    EXPECT_EQ(dsd64.getWid(), 4u);
    EXPECT_EQ(dsd64.getMuteByte(), 0x69);
    // PCM24 lies in neither family.
    const std::uint64_t pcm24 = CH2 | PCM24 | BASE_48000 | MULTI_1;
    EXPECT_NE(pcm24 & ~kRecorderPCM, 0u);
    EXPECT_NE(pcm24 & ~kRecorderDSD, 0u);
}

}  // namespace
}  // namespace ZARNITH
