// The registry's rules with the clock in the test's hand: seeding, expiry,
// replacement, stop windows, the wire tables and the bounds.
#include <gtest/gtest.h>

#include "target/TargetRegistry.h"

using ZARNITH::TargetRegistry;
using ORVEX::Clock;

namespace {

const Clock T0 = Clock::fromSeconds(1000);

ORVEX::IPAddress host(std::uint8_t last) {
    ORVEX::IPAddress a;
    a.address[0] = 0xfd;
    a.address[15] = last;
    return a;
}

std::vector<std::uint8_t> record(const ORVEX::IPAddress& a) {
    std::vector<std::uint8_t> r(24);
    a.get_record(r.data());
    return r;
}

TEST(TargetRegistry, SeedKeepsKnownTypesAndLetsLaterEntriesWin) {
    std::list<ZARNITH::TargetSetting::RegistSt> ports;
    ports.push_back({1000, 1, "A", 1, 4});
    ports.push_back({1001, 2, "B", 0, 2});
    ports.push_back({1002, 3, "C", 0, 3});  // no such type
    ports.push_back({1003, 1, "D", 1, 4});  // same table and id
    TargetRegistry r;
    r.seed(ports);
    ASSERT_NE(r.findPort(5, 1), nullptr);
    EXPECT_EQ(r.findPort(5, 1)->name, "D");
    EXPECT_TRUE(r.findPort(5, 1)->fixed);
    ASSERT_NE(r.findPort(2, 2), nullptr);
    std::size_t total = 0;
    for (unsigned t = 0; t < TargetRegistry::TableCount; ++t) total += r.table(t).size();
    EXPECT_EQ(total, 2u);
    // Fixed entries never expire, whatever the time.
    EXPECT_FALSE(r.upkeep(Clock::fromSeconds(1u << 30)));
    EXPECT_NE(r.findPort(5, 1), nullptr);
}

TEST(TargetRegistry, RegistrationsExpireStrictlyAfterTenSeconds) {
    TargetRegistry r;
    r.registerPort(1, 0, 19644, "Recoder", true, T0);
    r.registerPort(0, 7, 19646, "Other", false, T0);
    r.registerPort(2, 3, 19648, "Both", false, T0);  // two ids: nothing
    ASSERT_NE(r.findPort(1, 1), nullptr);
    ASSERT_NE(r.findPort(0, 7), nullptr);
    EXPECT_EQ(r.findPort(1, 2), nullptr);
    EXPECT_EQ(r.findPort(0, 3), nullptr);
    EXPECT_TRUE(r.upkeep(T0 + Clock::fromSeconds(10))) << "exactly 10 s is not yet too old; it plays";
    EXPECT_NE(r.findPort(1, 1), nullptr);
    EXPECT_FALSE(r.upkeep(T0 + Clock::fromSeconds(10) + Clock(1)));
    EXPECT_EQ(r.findPort(1, 1), nullptr);
    EXPECT_EQ(r.findPort(0, 7), nullptr);
}

TEST(TargetRegistry, ReRegistrationRenewsAndAChangeReplaces) {
    TargetRegistry r;
    std::list<ZARNITH::TargetSetting::RegistSt> ports;
    ports.push_back({40001, 1, "KX1", 1, 1});
    r.seed(ports);
    r.registerPort(1, 0, 40001, "KX1", false, T0);
    EXPECT_TRUE(r.findPort(1, 1)->fixed) << "same port and name: the fixed entry stays fixed";
    r.registerPort(1, 0, 19644, "Recoder", false, T0);
    EXPECT_FALSE(r.findPort(1, 1)->fixed) << "a changed fixed entry becomes an ordinary one";
    r.nopNotify(1, 1, 0, 30, ORVEX::BufferCS_const(record(host(8)).data(), 24), T0);
    EXPECT_EQ(r.findPort(1, 1)->nop.size(), 1u);
    r.registerPort(1, 0, 19644, "Recoder", false, T0 + Clock::fromSeconds(8));
    EXPECT_EQ(r.findPort(1, 1)->nop.size(), 1u) << "a renewal keeps the stop windows";
    EXPECT_FALSE(r.upkeep(T0 + Clock::fromSeconds(15)));
    EXPECT_NE(r.findPort(1, 1), nullptr) << "renewed at 8 s";
    r.registerPort(1, 0, 19644, "New", false, T0 + Clock::fromSeconds(15));
    EXPECT_TRUE(r.findPort(1, 1)->nop.empty()) << "a replacement starts a new list";
}

TEST(TargetRegistry, StopWindowsByTimeByBreakAndByClear) {
    TargetRegistry r;
    r.registerPort(1, 0, 19644, "Recoder", false, T0);
    const auto a = record(host(8)), b = record(host(9));
    r.nopNotify(1, 1, 0, 2, ORVEX::BufferCS_const(a.data(), 24), T0);
    r.nopNotify(1, 1, 0, 30, ORVEX::BufferCS_const(b.data(), 24), T0);
    r.nopNotify(3, 1, 0, 30, ORVEX::BufferCS_const(b.data(), 24), T0);  // unknown type: ignored
    const auto& nop = r.findPort(1, 1)->nop;
    EXPECT_EQ(nop.size(), 2u);
    EXPECT_EQ(nop.count(TargetRegistry::hostKey(host(8))), 1u) << "keyed by address alone";
    r.registerPort(1, 0, 19644, "Recoder", false, T0 + Clock::fromSeconds(3));
    (void)r.upkeep(T0 + Clock::fromSeconds(3));
    EXPECT_EQ(r.findPort(1, 1)->nop.size(), 1u) << "the 2 s window ended";
    ORVEX::IPAddress requester = host(9);
    requester.set_port(777);
    requester.ifIndex = 3;
    EXPECT_EQ(r.nopBreak(requester), 1u);
    EXPECT_TRUE(r.findPort(1, 1)->nop.empty());
    r.nopNotify(1, 1, 0, 30, ORVEX::BufferCS_const(a.data(), 24), T0);
    r.nopNotify(1, 1, 0, 30, ORVEX::BufferCS_const(a.data(), 23), T0);
    EXPECT_TRUE(r.findPort(1, 1)->nop.empty()) << "any other payload clears";
    // A window on an id nobody registered creates an entry that expires at once.
    r.nopNotify(4, 0, 9, 30, ORVEX::BufferCS_const(a.data(), 24), T0 + Clock::fromSeconds(3));
    ASSERT_NE(r.findPort(4, 9), nullptr);
    (void)r.upkeep(T0 + Clock::fromSeconds(3));
    EXPECT_EQ(r.findPort(4, 9), nullptr);
}

TEST(TargetRegistry, StatusEntriesReplaceOnlyOnStatusPortOrName) {
    TargetRegistry r;
    ORVEX::IPAddress peer = host(1);
    peer.set_port(5000);
    peer.ifIndex = 4;
    r.registerStatus(0, 1, 7, 3000, peer, "zero", false, T0);
    EXPECT_TRUE(r.statusTable().empty());
    r.registerStatus(4, 1, 7, 3000, peer, "Desk", true, T0);
    ASSERT_NE(r.findStatus(4), nullptr);
    EXPECT_EQ(r.findStatus(4)->address.ifIndex, 0u);
    EXPECT_EQ(r.findStatus(4)->address.get_port(), 5000);
    r.registerStatus(4, 0, 7, 3000, host(2), "Desk", false, T0);
    EXPECT_EQ(r.findStatus(4)->kind, 1) << "only kind and address changed: both kept";
    EXPECT_EQ(r.findStatus(4)->address.address, peer.address);
    r.registerStatus(4, 0, 8, 3000, host(2), "Desk", false, T0);
    EXPECT_EQ(r.findStatus(4)->kind, 0);
    EXPECT_EQ(r.highestStatusId(), 4);
    EXPECT_FALSE(r.upkeep(T0 + Clock::fromSeconds(11)));
    EXPECT_TRUE(r.statusTable().empty());
}

TEST(TargetRegistry, BitmapAndNumberTables) {
    TargetRegistry r;
    for (std::uint16_t id : {1, 9, 4095, 4096, 60000}) r.registerPort(id, 0, static_cast<std::uint16_t>(id + 1), "s", false, T0);
    r.registerPort(0, 2, 2222, "z", false, T0);
    std::vector<std::uint8_t> map(1024);
    r.bitmap(0, map.data());
    EXPECT_EQ(map[0], 0x02);
    EXPECT_EQ(map[1], 0x02);
    EXPECT_EQ(map[511], 0x80) << "id 4095, the last with a bit";
    EXPECT_EQ(map[512], 0x04) << "sel-0 half: id 2";
    EXPECT_EQ(r.highestId(1), 60000);
    std::vector<std::uint8_t> numbers(1024);
    r.portNumbers(1, 9, numbers.data());
    EXPECT_EQ(numbers[0] | (numbers[1] << 8), 10);
    EXPECT_EQ(numbers[2], 0);
    // A window past 65535 stays inside the table: no wrap to id 0 and up.
    r.registerPort(0, 1, 1111, "low", false, T0);
    r.portNumbers(0, 65530, numbers.data());
    for (std::uint8_t b : numbers) ASSERT_EQ(b, 0);
}

TEST(TargetRegistry, LocalEndpointsCannotGrowItWithoutBound) {
    TargetRegistry r;
    for (unsigned id = 1; id <= TargetRegistry::MaxPortEntries + 50; ++id)
        r.registerPort(static_cast<std::uint16_t>(id), 0, 1000, "x", false, T0);
    EXPECT_EQ(r.table(1).size(), TargetRegistry::MaxPortEntries);
    for (unsigned id = 1; id <= TargetRegistry::MaxStatusEntries + 50; ++id)
        r.registerStatus(static_cast<std::uint16_t>(id), 1, 1, 1000, host(1), "x", false, T0);
    EXPECT_EQ(r.statusTable().size(), TargetRegistry::MaxStatusEntries);
    for (unsigned h = 0; h < TargetRegistry::MaxNopHosts + 50; ++h) {
        ORVEX::IPAddress a = host(0);
        a.address[13] = static_cast<std::uint8_t>(h >> 8);
        a.address[14] = static_cast<std::uint8_t>(h);
        const auto rec = record(a);
        r.nopNotify(1, 1, 0, 30, ORVEX::BufferCS_const(rec.data(), 24), T0);
    }
    EXPECT_EQ(r.findPort(1, 1)->nop.size(), TargetRegistry::MaxNopHosts);
    // Expired entries make room again.
    (void)r.upkeep(T0 + Clock::fromSeconds(11));
    r.registerPort(2000, 0, 1000, "x", false, T0 + Clock::fromSeconds(11));
    EXPECT_NE(r.findPort(1, 2000), nullptr);
}

}  // namespace
