// Format settlement, the DSD conversion table, the copy routines, phase
// inversion and the sizes handed to the profile maker.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/SysLog.h"
#include "sender/SenderTestLog.h"
#include "sender/Sync.h"

namespace ZARNITH {
namespace {

using sendertest::LogCapture;

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kRate64 = BASE_44100 | MULTI_64;
constexpr std::uint64_t dsd(std::uint64_t order, std::uint64_t words) {
    return CH2 | DSD1 | order | words | DSD_WORD32 | kRate64;
}
// A sink family mask holding exactly one bit order and one word order.
constexpr std::uint64_t family(std::uint64_t order, std::uint64_t words) { return dsd(order, words); }

// Runs a converter over `in` into a destination pre-filled with 0xEE.
Bytes run(Sync::Converter c, const Bytes& in, std::size_t extra = 0) {
    Bytes out(in.size() + extra, 0xEE);
    c(out.data(), in.data(), in.size());
    return out;
}

// ---- Every row of the DSD conversion table ----

struct ConversionRow {
    std::uint64_t source;  // bit order and word order of the host's stream
    std::uint64_t lsbMask;
    std::uint64_t msbMask;
    std::uint64_t target;  // bits 8-31 of the format sent
    Sync::Converter converter;
    const char* log;
    Bytes out;  // of 01 02 04 08 10 20 40 80 03
};

TEST(SyncFormat, EveryDsdConversionRow) {
    const Bytes in = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x03};
    const Bytes byteSwap = {0x08, 0x04, 0x02, 0x01, 0x80, 0x40, 0x20, 0x10, 0xEE};
    const Bytes bitSwap = {0x10, 0x20, 0x40, 0x80, 0x01, 0x02, 0x04, 0x08, 0xEE};
    const Bytes bitByteSwap = {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01, 0xEE};
    const std::uint64_t LSB_L = DSD_LSB | DSD_LITTLE, LSB_B = DSD_LSB | DSD_BIG;
    const std::uint64_t MSB_L = DSD_MSB | DSD_LITTLE, MSB_B = DSD_MSB | DSD_BIG;
    const ConversionRow rows[] = {
        {LSB_L, family(DSD_LSB, DSD_BIG), 0, 0x2910000, &Sync::memcpySyncByteSwap32,
         "DSD COVERT LSB littele -> LSB Big", byteSwap},
        {LSB_B, family(DSD_LSB, DSD_LITTLE), 0, 0x2510000, &Sync::memcpySyncByteSwap32,
         "DSD COVERT LSB Big -> LSB littele", byteSwap},
        {LSB_L, 0, family(DSD_MSB, DSD_BIG), 0x2A10000, &Sync::memcpySyncBitByteSwap32,
         "DSD COVERT LSB littele -> MSB Big", bitByteSwap},
        {LSB_L, 0, family(DSD_MSB, DSD_LITTLE), 0x2610000, &Sync::memcpySyncBitSwap32,
         "DSD COVERT LSB littele -> MSB littele", bitSwap},
        {LSB_B, 0, family(DSD_MSB, DSD_LITTLE), 0x2610000, &Sync::memcpySyncBitByteSwap32,
         "DSD COVERT LSB Big -> MSB littele", bitByteSwap},
        {LSB_B, 0, family(DSD_MSB, DSD_BIG), 0x2A10000, &Sync::memcpySyncBitSwap32,
         "DSD COVERT LSB Big -> MSB Big", bitSwap},
        {MSB_L, 0, family(DSD_MSB, DSD_BIG), 0x2A10000, &Sync::memcpySyncByteSwap32,
         "DSD COVERT MSB littele -> MSB Big", byteSwap},
        {MSB_B, 0, family(DSD_MSB, DSD_LITTLE), 0x2610000, &Sync::memcpySyncByteSwap32,
         "DSD COVERT MSB Big -> MSB littele", byteSwap},
        {MSB_L, family(DSD_LSB, DSD_BIG), 0, 0x2910000, &Sync::memcpySyncBitByteSwap32,
         "DSD COVERT MSB littele -> LSB Big", bitByteSwap},
        {MSB_L, family(DSD_LSB, DSD_LITTLE), 0, 0x2510000, &Sync::memcpySyncBitSwap32,
         "DSD COVERT MSB littele -> LSB littele", bitSwap},
        {MSB_B, family(DSD_LSB, DSD_LITTLE), 0, 0x2510000, &Sync::memcpySyncBitByteSwap32,
         "DSD COVERT MSB Big -> LSB littele", bitByteSwap},
        {MSB_B, family(DSD_LSB, DSD_BIG), 0, 0x2910000, &Sync::memcpySyncBitSwap32,
         "DSD COVERT MSB Big -> LSB Big", bitSwap},
    };
    for (const ConversionRow& row : rows) {
        SCOPED_TRACE(row.log);
        LogCapture log;
        Sync sync;
        sync.sincSupportDSDlsb = row.lsbMask;
        sync.sincSupportDSDmsb = row.msbMask;
        const std::uint64_t host = CH2 | DSD1 | row.source | DSD_WORD32 | kRate64;
        ASSERT_TRUE(sync.setSinkConfigure(host));
        EXPECT_EQ(static_cast<std::uint64_t>(sync.requestedFormat), host);
        EXPECT_EQ(static_cast<std::uint64_t>(sync.sendFormat), (host & ~FORMAT_ORDER_MASK) | row.target);
        EXPECT_EQ(sync.converter, row.converter);
        EXPECT_EQ(log.lines(), std::vector<std::string>{row.log});
        // Bit-exact through the settled converter; the partial word is left alone.
        Bytes out(in.size(), 0xEE);
        sync.memcpySync(out.data(), in.data(), in.size());
        EXPECT_EQ(out, row.out);
    }
}

// ---- Settlement outcomes: one table ----

struct SettleCase {
    const char* name;
    std::uint64_t pcm, lsb, msb;
    std::uint64_t format;
    bool result;
    std::uint64_t sent;  // sendFormat after the call (the earlier one when refused)
    Sync::Converter converter;
};

TEST(SyncFormat, SettlementOutcomes) {
    constexpr std::uint64_t pcm24 = CH2 | PCM24 | BASE_48000 | MULTI_2;
    constexpr std::uint64_t earlier = CH2 | PCM16 | BASE_44100 | MULTI_1;
    constexpr std::uint64_t lsbLittle = dsd(DSD_LSB, DSD_LITTLE);
    const SettleCase cases[] = {
        {"native PCM", pcm24, 0, 0, pcm24, true, pcm24, &Sync::memcpySyncOrg},
        {"PCM rate missing from the mask", pcm24 & ~MULTI_2, 0, 0, pcm24, false, earlier, &Sync::memcpySyncAntiPhase},
        {"native DSD", 0, lsbLittle, 0, lsbLittle, true, lsbLittle, &Sync::memcpySyncOrg},
        {"DSD without order bits uses both masks", 0, CH2 | DSD1 | DSD_WORD32 | kRate64, DSD_LITTLE, CH2 | DSD1 | DSD_LITTLE | DSD_WORD32 | kRate64,
         true, CH2 | DSD1 | DSD_LITTLE | DSD_WORD32 | kRate64, &Sync::memcpySyncOrg},
        {"DSD4 is not converted", 0, family(DSD_LSB, DSD_BIG) | DSD4, 0, (lsbLittle & ~DSD1) | DSD4, false, earlier,
         &Sync::memcpySyncAntiPhase},
        {"16-bit DSD words are not converted", 0, family(DSD_LSB, DSD_BIG), 0,
         (lsbLittle & ~FORMAT_DSD_FLAGS_MASK) | DSD_LSB | DSD_LITTLE | 0x1000000, false, earlier,
         &Sync::memcpySyncAntiPhase},
        {"no family with 32-bit words", 0, family(DSD_LSB, DSD_BIG) & ~DSD_WORD32, 0, lsbLittle, false, earlier,
         &Sync::memcpySyncAntiPhase},
        {"converted format still unsupported", 0, family(DSD_LSB, DSD_BIG) & ~MULTI_64, 0, lsbLittle, false, earlier,
         &Sync::memcpySyncAntiPhase},
        {"neither PCM nor DSD", ~0ULL, ~0ULL, ~0ULL, CH2 | kRate64, false, earlier, &Sync::memcpySyncAntiPhase},
        // A rate that reads 0 would send empty messages or divide by zero.
        {"8000 Hz base refused", ~0ULL, 0, 0, CH2 | PCM16 | BASE_8000, false, earlier, &Sync::memcpySyncAntiPhase},
        {"no rate refused", ~0ULL, 0, 0, CH2 | PCM16, false, earlier, &Sync::memcpySyncAntiPhase},
        {"two multipliers refused", ~0ULL, 0, 0, CH2 | PCM16 | BASE_44100 | MULTI_1 | MULTI_2, false, earlier,
         &Sync::memcpySyncAntiPhase},
    };
    for (const SettleCase& c : cases) {
        SCOPED_TRACE(c.name);
        Sync sync;
        sync.sendFormat = earlier;
        sync.requestedFormat = earlier;
        sync.converter = &Sync::memcpySyncAntiPhase;
        sync.sincSupportPCM = c.pcm;
        sync.sincSupportDSDlsb = c.lsb;
        sync.sincSupportDSDmsb = c.msb;
        EXPECT_EQ(sync.setSinkConfigure(c.format), c.result);
        EXPECT_EQ(static_cast<std::uint64_t>(sync.sendFormat), c.sent);
        EXPECT_EQ(static_cast<std::uint64_t>(sync.requestedFormat), c.result ? c.format : earlier);
        EXPECT_EQ(sync.converter, c.converter);
    }
}

TEST(SyncFormat, RefusalsLogOnlyTheRowTried) {
    LogCapture log;
    Sync sync;
    sync.sincSupportDSDlsb = family(DSD_LSB, DSD_BIG) & ~MULTI_64;
    EXPECT_FALSE(sync.setSinkConfigure(dsd(DSD_LSB, DSD_LITTLE)));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"DSD COVERT LSB littele -> LSB Big"});
    log.clear();
    EXPECT_FALSE(sync.setSinkConfigure(CH2 | PCM16 | BASE_8000));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"sinkConfig rate invalid 4294967810"});
}

// ---- Copy routines ----

TEST(SyncFormat, ConvertersAndTables) {
    EXPECT_EQ(Sync::swapBitsTable[0x01], 0x80);
    EXPECT_EQ(Sync::swapBitsTable[0x03], 0xC0);
    EXPECT_EQ(Sync::swapBitsTableAntiPhase[0x00], 0xFF);
    EXPECT_EQ(Sync::swapBitsTableAntiPhase[0x01], 0x7F);
    for (int i = 0; i < 256; ++i) {
        const std::uint8_t r = Sync::swapBitsTable[i];
        for (int b = 0; b < 8; ++b) ASSERT_EQ((i >> b) & 1, (r >> (7 - b)) & 1) << i;
        ASSERT_EQ(Sync::swapBitsTableAntiPhase[i], static_cast<std::uint8_t>(~r)) << i;
    }
    const Bytes five = {0x01, 0x02, 0x03, 0x04, 0x05};
    EXPECT_EQ(run(&Sync::memcpySyncByteSwap32, five), (Bytes{0x04, 0x03, 0x02, 0x01, 0xEE}));
    EXPECT_EQ(run(&Sync::memcpySyncByteSwap32AntiPhase, five), (Bytes{0xFB, 0xFC, 0xFD, 0xFE, 0xEE}));
    EXPECT_EQ(run(&Sync::memcpySyncBitSwap32AntiPhase, Bytes{0x01, 0x02, 0x04, 0x08}), (Bytes{0xEF, 0xDF, 0xBF, 0x7F}));
    EXPECT_EQ(run(&Sync::memcpySyncBitByteSwap32AntiPhase, Bytes{0x01, 0x02, 0x04, 0x08}),
              (Bytes{0x7F, 0xBF, 0xDF, 0xEF}));
    // The plain complement covers every byte: eight at a time, then the rest.
    Bytes eleven(11);
    for (std::size_t i = 0; i < eleven.size(); ++i) eleven[i] = static_cast<std::uint8_t>(i * 37);
    Bytes complemented = eleven;
    for (auto& b : complemented) b = static_cast<std::uint8_t>(~b);
    EXPECT_EQ(run(&Sync::memcpySyncAntiPhase, eleven), complemented);
    EXPECT_EQ(run(&Sync::memcpySyncOrg, eleven), eleven);
    EXPECT_EQ(run(&Sync::memcpySyncOrg, Bytes{}, 2), (Bytes{0xEE, 0xEE}));
}

// ---- Phase ----

struct PhaseCase {
    bool host;
    bool sink;
    Sync::Converter start;
    std::uint64_t format;
    Sync::Converter expected;
    const char* hostLine;
    const char* playLine;
};

TEST(SyncFormat, PhaseTwins) {
    constexpr std::uint64_t pcm = CH2 | PCM32 | BASE_48000 | MULTI_1;
    constexpr std::uint64_t f32 = CH2 | FLOAT32 | BASE_48000 | MULTI_1;
    constexpr std::uint64_t f64 = CH2 | FLOAT64 | BASE_48000 | MULTI_1;
    constexpr std::uint64_t d = dsd(DSD_LSB, DSD_BIG);
    const PhaseCase cases[] = {
        // Host inverted, sink inverted (0x0100 without 0x0080): both cancel.
        {true, true, &Sync::memcpySyncOrg, pcm, &Sync::memcpySyncOrg, "Host Phase Invert", "Play Phase Normal"},
        // Host inverted, sink normal (0x0180).
        {true, false, &Sync::memcpySyncOrg, pcm, &Sync::memcpySyncAntiPhase, "Host Phase Invert", "Play Phase Invert"},
        {false, true, &Sync::memcpySyncAntiPhase, pcm, &Sync::memcpySyncAntiPhase, "Host Phase Normal", "Play Phase Invert"},
        {false, false, &Sync::memcpySyncAntiPhase, pcm, &Sync::memcpySyncOrg, "Host Phase Normal", "Play Phase Normal"},
        {false, true, &Sync::memcpySyncByteSwap32, d, &Sync::memcpySyncByteSwap32AntiPhase, "Host Phase Normal", "Play Phase Invert"},
        {false, false, &Sync::memcpySyncByteSwap32AntiPhase, d, &Sync::memcpySyncByteSwap32, "Host Phase Normal", "Play Phase Normal"},
        {true, false, &Sync::memcpySyncBitSwap32, d, &Sync::memcpySyncBitSwap32AntiPhase, "Host Phase Invert", "Play Phase Invert"},
        {true, true, &Sync::memcpySyncBitSwap32AntiPhase, d, &Sync::memcpySyncBitSwap32, "Host Phase Invert", "Play Phase Normal"},
        {false, true, &Sync::memcpySyncBitByteSwap32, d, &Sync::memcpySyncBitByteSwap32AntiPhase, "Host Phase Normal", "Play Phase Invert"},
        {true, true, &Sync::memcpySyncBitByteSwap32AntiPhase, d, &Sync::memcpySyncBitByteSwap32, "Host Phase Invert", "Play Phase Normal"},
        // Floats change sign instead of being complemented.
        {false, true, &Sync::memcpySyncOrg, f32, &Sync::memcpySyncAntiPhaseFloat32, "Host Phase Normal", "Play Phase Invert"},
        {false, true, &Sync::memcpySyncOrg, f64, &Sync::memcpySyncAntiPhaseFloat64, "Host Phase Normal", "Play Phase Invert"},
        {false, false, &Sync::memcpySyncAntiPhaseFloat32, f32, &Sync::memcpySyncOrg, "Host Phase Normal", "Play Phase Normal"},
    };
    for (const PhaseCase& c : cases) {
        LogCapture log;
        Sync sync;
        sync.sendFormat = c.format;
        sync.converter = c.start;
        sync.choosePhaseConverter(c.sink, c.host);
        EXPECT_EQ(sync.converter, c.expected) << c.hostLine << " / " << c.playLine;
        EXPECT_EQ(log.lines(), (std::vector<std::string>{c.hostLine, c.playLine}));
    }
}

TEST(SyncFormat, FloatInversionFlipsSignsAcrossChunksAndKeepsSilenceZero) {
    Sync sync;
    sync.sincSupportPCM = ~0ULL;
    ASSERT_TRUE(sync.setSinkConfigure(CH2 | FLOAT32 | BASE_48000 | MULTI_1));
    sync.choosePhaseConverter(true, false);
    const float samples[] = {1.0f, -0.5f, 0.0f, 3.25f};
    Bytes in(sizeof(samples));
    std::memcpy(in.data(), samples, sizeof(samples));
    // Chunks that end inside a sample: the grid follows the stream.
    Bytes out(in.size(), 0xEE);
    sync.memcpySync(out.data(), in.data(), 3);
    sync.memcpySync(out.data() + 3, in.data() + 3, 6);
    sync.memcpySync(out.data() + 9, in.data() + 9, in.size() - 9);
    float result[4];
    std::memcpy(result, out.data(), sizeof(result));
    EXPECT_EQ(result[0], -1.0f);
    EXPECT_EQ(result[1], 0.5f);
    EXPECT_EQ(result[2], 0.0f);  // -0.0: still silence, never a NaN
    EXPECT_TRUE(std::signbit(result[2]));
    EXPECT_EQ(result[3], -3.25f);
    EXPECT_EQ(sync.silenceByte(true), 0);

    Sync wide;
    wide.sincSupportPCM = ~0ULL;
    ASSERT_TRUE(wide.setSinkConfigure(CH1 | FLOAT64 | BASE_44100 | MULTI_1));
    wide.choosePhaseConverter(false, true);
    const double d[] = {2.0, -8.0};
    Bytes din(sizeof(d));
    std::memcpy(din.data(), d, sizeof(d));
    Bytes dout(din.size());
    wide.memcpySync(dout.data(), din.data(), 5);
    wide.memcpySync(dout.data() + 5, din.data() + 5, din.size() - 5);
    double dres[2];
    std::memcpy(dres, dout.data(), sizeof(dres));
    EXPECT_EQ(dres[0], -2.0);
    EXPECT_EQ(dres[1], 8.0);

    Sync dsdSync;
    dsdSync.sincSupportDSDlsb = ~0ULL;
    ASSERT_TRUE(dsdSync.setSinkConfigure(dsd(DSD_LSB, DSD_LITTLE)));
    EXPECT_EQ(dsdSync.silenceByte(false), 0x69);
    EXPECT_EQ(dsdSync.silenceByte(true), 0x96);

    // Integer silence inverted is its complement, as the inverting converter
    // makes of the ring's silence.
    Sync pcmSync;
    pcmSync.sincSupportPCM = ~0ULL;
    ASSERT_TRUE(pcmSync.setSinkConfigure(CH2 | PCM32 | BASE_48000 | MULTI_1));
    EXPECT_EQ(pcmSync.silenceByte(false), 0);
    EXPECT_EQ(pcmSync.silenceByte(true), 0xFF);
    const std::uint8_t ringSilence[4] = {0, 0, 0, 0};
    std::uint8_t inverted[4] = {};
    Sync::memcpySyncAntiPhase(inverted, ringSilence, sizeof(inverted));
    EXPECT_EQ(inverted[0], pcmSync.silenceByte(true));
}

// ---- Sizes for the profile maker and the packet limits ----

TEST(SyncFormat, SizesForTheProfileMaker) {
    LogCapture log;
    Sync sync;
    EXPECT_EQ(sync.getNoneBaseMin(), 0xFFFFFFFFu);
    EXPECT_EQ(sync.getFrameMax(), 0u);
    const std::uint64_t pcm = CH2 | PCM16 | PCM32 | BASE_44100 | MULTI_1 | MULTI_2 | MULTI_4;
    sync.sincSupportPCM = pcm;
    EXPECT_EQ(sync.getNoneBaseMin(), 8u);
    EXPECT_EQ(sync.getFrameMax(), 8u);
    EXPECT_TRUE(log.has("sincSupportPCM=" + std::to_string(pcm) + " si=8"));
    // A mask whose figure is 0 is passed over for the minimum; the largest
    // frame wins.
    sync.sincSupportDSDlsb = CH1 | DSD1 | DSD_LSB | BASE_44100 | MULTI_4;   // si 0, frame 0
    sync.sincSupportDSDmsb = CH2 | DSD1 | DSD_MSB | BASE_44100 | MULTI_64;  // si 16, frame 0
    sync.sincSupportPCM = CH8 | PCM32 | BASE_48000 | MULTI_2;               // si 64, frame 32
    EXPECT_EQ(sync.getNoneBaseMin(), 16u);
    EXPECT_EQ(sync.getFrameMax(), 32u);
}

struct PackCase {
    std::uint16_t mtu, max;
    std::uint16_t size, count;
};

TEST(SyncFormat, PackSizes) {
    const PackCase cases[] = {
        {1500, 15000, 1428, 10},
        {9000, 0xFFFF, 8928, 0xFFFF},
        {1500, 1499, 1428, 0},
        {74, 1000, 2, 13},
        // No payload left, or a wrap below the headers: refused, limits kept.
        {0, 100, 1428, 10},
        {64, 100, 1428, 10},
        {40, 0xFFFF, 1428, 10},
        {65, 100, 1428, 10},
    };
    for (const PackCase& c : cases) {
        SCOPED_TRACE(c.mtu);
        Sync sync;
        ASSERT_TRUE(sync.setPackSize(1500, 15000));  // 1428 and 10, kept by a refusal
        sync.setPackSize(c.mtu, c.max);
        EXPECT_EQ(sync.packDataSize, c.size);
        EXPECT_EQ(sync.packDataCount, c.count);
    }
}

}  // namespace
}  // namespace ZARNITH
