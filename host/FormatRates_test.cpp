#include "host/FormatRates.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "sender/Profile.h"

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

// The ceiling lies above the byte rate of every profile the sender runs:
// for each cycle, the most full-sized messages its resend ring admits. And
// it is that bound itself, not a figure picked beside it.
TEST(FormatRates, TheCeilingIsTheMostAnyProfileCarries) {
    double most = 0;
    for (std::uint64_t cycleUs : {1ULL, 7ULL, 100ULL, 1000ULL, 333334ULL, 499999ULL, 500000ULL, 500001ULL, 666667ULL,
                                  999999ULL, 1000000ULL, 1000001ULL, 3000000ULL}) {
        Profile profile;
        profile.cycle = ORVEX::Clock::fromMicroseconds(cycleUs);
        profile.packetSize = static_cast<std::uint32_t>(Send::MAX_PAYLOAD);
        profile.framesQ14 = 16384;
        unsigned low = 0;  // the most messages a cycle the ring admits
        unsigned high = 0x10000;
        while (high - low > 1) {
            const unsigned mid = (low + high) / 2;
            profile.packetCount = static_cast<std::uint16_t>(mid);
            if (Sync::resendRingSize(profile) != 0)
                low = mid;
            else
                high = mid;
        }
        const double rate = static_cast<double>(low) * Send::MAX_PAYLOAD * 1e6 / static_cast<double>(cycleUs);
        EXPECT_LE(rate, static_cast<double>(FormatRates::MaxStreamBytesPerSecond)) << cycleUs;
        most = std::max(most, rate);
    }
    EXPECT_GE(most, 0.99 * static_cast<double>(FormatRates::MaxStreamBytesPerSecond));
}

TEST(FormatRates, StreamableFormats) {
    struct Case {
        std::uint64_t word;
        bool streamable;
    };
    const Case cases[] = {
        {CH2 | PCM16 | BASE_44100 | MULTI_1, true},
        {CH2 | DSD1 | DSD_LSB | DSD_LITTLE | DSD_WORD32 | BASE_44100 | MULTI_512, true},
        {CH16 | PCM64 | BASE_48000 | MULTI_512, true},    // 3.1 GB/s
        {CH16 | PCM64 | BASE_48000 | MULTI_1024, false},  // 6.3 GB/s
        {CH16 | PCM64 | BASE_48000 | MULTI_4096, false},  // 25 GB/s
        {CH2 | PCM32, false},                             // no rate
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatRates::streamable(FormatConfigure(c.word)), c.streamable) << std::hex << c.word;
}

}  // namespace
