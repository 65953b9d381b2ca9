// Transfer profiles: every configTransfer operation against its edge cases,
// the sink-guided search and the sender's front operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/SysLog.h"
#include "sender/SenderTestLog.h"
#include "sender/ProfileMaker.h"
#include "sender/Sync.h"

namespace ZARNITH {
namespace {

using ORVEX::Clock;

using sendertest::LogCapture;

Clock us(std::uint64_t v) { return Clock::fromMicroseconds(v); }

constexpr std::uint64_t kCd = CH2 | PCM16 | BASE_44100 | MULTI_1;       // R 176400, F 4
constexpr std::uint64_t kHi = CH2 | PCM32 | BASE_48000 | MULTI_4;       // R 1536000, F 8
constexpr std::uint64_t kQ48 = CH2 | PCM32 | BASE_48000 | MULTI_1;      // R 384000, F 8
constexpr std::uint64_t kDsd8 = CH8 | DSD1 | DSD_LSB | DSD_LITTLE | DSD_WORD32 | BASE_44100 | MULTI_64;  // R 2822400, F 32
// 49.152 MHz x 64 bits x 16 channels: 6291456000 bytes per second, past 32 bits.
constexpr std::uint64_t kHuge = CH16 | PCM64 | BASE_48000 | MULTI_1024;  // F 128

struct Expect {
    std::uint64_t cycleUs;  // ps / 10^6, or exact ps when cyclePs is set
    std::uint64_t cyclePs;
    std::uint32_t packetSize, packetSizeMax, framesQ14;
    std::uint16_t packetCount;
    std::uint64_t cycleMinUs;
    std::uint32_t mode;
};

struct MakerCase {
    const char* name;
    std::uint64_t format;
    std::uint16_t size, count;  // packet limits
    std::function<bool(ProfileMaker&)> op;
    bool result;
    Expect e;
};

void check(const ProfileMaker& m, const Expect& e) {
    const std::uint64_t ps = e.cyclePs != 0 ? e.cyclePs : e.cycleUs * 1000000ULL;
    EXPECT_EQ(m.cycle.picoseconds(), ps);
    EXPECT_EQ(m.packetSize, e.packetSize);
    EXPECT_EQ(m.packetSizeMax, e.packetSizeMax);
    EXPECT_EQ(m.framesQ14, e.framesQ14);
    EXPECT_EQ(m.packetCount, e.packetCount);
    EXPECT_EQ(m.cycleMin.toMicroseconds(), e.cycleMinUs);
    EXPECT_EQ(m.mode, e.mode);
}

void runTable(const std::vector<MakerCase>& cases) {
    for (const MakerCase& c : cases) {
        SCOPED_TRACE(c.name);
        ProfileMaker m;
        m.setConfig(c.format, us(400), c.size, c.count);
        EXPECT_EQ(c.op(m), c.result);
        if (c.result) check(m, c.e);
    }
}

TEST(ProfileMaker, Fix) {
    runTable({
        {"44.1 kHz 16-bit stereo at 1 ms", kCd, 1428, 10, [](ProfileMaker& m) { return m.configTransferFix(us(1000), 10); },
         true, {1000, 0, 0, 184, 722534, 1, 0, 1}},
        {"cycle shortened to fit one message", kHi, 1428, 10, [](ProfileMaker& m) { return m.configTransferFix(us(10000), 1); },
         true, {900, 0, 0, 1424, 2831155, 1, 0, 1}},
        {"count 0 takes the message limit", kHi, 1428, 10, [](ProfileMaker& m) { return m.configTransferFix(us(10000), 0); },
         true, {9000, 0, 0, 1424, 2831155, 10, 0, 1}},
        {"64-bit byte rate", kHuge, 8928, 0xFFFF, [](ProfileMaker& m) { return m.configTransferFix(us(1000), 0); },
         true, {1000, 0, 0, 6528, 805306, 726, 0, 1}},
        {"no message budget", kCd, 0, 10, [](ProfileMaker& m) { return m.configTransferFix(us(1000), 1); }, false, {}},
        {"no messages allowed", kCd, 1428, 0, [](ProfileMaker& m) { return m.configTransferFix(us(1000), 0); }, false, {}},
        {"shortened to nothing", kHi, 8, 1, [](ProfileMaker& m) { return m.configTransferFix(us(200), 1); }, false, {}},
        {"cycle of 0", kCd, 1428, 10, [](ProfileMaker& m) { return m.configTransferFix(Clock(), 1); }, false, {}},
        {"cycle below 1 us", kCd, 1428, 10, [](ProfileMaker& m) { return m.configTransferFix(Clock(999999), 1); }, false, {}},
        {"rate reading 0", CH2 | PCM16 | BASE_8000, 1428, 10, [](ProfileMaker& m) { return m.configTransferFix(us(1000), 1); },
         false, {}},
    });
}

TEST(ProfileMaker, Var) {
    runTable({
        {"fits one message", kCd, 1428, 10, [](ProfileMaker& m) { return m.configTransferVar(us(1000), 10); },
         true, {1000, 0, 180, 180, 45 * 16384, 1, 0, 0}},
        {"one message allowed: cycle shortened", kCd, 1428, 10, [](ProfileMaker& m) { return m.configTransferVar(us(10000), 1); },
         true, {8096, 0, 1428, 1428, 357 * 16384, 1, 0, 0}},
        {"count 0 takes the message limit", kHi, 1428, 10, [](ProfileMaker& m) { return m.configTransferVar(us(10000), 0); },
         true, {9297, 0, 1424, 1424, 178 * 16384, 10, 0, 0}},
        {"no message budget", kCd, 0, 10, [](ProfileMaker& m) { return m.configTransferVar(us(1000), 1); }, false, {}},
        {"messages smaller than a frame", kCd, 2, 10, [](ProfileMaker& m) { return m.configTransferVar(us(1000), 0); },
         false, {}},
        {"cycle of 0", kCd, 1428, 10, [](ProfileMaker& m) { return m.configTransferVar(Clock(), 1); }, false, {}},
        {"rate reading 0", CH2 | PCM16, 1428, 10, [](ProfileMaker& m) { return m.configTransferVar(us(1000), 1); }, false, {}},
    });
}

TEST(ProfileMaker, CountSearches) {
    runTable({
        {"FixAuto adds messages until the limit stops helping", kHi, 1428, 10,
         [](ProfileMaker& m) { return m.configTransferFixAuto(us(10000)); }, true, {9000, 0, 0, 1424, 2831155, 10, 0, 1}},
        {"FixAuto stops at the requested cycle", kHi, 1428, 10,
         [](ProfileMaker& m) { return m.configTransferFixAuto(us(4000)); }, true, {4000, 0, 0, 1272, 2516582, 5, 0, 1}},
        {"VarAuto stops at the requested cycle", kCd, 1428, 10,
         [](ProfileMaker& m) { return m.configTransferVarAuto(us(10000)); }, true, {10000, 0, 880, 880, 220 * 16384, 2, 0, 0}},
        {"VarAuto with one message allowed", kCd, 1428, 1,
         [](ProfileMaker& m) { return m.configTransferVarAuto(us(10000)); }, true, {8096, 0, 1428, 1428, 357 * 16384, 1, 0, 0}},
        {"no budget: the search ends", kCd, 0, 10, [](ProfileMaker& m) { return m.configTransferFixAuto(us(1000)); }, false, {}},
    });
}

TEST(ProfileMaker, RandomAndSizeFix) {
    runTable({
        {"random between 500 us and 1 ms", kCd, 1428, 10,
         [](ProfileMaker& m) { return m.configTransferRandom(us(500), us(1000), 0); }, true, {1000, 0, 0, 184, 722534, 1, 500, 2}},
        {"random minimum of 0.5 us", kCd, 1428, 10,
         [](ProfileMaker& m) { return m.configTransferRandom(Clock(500000), us(1000), 0); }, false, {}},
        {"random minimum not shorter than the cycle", kCd, 1428, 10,
         [](ProfileMaker& m) { return m.configTransferRandom(us(1000), us(1000), 0); }, false, {}},
        {"size fits one message", kCd, 1428, 10, [](ProfileMaker& m) { return m.configTransferSizeFix(1000); }, true,
         {5669, 0, 1000, 1000, 250 * 16384, 1, 0, 0}},
        {"size halved into messages", kCd, 1428, 10, [](ProfileMaker& m) { return m.configTransferSizeFix(4000); }, true,
         {22676, 0, 1000, 1000, 250 * 16384, 4, 0, 0}},
        {"size 0", kCd, 1428, 10, [](ProfileMaker& m) { return m.configTransferSizeFix(0); }, false, {}},
        {"size below a frame", kCd, 1428, 10, [](ProfileMaker& m) { return m.configTransferSizeFix(3); }, false, {}},
        {"size with no message size", kCd, 0, 10, [](ProfileMaker& m) { return m.configTransferSizeFix(1000); }, false, {}},
    });
}

TEST(ProfileMaker, SetParameter) {
    struct Row {
        unsigned short min, max;
        std::uint16_t id;
        bool result, quorvanel;
    };
    const Row rows[] = {
        {0, 0, 0, false, false}, {100, 2000, 0x20, true, false}, {3, 10, 0x20, true, true},
        {333, 1000, 0, true, true}, {3, 10, 0, true, false}, {33333, 40000, 0x01, true, true},
    };
    for (const Row& r : rows) {
        ProfileMaker m;
        m.cycle = us(5);
        EXPECT_EQ(m.setParameter(r.min, r.max, static_cast<ProfileID>(r.id), 4, 4), r.result) << r.min;
        EXPECT_EQ(m.quorvanelAllowed, r.quorvanel) << r.min;
        EXPECT_EQ(m.cycle, Clock());
    }
}

// ---- The sink-guided search ----

struct AutoCase {
    const char* name;
    std::uint64_t format;
    Clock limit;
    unsigned short min, max;
    std::uint16_t id;
    unsigned baseMin, frameMax;
    std::uint16_t size;
    bool result;
    Expect e;
    const char* log;
};

TEST(ProfileMaker, SinkGuidedSearch) {
    const AutoCase cases[] = {
        {"no parameters", kCd, us(400), 0, 0, 0, 4, 4, 1428, false, {}, nullptr},
        {"SinkCycle: messages added up to the sink's minimum", kCd, us(400), 100, 2000, SINKCYCLE, 4, 4, 1428, true,
         {0, 1995464852, 176, 176, 44 * 16384, 2, 0, 3}, "SINCCYCLE=176x2 cycle=1995464852ps"},
        {"Quorvanel: 1/300 s in one message", kQ48, us(400), 333, 2000, SINKCYCLE, 8, 8, 1428, true,
         {0, 3333333333, 1280, 1280, 160 * 16384, 1, 0, 3}, "PROFILE done Quorvanel"},
        {"Quorvanel halved into messages", kHi, us(400), 333, 2000, SINKCYCLE, 32, 8, 1428, true,
         {0, 3333333333, 1280, 1280, 160 * 16384, 4, 0, 3}, "PROFILE done Quorvanel"},
        {"Quorvanel fragment falls back to SinkCycle", kHi, us(400), 333, 2000, SINKCYCLE, 32, 12, 1428, true,
         {0, 3343750000, 856, 856, 107 * 16384, 6, 0, 3}, "QuorvanelMode fragment talt"},
        {"SinkCycle with a rate reading 0", CH2 | PCM16 | BASE_8000, us(400), 333, 2000, SINKCYCLE, 4, 4, 1428, false, {},
         "QuorvanelMode base rate talt"},
        {"SinkCycle without a frame maximum", kCd, us(400), 100, 2000, SINKCYCLE, 4, 0, 1428, false, {}, nullptr},
        // Eight channels of DSD64 in 32-bit words: 1411 one-byte frames of the
        // masks make messages of 1411 x 32 bytes.
        {"SinkCycle messages larger than the sink takes", kDsd8, us(400), 100, 2000, SINKCYCLE, 64, 1, 1428, false, {},
         "SinkCycle refused message 45152 PackDataSize1428"},
        {"Fix from the maximum", kCd, us(400), 100, 2000, PROFILE_NONE, 4, 4, 1428, true, {7800, 0, 0, 1420, 5635768, 1, 0, 1},
         "PROFILE done Fix"},
        {"Fix from the maximum outside the sink's range", kCd, us(400), 100, 500, PROFILE_NONE, 4, 4, 8, false, {}, nullptr},
        {"Var from the minimum with margin", kCd, us(1000), 50, 2000, static_cast<ProfileID>(VARCYCLE | MINSTART | LIMITMARGIN),
         4, 4, 1428, true, {1050, 0, 188, 188, 47 * 16384, 1, 0, 0}, "PROFILE done Var"},
        {"Fix from the minimum, count searched", kHi, us(400), 200, 2000, static_cast<ProfileID>(MINSTART | COUNTSEARCH), 4, 4,
         1428, true, {2000, 0, 0, 1056, 2095054, 3, 0, 1}, "PROFILE done Fix"},
        // A limit of 0 is floored; a search that never builds is bounded.
        {"limit 0 floored", kCd, Clock(), 5, 2000, static_cast<ProfileID>(MINSTART | LIMITMARGIN), 4, 4, 1428, true,
         {100, 0, 0, 20, 72253, 1, 0, 1}, "PROFILE done Fix"},
        {"search without a budget is bounded", kCd, us(400), 5, 2000, MINSTART, 4, 4, 0, false, {}, "PROFILE search bound Fix"},
    };
    for (const AutoCase& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        ProfileMaker m;
        m.setConfig(c.format, c.limit, c.size, 10);
        (void)m.setParameter(c.min, c.max, static_cast<ProfileID>(c.id), c.baseMin, c.frameMax);
        EXPECT_EQ(m.configTransferAuto(), c.result);
        if (c.result) {
            check(m, c.e);
        }
        if (c.log != nullptr) {
            EXPECT_TRUE(log.has(c.log)) << c.log;
        }
    }
}

TEST(ProfileMaker, AutomaticFallbackAlwaysLeavesAProfile) {
    LogCapture log;
    ProfileMaker m;
    m.setConfig(kCd, us(1000), 1428, 10);
    EXPECT_FALSE(m.setParameter(0, 0, PROFILE_NONE, 4, 4));
    m.configTransferAuto(Clock());
    // Lifted limit, searched from the limit cycle until 1.03 x limit.
    check(m, {1050, 0, 0, 192, 758661, 1, 0, 1});
    EXPECT_EQ(m.packDataCount, 10);
    EXPECT_FALSE(m.forceCountSearch);
    for (const char* line : {"configTransferAuto 0", "configTransferAuto falt", "configTransferAuto done"})
        EXPECT_TRUE(log.has(line)) << line;

    ProfileMaker zero;
    zero.setConfig(kCd, Clock(), 1428, 10);
    zero.configTransferAuto(Clock());
    check(zero, {150, 0, 0, 28, 108380, 1, 0, 1});
}

// ---- The sender's front operations ----

struct FrontCase {
    const char* name;
    std::uint64_t format;
    std::function<bool(Sync&)> op;
    bool result;
    std::uint64_t cycleUs;
    std::uint16_t count;
    std::uint32_t mode;
    std::uint64_t cycleSize;
};

TEST(SyncTransfer, FrontOperations) {
    const FrontCase cases[] = {
        {"Fix", kCd, [](Sync& s) { return s.configTransferFix(us(1000), 0); }, true, 1000, 1, 1, 0},
        {"Var", kCd, [](Sync& s) { return s.configTransferVar(us(10000), 1); }, true, 8096, 1, 0, 1428},
        {"FixAuto", kHi, [](Sync& s) { return s.configTransferFixAuto(us(10000)); }, true, 9000, 10, 1, 0},
        {"VarAuto", kCd, [](Sync& s) { return s.configTransferVarAuto(us(10000)); }, true, 10000, 2, 0, 1760},
        {"Random", kCd, [](Sync& s) { return s.configTransferRandom(us(500), us(1000), 0); }, true, 1000, 1, 2, 0},
        {"Random without a minimum", kCd, [](Sync& s) { return s.configTransferRandom(Clock(), us(1000), 0); }, false,
         2000, 3, 0, 0},
        {"Fix failing keeps the profile", kCd, [](Sync& s) { return s.configTransferFix(Clock(), 0); }, false, 2000, 3, 0, 0},
        // 726 messages per millisecond: a resend ring beyond 32768 entries.
        {"resend ring too large", kHuge, [](Sync& s) { return s.configTransferFix(us(1000), 0); }, false, 2000, 3, 0, 0},
    };
    for (const FrontCase& c : cases) {
        SCOPED_TRACE(c.name);
        Sync sync;
        sync.sendFormat = c.format;
        // A sink's datagram size and budget: 8928 bytes without a limit, or 1428 bytes 10 times.
        ASSERT_TRUE(c.format == kHuge ? sync.setPackSize(9000, 0xFFFF) : sync.setPackSize(1500, 15000));
        Profile earlier;
        earlier.cycle = us(2000);
        earlier.packetCount = 3;
        earlier.framesQ14 = 16384;
        earlier.mode = 0;
        sync.setConfigTransfer(earlier);
        ASSERT_EQ(sync.profileCount, 1);
        EXPECT_EQ(c.op(sync), c.result);
        EXPECT_EQ(sync.profileCount, 1);
        EXPECT_EQ(sync.getCycleTime(), us(c.cycleUs));
        EXPECT_EQ(sync.profiles[0].packetCount, c.count);
        EXPECT_EQ(sync.getMode(), c.mode);
        EXPECT_EQ(sync.getCycleSize(), c.cycleSize);
        // Every front operation works with the 400 us limit.
        EXPECT_EQ(sync.getProfileMaker().limitCycle, us(400));
    }
}

TEST(SyncTransfer, AutomaticFrontYieldsTwoProfiles) {
    LogCapture log;
    Sync sync;
    sync.sendFormat = kCd;
    ASSERT_TRUE(sync.setPackSize(1500, 15000));  // 1428 bytes, 10 messages
    (void)sync.profileMaker.setParameter(100, 2000, PROFILE_NONE, 4, 4);
    sync.configTransferAuto(us(400), Clock(), us(1000));
    ASSERT_EQ(sync.profileCount, 2);
    EXPECT_EQ(sync.profiles[0].cycle, us(7800));
    // The fallback profile searches the count at the sink's maximum.
    EXPECT_EQ(sync.profiles[1].cycle, us(20000));
    EXPECT_EQ(sync.profiles[1].packetCount, 3);
    EXPECT_EQ(sync.getMinCycleTime(), Clock());
    EXPECT_FALSE(sync.profileMaker.forceCountSearch);
    EXPECT_TRUE(log.has("configTransferAuto  limit400 maxPacketSize1428 maxPacketCount10"));
    EXPECT_TRUE(log.has("configTransferAuto done"));
}

// A sink's budget below one datagram per cycle: 0 messages. The fixed and
// variable profiles (and their count searches) have no room; the automatic
// one still yields two profiles the worker can run.
TEST(SyncTransfer, BudgetBelowOneDatagramLeavesOnlyTheAutomaticProfile) {
    LogCapture log;
    Sync sync;
    sync.sendFormat = kQ48;
    ASSERT_TRUE(sync.setPackSize(1500, 1000));
    ASSERT_EQ(sync.packDataCount, 0);
    EXPECT_FALSE(sync.configTransferFix(us(2000), 0));
    EXPECT_FALSE(sync.configTransferVar(us(2000), 0));
    EXPECT_FALSE(sync.configTransferFixAuto(us(2000)));
    EXPECT_FALSE(sync.configTransferVarAuto(us(2000)));
    EXPECT_EQ(sync.profileCount, 0);
    (void)sync.profileMaker.setParameter(0, 0, PROFILE_NONE, 8, 8);
    sync.configTransferAuto(Clock(), Clock(), us(2000));
    ASSERT_EQ(sync.profileCount, 2);
    for (int i = 0; i < 2; ++i) EXPECT_NE(Sync::resendRingSize(sync.profiles[i]), 0u) << i;
    EXPECT_GE(sync.profiles[1].cycle.picoseconds(), us(2000).picoseconds());
    EXPECT_TRUE(log.has("configTransferAuto falt"));
}

// No message size at all: not even the lifted-limit search builds a profile,
// and the earlier connection's profile is not left to run in its place.
TEST(SyncTransfer, AutomaticFrontWithoutAnyProfileLeavesNone) {
    LogCapture log;
    Sync sync;
    sync.sendFormat = kCd;
    ASSERT_TRUE(sync.setPackSize(1500, 15000));  // 1428 bytes, 10 messages
    ASSERT_TRUE(sync.configTransferFix(us(1000), 0));
    ASSERT_EQ(sync.profileCount, 1);
    sync.packDataSize = 0;
    sync.configTransferAuto(us(400), Clock(), us(1000));
    EXPECT_EQ(sync.profileCount, 0);
    EXPECT_TRUE(log.has("configTransferAuto falt"));
    EXPECT_TRUE(log.has("configTransferAuto done"));
}

}  // namespace
}  // namespace ZARNITH
