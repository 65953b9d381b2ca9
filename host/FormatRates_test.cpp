#include "host/FormatRates.h"

#include <gtest/gtest.h>

namespace {

using namespace ZARNITH;

TEST(FormatRates, BytesAndFramesIn64Bits) {
    struct Case {
        std::uint64_t word;
        std::uint64_t bytesPerSecond;
        std::uint64_t framesPer10ms;
    };
    const Case cases[] = {
        {CH2 | PCM16 | BASE_44100 | MULTI_1, 176400, 441},
        {CH2 | PCM32 | BASE_48000 | MULTI_4, 1536000, 1920},
        {CH2 | DSD1 | DSD_LSB | DSD_LITTLE | DSD_WORD32 | BASE_44100 | MULTI_64, 705600, 882},
        // 16 channels of 64-bit samples at 48000 x 4096: far past 32 bits.
        {CH16 | FLOAT64 | BASE_48000 | MULTI_4096, 25165824000ULL, 1966080},
        {CH2 | PCM32, 0, 0},                           // no rate
        {CH2 | PCM16 | BASE_8000, 0, 0},               // 8000 reads back as rate 0
        {CH2 | PCM16 | BASE_44100 | MULTI_1 | MULTI_2, 0, 0},  // two multipliers
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatRates::bytesPerSecond(FormatConfigure(c.word)), c.bytesPerSecond) << std::hex << c.word;
        EXPECT_EQ(FormatRates::framesPer10ms(FormatConfigure(c.word)), c.framesPer10ms) << std::hex << c.word;
    }
}

}  // namespace
