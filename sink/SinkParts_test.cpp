// The sink's small parts: configuration units, clock table, stop windows.
#include <gtest/gtest.h>

#include "sink/ClockTable.h"
#include "sink/SinkTestKit.h"
#include "sink/StopWindows.h"

namespace {

using namespace sinktest;

ZARNITH::Sink::Setting withUnits(bool synchro) {
    ZARNITH::Sink::Setting s = recorderSetting();
    s.synchro = synchro ? 1 : 0;
    s.synchroAll = 2;
    s.synchroTotal = 3;
    s.synchroSelf = 2;
    s.synchroName = "group";
    s.configUnits.resize(2);
    s.configUnits[0].name = "Volume";
    s.configUnits[1].name = "Mode";
    return s;
}

TEST(SinkSetting, DefaultsAndSynchroUnits) {
    ZARNITH::Sink::Setting plain;
    EXPECT_EQ(plain.portId, 0);
    EXPECT_EQ(plain.icons[0].kind, 0u);
    EXPECT_EQ(plain.icons[1].kind, 0u);
    EXPECT_EQ(plain.icons[2].kind, 1u);
    EXPECT_EQ(plain.icons[3].kind, 1u);

    const auto generated = withUnits(true).gen();
    ASSERT_EQ(generated.configUnits.size(), 6u);
    EXPECT_EQ(generated.configUnits[2].name, "SynchroTotal");
    EXPECT_EQ(generated.configUnits[2].min, 2);
    EXPECT_EQ(generated.configUnits[2].max, 16);
    EXPECT_EQ(generated.configUnits[3].name, "SynchroAll");
    EXPECT_EQ(generated.configUnits[3].choices.size(), 6u);
    EXPECT_EQ(generated.configUnits[4].name, "SynchroSelf");
    EXPECT_EQ(generated.configUnits[4].max, 65534);
    EXPECT_EQ(generated.configUnits[5].name, "SynchroName");
    EXPECT_EQ(generated.configUnits[5].kind, 4);
    EXPECT_EQ(withUnits(false).gen().configUnits.size(), 2u);
}

TEST(SinkSetting, SynchroUnitsLiveInTheSinkApplicationUnitsInTheApplication) {
    ORVEX::Socket::Waiter waiter;
    ZARNITH::ClosingSink<RecordingSink> sink(withUnits(true), waiter);
    std::string text;
    std::uint16_t value = 77;
    EXPECT_FALSE(sink._ConfigGet(0, text, value)) << "application unit, default slot";
    EXPECT_FALSE(sink._ConfigSet(1, "x", value, false));
    ASSERT_TRUE(sink._ConfigGet(2, text, value));
    EXPECT_EQ(value, 3);
    ASSERT_TRUE(sink._ConfigGet(3, text, value));
    EXPECT_EQ(value, 1) << "All 2 is choice 1";
    ASSERT_TRUE(sink._ConfigSet(3, "", 9, false)) << "choice 9 is kept out but reports success";
    ASSERT_TRUE(sink._ConfigGet(3, text, value));
    EXPECT_EQ(value, 1);
    ASSERT_TRUE(sink._ConfigSet(3, "", 5, false));
    ASSERT_TRUE(sink._ConfigGet(3, text, value));
    EXPECT_EQ(value, 5);
    ASSERT_TRUE(sink._ConfigGet(5, text, value));
    EXPECT_EQ(text, "group");
    ASSERT_TRUE(sink._ConfigSet(5, "", 0, false));
    ASSERT_TRUE(sink._ConfigGet(5, text, value));
    EXPECT_EQ(text, "");
    bool changed = true;
    EXPECT_FALSE(sink._ConfigFinale(true, changed));
    EXPECT_FALSE(changed);

    ZARNITH::ClosingSink<RecordingSink> noSynchro(withUnits(false), waiter);
    for (std::uint16_t i = 0; i < 8; ++i) {
        EXPECT_FALSE(noSynchro._ConfigGet(i, text, value)) << i;
        EXPECT_FALSE(noSynchro._ConfigSet(i, text, value, true)) << i;
    }
    noSynchro.close();  // never opened: harmless
    noSynchro.close();
}

TEST(ClockTable, WholeRecordsOnlyAndTheZeroRule) {
    ZARNITH::ClockTable table;
    std::vector<std::uint8_t> payload(26 * 2 + 25, 0);
    payload[0] = 100;        // offset 100 ps
    payload[8 + 15] = 1;     // ::1
    payload[24] = 2;         // interface 2
    payload[26 + 0] = 0xFF;  // offset -1
    for (int i = 1; i < 8; ++i) payload[26 + i] = 0xFF;
    payload[26 + 8 + 15] = 2;  // ::2
    EXPECT_EQ(table.store(ORVEX::BufferCS_const(payload.data(), payload.size())), 2u);
    ORVEX::IPAddress one;
    one.address[15] = 1;
    one.ifIndex = 2;
    ORVEX::IPAddress two;
    two.address[15] = 2;
    EXPECT_EQ(table.youToMy(one, ORVEX::Clock(100)).picoseconds(), 1u);
    EXPECT_EQ(table.youToMy(one, ORVEX::Clock(300)).picoseconds(), 200u);
    EXPECT_EQ(table.youToMy(two, ORVEX::Clock(5)).picoseconds(), 6u);
    one.ifIndex = 0;
    EXPECT_EQ(table.youToMy(one, ORVEX::Clock(300)).picoseconds(), 0u) << "exact key only";
}

TEST(ClockTable, BoundedNumberOfHostsKnownOnesStillUpdated) {
    ZARNITH::ClockTable table;
    auto recordOf = [](std::uint32_t host, std::uint8_t offset) {
        std::vector<std::uint8_t> r(26, 0);
        r[0] = offset;
        r[8 + 12] = static_cast<std::uint8_t>(host >> 24);
        r[8 + 13] = static_cast<std::uint8_t>(host >> 16);
        r[8 + 14] = static_cast<std::uint8_t>(host >> 8);
        r[8 + 15] = static_cast<std::uint8_t>(host);
        return r;
    };
    auto keyOf = [](std::uint32_t host) {
        ORVEX::IPAddress a;
        for (int i = 0; i < 4; ++i) a.address[12 + i] = static_cast<std::uint8_t>(host >> (24 - 8 * i));
        return a;
    };
    std::vector<std::uint8_t> full;
    for (std::uint32_t h = 1; h <= ZARNITH::ClockTable::MaxHosts; ++h) {
        const auto r = recordOf(h, 10);
        full.insert(full.end(), r.begin(), r.end());
    }
    EXPECT_EQ(table.store(ORVEX::BufferCS_const(full.data(), full.size())), ZARNITH::ClockTable::MaxHosts);
    struct Case {
        std::uint32_t host;
        std::uint8_t offset;
        std::uint64_t stored;
        std::uint64_t converted;  // youToMy(host, 100) afterwards
    };
    const Case cases[] = {
        {ZARNITH::ClockTable::MaxHosts + 1, 20, 0, 0},  // a new host beyond the bound
        {1, 30, 1, 70},                                 // a known host is updated
        {ZARNITH::ClockTable::MaxHosts, 40, 1, 60},
    };
    for (const Case& c : cases) {
        const auto r = recordOf(c.host, c.offset);
        EXPECT_EQ(table.store(ORVEX::BufferCS_const(r.data(), r.size())), c.stored) << c.host;
        EXPECT_EQ(table.youToMy(keyOf(c.host), ORVEX::Clock(100)).picoseconds(), c.converted) << c.host;
    }
}

TEST(StopWindows, KeyedByAddressAndExpiring) {
    ZARNITH::StopWindows windows;
    ORVEX::IPAddress host;
    host.address[15] = 1;
    host.set_port(4000);
    host.ifIndex = 3;
    const ORVEX::Clock t0 = ORVEX::Clock::fromSeconds(10);
    windows.add(host, t0, ORVEX::Clock::fromSeconds(2));
    ORVEX::IPAddress otherPort = host;
    otherPort.set_port(5000);
    EXPECT_TRUE(windows.holds(otherPort));
    windows.expire(t0 + ORVEX::Clock::fromSeconds(2));
    EXPECT_TRUE(windows.holds(host));
    windows.expire(t0 + ORVEX::Clock::fromSeconds(2) + ORVEX::Clock(1));
    EXPECT_FALSE(windows.holds(host));
    windows.add(host, t0, ORVEX::Clock::fromSeconds(2));
    EXPECT_TRUE(windows.remove(otherPort));
    EXPECT_FALSE(windows.remove(host));
}

}  // namespace
