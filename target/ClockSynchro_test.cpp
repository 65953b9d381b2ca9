// Clock synchro: adoption rules, restarts with the 30 s rule, and the clock
// record payloads.
#include <gtest/gtest.h>

#include "protocol/LittleEndian.h"
#include "target/ClockSynchro.h"

using ORVEX::Clock;
using ZARNITH::ClockSynchro;

namespace {

const Clock Local = Clock::fromSeconds(5000);
constexpr std::int64_t Us = 1000000;  // picoseconds

ORVEX::IPAddress source(std::uint16_t port, std::uint8_t last = 1) {
    ORVEX::IPAddress a;
    a.address[0] = 0xfe;
    a.address[1] = 0x80;
    a.address[15] = last;
    a.ifIndex = 3;
    a.set_port(port);
    return a;
}

struct Synchro {
    ClockSynchro s;
    // A sample whose offset (remote minus local) is `offset` at local time `now`.
    bool sample(std::uint16_t port, std::uint16_t seq, std::int64_t offset, Clock now = Local) {
        ORVEX::IPAddress key;
        return s.sample(source(port), seq, now.picoseconds() + static_cast<std::uint64_t>(offset), now, key);
    }
    std::int64_t adopted() const {
        ORVEX::IPAddress key = source(0);
        return s.adoptedOf(key);
    }
};

TEST(ClockSynchro, AdoptsAtRestartAndWheneverASampleLiesCloser) {
    Synchro y;
    EXPECT_TRUE(y.sample(100, 1, 5 * Us)) << "the first sample of a new host";
    EXPECT_EQ(y.adopted(), 5 * Us);
    EXPECT_TRUE(y.sample(100, 2, -3 * Us)) << "3 us is closer than 5 us";
    EXPECT_EQ(y.adopted(), -3 * Us);
    EXPECT_FALSE(y.sample(100, 3, 4 * Us)) << "4 us is not closer than 3 us";
    EXPECT_EQ(y.adopted(), -3 * Us);
    // Without a closer one, the best of 36 samples is adopted anyway.
    Synchro z;
    ASSERT_TRUE(z.sample(100, 1, 1 * Us));
    for (int i = 0; i < 35; ++i) ASSERT_FALSE(z.sample(100, static_cast<std::uint16_t>(2 + i), (9 - (i == 20)) * Us)) << i;
    EXPECT_TRUE(z.sample(100, 37, 9 * Us));
    EXPECT_EQ(z.adopted(), 8 * Us);
}

TEST(ClockSynchro, RestartsOnNewSequenceUnlessAnotherPortSpokeWithinThirtySeconds) {
    struct Case {
        const char* what;
        std::uint16_t seq;       // after seq 10
        bool otherPortRecent;    // port 200 sent 10 s earlier (else 31 s)
        bool restarted;
    };
    const Case cases[] = {
        {"seq 0", 0, false, true},
        {"jump of 7", 17, false, true},
        {"jump of 6", 16, false, false},
        {"backwards", 3, false, false},
        {"seq 0, other port active", 0, true, false},
        {"jump of 7, other port active", 17, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Synchro y;
        const Clock other = Local - Clock::fromSeconds(c.otherPortRecent ? 10 : 31);
        ASSERT_TRUE(y.sample(200, 1, 1 * Us, other));
        ASSERT_TRUE(y.sample(100, 10, 1 * Us / 2));  // closer: adopted
        // A sample further away is adopted only through a restart.
        EXPECT_EQ(y.sample(100, c.seq, 7 * Us), c.restarted);
        EXPECT_EQ(y.adopted(), c.restarted ? 7 * Us : Us / 2);
    }
}

TEST(ClockSynchro, RecordsGoInPayloadsOfAtMostThirtyNineRecords) {
    ClockSynchro s;
    for (int h = 0; h < 40; ++h) {
        ORVEX::IPAddress key;
        ASSERT_TRUE(s.sample(source(100, static_cast<std::uint8_t>(h + 1)), 1,
                             Local.picoseconds() + static_cast<std::uint64_t>(h), Local, key));
    }
    const auto payloads = s.tablePayloads();
    ASSERT_EQ(payloads.size(), 2u);
    EXPECT_EQ(payloads[0].size(), 39 * ClockSynchro::RecordSize);
    EXPECT_EQ(payloads[1].size(), 1 * ClockSynchro::RecordSize);
    // Record layout: offset, 16 address bytes, low 16 bits of the interface index.
    const std::uint8_t* r = payloads[0].data() + ClockSynchro::RecordSize;  // second host, offset 1
    EXPECT_EQ(ZARNITH::readU64LE(r), 1u);
    EXPECT_EQ(r[8], 0xfe);
    EXPECT_EQ(r[8 + 15], 2);
    EXPECT_EQ(ZARNITH::readU16LE(r + 24), 3);
    ORVEX::IPAddress key = source(0, 2);
    EXPECT_EQ(s.adoptedOf(key), 1);
    key.ifIndex = 4;
    EXPECT_EQ(s.adoptedOf(key), 0) << "keyed with its interface index";
}

TEST(ClockSynchro, RemoteHostsCannotGrowTheTableWithoutBound) {
    ClockSynchro s;
    for (unsigned h = 0; h < ClockSynchro::MaxHosts + 10; ++h) {
        ORVEX::IPAddress a = source(100);
        a.address[14] = static_cast<std::uint8_t>(h >> 8);
        a.address[15] = static_cast<std::uint8_t>(h);
        ORVEX::IPAddress key;
        (void)s.sample(a, 1, Local.picoseconds(), Local, key);
    }
    EXPECT_EQ(s.hosts().size(), ClockSynchro::MaxHosts);
    for (unsigned p = 0; p < ClockSynchro::MaxPortsPerHost + 10; ++p) {
        ORVEX::IPAddress key;
        (void)s.sample(source(static_cast<std::uint16_t>(1000 + p), 0), 1, Local.picoseconds(), Local, key);
    }
    EXPECT_EQ(s.hosts().begin()->second.clients.size(), ClockSynchro::MaxPortsPerHost);
}

}  // namespace
