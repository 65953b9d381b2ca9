#include "protocol/FormatConfigure.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace ZARNITH {
namespace {

FormatConfigure fc(std::uint64_t w) { return FormatConfigure(w); }

TEST(FormatConfigure, SampleFormatGetters) {
    struct Row {
        FormatID kind;
        std::uint64_t wid, bits;
        bool pcm, isSigned, isFloat, dsd, dsd1, dsd4;
    };
    const std::vector<Row> rows = {
        {PCM8, 1, 8, true, true, false, false, false, false},
        {PCM16, 2, 16, true, true, false, false, false, false},
        {PCM24, 3, 24, true, true, false, false, false, false},
        {PCM32, 4, 32, true, true, false, false, false, false},
        {PCM64, 8, 64, true, true, false, false, false, false},
        {FLOAT32, 4, 32, true, false, true, false, false, false},
        {FLOAT64, 8, 64, true, false, true, false, false, false},
        {DSD1, 2, 1, false, false, false, true, true, false},
        {DSD4, 2, 4, false, false, false, true, false, true},
        {FORMAT_NONE, 2, 16, false, false, false, false, false, false},
        {PCM16 | PCM24, 2, 16, true, false, false, false, false, false},
        {DSD1 | DSD4, 2, 16, false, false, false, true, false, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(static_cast<std::uint64_t>(r.kind));
        const FormatConfigure f = fc(CH2 | r.kind);
        EXPECT_EQ(f.getWid(), r.wid);
        EXPECT_EQ(f.getBits(), r.bits);
        EXPECT_EQ(f.isPCM(), r.pcm);
        EXPECT_EQ(f.isSigned(), r.isSigned);
        EXPECT_EQ(f.isFloat(), r.isFloat);
        EXPECT_EQ(f.isDSD(), r.dsd);
        EXPECT_EQ(f.isDSD1(), r.dsd1);
        EXPECT_EQ(f.isDSD4(), r.dsd4);
    }
    // DSD in 32-bit words is 4 bytes wide.
    EXPECT_EQ(fc(DSD1 | DSD_WORD32).getWid(), 4u);
    EXPECT_EQ(fc(DSD4 | DSD_WORD32).getWid(), 4u);
    EXPECT_EQ(fc(DSD1 | 0x1000000).getWid(), 2u);
}

TEST(FormatConfigure, DsdOrderFlags) {
    const FormatConfigure f = fc(DSD1 | DSD_LSB | DSD_BIG);
    EXPECT_TRUE(f.isDSDlsb());
    EXPECT_FALSE(f.isDSDmsb());
    EXPECT_FALSE(f.isDSDlittle());
    EXPECT_TRUE(f.isDSDbig());
    const FormatConfigure g = fc(DSD1 | DSD_MSB | DSD_LITTLE);
    EXPECT_FALSE(g.isDSDlsb());
    EXPECT_TRUE(g.isDSDmsb());
    EXPECT_TRUE(g.isDSDlittle());
    EXPECT_FALSE(g.isDSDbig());
}

TEST(FormatConfigure, ChannelCodes) {
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> rows = {
        {0x01, 1}, {0x02, 2}, {0x04, 4}, {0x08, 6}, {0x10, 8}, {0x20, 16},
        {0x00, 2}, {0x03, 2}, {0x40, 2}, {0x80, 2}, {0xFF, 2},
    };
    for (auto [code, count] : rows) EXPECT_EQ(fc(PCM16 | code).getChannel(), count) << code;

    FormatConfigure f = fc(0xABCDEF00ull | 0x04);
    for (unsigned count : {1u, 2u, 4u, 6u, 8u, 16u}) {
        EXPECT_TRUE(f.setChannel(count));
        EXPECT_EQ(f.getChannel(), count);
        EXPECT_EQ(static_cast<std::uint64_t>(f) & ~0xFFull, 0xABCDEF00ull);  // only byte 0 changes
    }
    const FormatConfigure before = f;
    for (unsigned count : {0u, 3u, 5u, 7u, 12u, 32u}) {
        EXPECT_FALSE(f.setChannel(count)) << count;
        EXPECT_EQ(static_cast<std::uint64_t>(f), static_cast<std::uint64_t>(before));
    }
}

// Every rate of the table, up to 4096 times the base rates, in both directions.
TEST(FormatConfigure, RateTableUpTo4096) {
    for (int k = 0; k <= 12; ++k) {
        for (auto [hz, base] : {std::pair<std::uint64_t, std::uint64_t>{44100, 0x2},
                                std::pair<std::uint64_t, std::uint64_t>{48000, 0x4}}) {
            const std::uint64_t rate = hz << k;
            SCOPED_TRACE(rate);
            FormatConfigure f = fc(CH2 | PCM32 | 0x1234000000000000ull);
            ASSERT_TRUE(f.setSpeed(rate));
            const std::uint64_t rateWord = (static_cast<std::uint64_t>(f) >> 32) & 0xFFFF;
            EXPECT_EQ(rateWord, base | (0x8ull << k));
            EXPECT_EQ(f.getSpeed(), rate);
            EXPECT_EQ(f.getSpeedBase(), hz);
            EXPECT_EQ(f.getSpeedMulti(), 1ull << k);
            // Only the rate word changes.
            EXPECT_EQ(static_cast<std::uint64_t>(f) & ~FORMAT_RATE_MASK,
                      static_cast<std::uint64_t>(CH2 | PCM32) | 0x1234000000000000ull);
        }
    }
    EXPECT_EQ(fc(BASE_44100 | MULTI_4096).getSpeed(), 180633600u);
    EXPECT_EQ(fc(BASE_48000 | MULTI_4096).getSpeed(), 196608000u);
}

TEST(FormatConfigure, RateEdgeCases) {
    FormatConfigure f = fc(CH2 | PCM24);
    ASSERT_TRUE(f.setSpeed(96000));
    ASSERT_TRUE(f.setSpeed(44100));  // the whole rate word is replaced
    EXPECT_EQ((static_cast<std::uint64_t>(f) >> 32) & 0xFFFF, 0x000Au);
    EXPECT_EQ(f.getSpeed(), 44100u);

    const FormatConfigure before = f;
    for (std::uint64_t bad : {0ull, 1ull, 44000ull, 16000ull, 48000ull * 8192, 44100ull * 3}) {
        EXPECT_FALSE(f.setSpeed(bad)) << bad;
        EXPECT_EQ(static_cast<std::uint64_t>(f), static_cast<std::uint64_t>(before));
    }

    // 8000 Hz: its own base without multiplier; reads back as rate 0.
    ASSERT_TRUE(f.setSpeed(8000));
    EXPECT_EQ((static_cast<std::uint64_t>(f) >> 32) & 0xFFFF, 0x0001u);
    EXPECT_EQ(f.getSpeed(), 0u);
    EXPECT_EQ(f.getSpeedBase(), 8000u);
    EXPECT_EQ(f.getSpeedMulti(), 0u);

    EXPECT_EQ(fc(BASE_44100 | MULTI_64).getSpeed(), 2822400u);
    EXPECT_EQ(fc(BASE_44100 | MULTI_64 | MULTI_128).getSpeed(), 0u);
    EXPECT_EQ(fc(BASE_44100 | MULTI_64 | MULTI_128).getSpeedMulti(), 0u);
    EXPECT_EQ(fc(BASE_44100 | BASE_48000 | MULTI_1).getSpeed(), 0u);
    EXPECT_EQ(fc(BASE_44100 | BASE_48000 | MULTI_1).getSpeedBase(), 0u);
    EXPECT_EQ(fc(BASE_8000 | MULTI_1).getSpeedBase(), 0u);
    EXPECT_EQ(fc(BASE_8000 | MULTI_1).getSpeed(), 0u);
    EXPECT_EQ(fc(MULTI_2).getSpeed(), 0u);
    EXPECT_EQ(fc(BASE_48000).getSpeed(), 0u);
    EXPECT_EQ(fc(0).getSpeed(), 0u);
}

TEST(FormatConfigure, HighRateArithmeticFits64Bits) {
    // 16 channels of 64-bit samples at 48000 x 4096: byte rate above 2^32.
    const FormatConfigure f = fc(CH16 | PCM64 | BASE_48000 | MULTI_4096);
    const std::uint64_t byteRate = f.getSpeed() * f.getBits() * f.getChannel() / 8;
    EXPECT_EQ(byteRate, 196608000ull * 64 * 16 / 8);
    EXPECT_GT(byteRate, 0xFFFFFFFFull);
}

TEST(FormatConfigure, Validity) {
    const std::uint64_t dsdOk = CH2 | DSD1 | DSD_LSB | DSD_BIG | DSD_WORD32 | BASE_44100 | MULTI_64;
    struct Row {
        std::uint64_t word;
        bool valid;
    };
    const std::vector<Row> rows = {
        {CH2 | PCM16, true},                           // no rate: PCM rate word not examined
        {CH2 | PCM16 | BASE_48000 | MULTI_2, true},
        {CH16 | FLOAT64 | BASE_44100 | MULTI_4096, true},
        {CH2 | PCM16 | 0xFFFF000000000000ull, true},  // reserved bits not examined
        {CH2 | PCM16 | DSD_LSB, false},
        {CH2 | PCM16 | DSD_WORD32, false},
        {CH2 | PCM16 | PCM24, false},
        {PCM16, false},                                // no channel code
        {CH1 | CH2 | PCM16, false},
        {0x40 | PCM16, false},
        {CH2, false},                                  // no format
        {CH2 | PCM16 | DSD1, false},
        {dsdOk, true},
        {CH2 | DSD4 | DSD_MSB | DSD_LITTLE | DSD_WORD32 | BASE_48000 | MULTI_512, true},
        {(dsdOk & ~MULTI_64) | MULTI_32, false},      // 1411200 Hz
        {(dsdOk & ~static_cast<std::uint64_t>(DSD_WORD32)) | 0x1000000, false},  // word-size 1
        {dsdOk | DSD_MSB, false},
        {dsdOk & ~static_cast<std::uint64_t>(DSD_LSB), false},
        {dsdOk | DSD_LITTLE, false},
        {dsdOk & ~static_cast<std::uint64_t>(DSD_BIG), false},
        {(dsdOk & ~FORMAT_RATE_MASK) | BASE_8000, false},
        {dsdOk | MULTI_128, false},                    // two multipliers: rate 0
        {0, false},
    };
    for (const Row& r : rows) EXPECT_EQ(fc(r.word).isValid(), r.valid) << std::hex << r.word;
}

TEST(FormatConfigure, MuteByte) {
    EXPECT_EQ(fc(CH2 | PCM24).getMuteByte(), 0);
    EXPECT_EQ(fc(CH2 | FLOAT32).getMuteByte(), 0);
    EXPECT_EQ(fc(CH2 | DSD1 | DSD_LSB).getMuteByte(), 0x69);
    EXPECT_EQ(fc(CH2 | DSD1 | DSD_MSB).getMuteByte(), 0x96);
    EXPECT_EQ(fc(CH2 | DSD4).getMuteByte(), 0x96);
    EXPECT_EQ(fc(0).getMuteByte(), 0);
}

TEST(FormatConfigure, SetFormatMergesNonZeroFields) {
    const std::uint64_t start = CH2 | PCM24 | BASE_48000 | MULTI_2;
    FormatConfigure f = fc(start);
    EXPECT_FALSE(f.setFormat(FORMAT_NONE));
    EXPECT_FALSE(f.setFormat(static_cast<FormatID>(0x00FF000000000000ull)));  // reserved bits alone
    EXPECT_EQ(static_cast<std::uint64_t>(f), start);

    EXPECT_TRUE(f.setFormat(CH6));
    EXPECT_EQ(static_cast<std::uint64_t>(f), (start & ~0xFFull) | CH6);

    f = fc(start);
    EXPECT_TRUE(f.setFormat(DSD1 | DSD_LSB | DSD_LITTLE | DSD_WORD32));
    EXPECT_EQ(static_cast<std::uint64_t>(f),
              static_cast<std::uint64_t>(CH2 | DSD1 | DSD_LSB | DSD_LITTLE | DSD_WORD32 | BASE_48000 | MULTI_2));

    f = fc(start);
    EXPECT_TRUE(f.setFormat(BASE_44100 | MULTI_64));
    EXPECT_EQ(static_cast<std::uint64_t>(f), static_cast<std::uint64_t>(CH2 | PCM24 | BASE_44100 | MULTI_64));

    // Reserved bits are ORed in and never cleared.
    f = fc(start | 0x0100000000000000ull);
    EXPECT_TRUE(f.setFormat(static_cast<FormatID>(CH1 | 0x0200000000000000ull)));
    EXPECT_EQ(static_cast<std::uint64_t>(f), (start & ~0xFFull) | CH1 | 0x0300000000000000ull);
}

}  // namespace
}  // namespace ZARNITH
