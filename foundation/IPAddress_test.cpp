#include "foundation/IPAddress.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <map>
#include <random>
#include <string>

using ORVEX::IPAddress;

namespace {

IPAddress v6(const std::string& text, std::uint16_t port = 0, std::uint32_t ifIndex = 0) {
    IPAddress a;
    EXPECT_TRUE(a.set_V6_str(text)) << text;
    a.set_port(port);
    a.ifIndex = ifIndex;
    return a;
}

IPAddress fromGroups(const std::array<std::uint16_t, 8>& g) {
    IPAddress a;
    for (int i = 0; i < 8; ++i) {
        a.address[2 * i] = static_cast<std::uint8_t>(g[i] >> 8);
        a.address[2 * i + 1] = static_cast<std::uint8_t>(g[i]);
    }
    return a;
}

std::string v6Text(const IPAddress& a) {
    std::string s = "stale";
    a.get_V6_str(s);
    return s;
}

}  // namespace

TEST(IPAddress, DefaultIsUnspecifiedAndPortIsStoredInNetworkOrder) {
    IPAddress a;
    EXPECT_TRUE(a.is_zero());
    EXPECT_EQ(a.port, 0);
    EXPECT_EQ(a.ifIndex, 0u);
    a.set_port(0x1234);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&a.port);
    EXPECT_EQ(bytes[0], 0x12);  // most significant byte first in memory
    EXPECT_EQ(bytes[1], 0x34);
    EXPECT_EQ(a.get_port(), 0x1234);
}

TEST(IPAddress, CompOrdersByAddressThenNumericPortThenInterface) {
    struct Case {
        IPAddress a, b;
        int expected;
    };
    const Case cases[] = {
        {v6("::1", 80), v6("::1", 80), 0},
        {v6("::1", 80), v6("::1", 81), -1},
        {v6("::1", 80, 1), v6("::1", 80, 0), 1},
        {v6("::1", 0x0100), v6("::1", 0x00FF), 1},  // 256 after 255, not by host-order bytes
        {v6("::1", 0xFFFF), v6("::2", 0), -1},      // address decides before port
        {v6("fe80::1", 0, 7), v6("fe80::1", 1, 0), -1},
        {v6("ff02::1"), v6("fe80::ffff"), 1},       // unsigned bytes
        {v6("::1", 1, 0x80000000u), v6("::1", 1, 1), 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.a.comp(c.b), c.expected);
        EXPECT_EQ(c.b.comp(c.a), -c.expected);
        EXPECT_EQ(c.a < c.b, c.expected < 0);
    }
    // A map keyed by addresses keeps port and interface apart.
    std::map<IPAddress, int> peers;
    peers[v6("::1", 80)] = 1;
    peers[v6("::1", 80, 1)] = 2;
    peers[v6("::1", 80)] = 3;
    EXPECT_EQ(peers.size(), 2u);
    EXPECT_EQ(peers.begin()->second, 3);
}

TEST(IPAddress, FamilyTests) {
    IPAddress mapped;
    ASSERT_TRUE(mapped.set_V4_str("127.0.0.1"));
    EXPECT_TRUE(mapped.is_v4());
    EXPECT_FALSE(mapped.is_loopback());
    EXPECT_TRUE(v6("::1", 5, 9).is_loopback());
    EXPECT_FALSE(v6("::").is_loopback());
    EXPECT_FALSE(v6("::1:1").is_loopback());
    EXPECT_EQ(IPAddress::loopback(19640), v6("::1", 19640, 0));
    EXPECT_TRUE(v6("::ffff:0:0").is_v4());
    EXPECT_FALSE(v6("::fffe:0:0").is_v4());
    EXPECT_FALSE(v6("1::ffff:0:0").is_v4());
    EXPECT_TRUE(v6("fe80::1").is_link_local());
    EXPECT_FALSE(v6("fe81::1").is_link_local());
    EXPECT_FALSE(v6("fd00::1").is_link_local());
    EXPECT_FALSE(v6("::1").is_link_local());
}

// A link-local address names a host only together with its interface; other
// addresses name one on every interface. Ports never count.
TEST(IPAddress, SameHostComparesTheInterfaceOfLinkLocalAddressesOnly) {
    struct Case {
        IPAddress a, b;
        bool same;
    } cases[] = {
        {v6("fe80::1", 1, 3), v6("fe80::1", 2, 3), true},
        {v6("fe80::1", 1, 3), v6("fe80::1", 1, 4), false},
        {v6("fe80::1", 1, 3), v6("fe80::1", 1, 0x10003), true},  // scope cut to 16 bits
        {v6("fe80::1", 1, 3), v6("fe80::2", 1, 3), false},
        {v6("fd00::1", 1, 3), v6("fd00::1", 1, 4), true},
        {v6("::1", 1, 1), v6("::1", 1, 0), true},
        {v6("fd00::1"), v6("fd00::2"), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.a.same_host(c.b), c.same) << v6Text(c.a) << " " << v6Text(c.b);
        EXPECT_EQ(c.b.same_host(c.a), c.same) << v6Text(c.b) << " " << v6Text(c.a);
    }
}

TEST(IPAddress, V6PrinterCompressesTheFirstRunOfZeroGroups) {
    struct Case {
        std::array<std::uint16_t, 8> groups;
        const char* text;
    };
    const Case cases[] = {
        {{0, 0, 0, 0, 0, 0, 0, 0}, "::"},
        {{0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
        {{0xfe80, 0, 0, 0, 0, 0, 0, 1}, "fe80::1"},
        {{1, 0, 0, 0, 0, 0, 0, 0}, "1::"},
        {{0xfe80, 0, 0, 0, 0, 0, 0, 0}, "fe80::"},
        {{1, 2, 3, 4, 5, 6, 0, 0}, "1:2:3:4:5:6::"},
        {{1, 2, 3, 4, 5, 6, 7, 0}, "1:2:3:4:5:6:7:0"},
        {{0, 1, 0, 0, 0, 2, 3, 4}, "0:1::2:3:4"},
        {{0x2001, 0xdb8, 0, 1, 2, 3, 4, 5}, "2001:db8:0:1:2:3:4:5"},
        {{1, 0, 0, 2, 0, 0, 0, 3}, "1::2:0:0:0:3"},  // first run, not the longest
        {{0, 0xABCD, 0x00F0, 0x0F00, 0xF000, 0xFFFF, 0x1, 0x10}, "0:abcd:f0:f00:f000:ffff:1:10"},
        {{0, 0, 0, 0, 0, 0xffff, 0xc0a8, 0x102}, "::ffff:c0a8:102"},
    };
    for (const Case& c : cases) EXPECT_EQ(v6Text(fromGroups(c.groups)), c.text);
}

TEST(IPAddress, TextFormsWithPortAndInterface) {
    IPAddress mapped;
    ASSERT_TRUE(mapped.set_V4_str("192.168.1.2,80"));
    std::string s;
    mapped.get_add_str(s);
    EXPECT_EQ(s, "192.168.1.2");
    mapped.get_V6_str(s);
    EXPECT_EQ(s, "::ffff:c0a8:102");
    mapped.get_str(s);
    EXPECT_EQ(s, "192.168.1.2,80");
    mapped.get_full_str(s);
    EXPECT_EQ(s, "192.168.1.2%0,80");

    IPAddress link = v6("fe80::1", 19644, 3);
    link.get_full_str(s);
    EXPECT_EQ(s, "fe80::1%3,19644");
    link.get_str(s);
    EXPECT_EQ(s, "fe80::1,19644");
    link.get_V6IFN_str(s);
    EXPECT_EQ(s, "fe80::1%3");
    link.ifIndex = 65539;  // only the low 16 bits are printed
    link.get_if_str(s);
    EXPECT_EQ(s, "3");
    link.set_port(0);
    link.get_port_str(s);
    EXPECT_EQ(s, "0");

    // get_V4_str reads bytes 12-15 whatever the rest holds.
    v6("2001:db8::a0b:c0d").get_V4_str(s);
    EXPECT_EQ(s, "10.11.12.13");
}

TEST(IPAddress, V6ParserAcceptsAndRefuses) {
    struct Case {
        const char* text;
        bool ok;
        const char* printed;  // get_V6_str after a successful parse
    };
    const Case cases[] = {
        {"1:2:3:4:5:6:7:8", true, "1:2:3:4:5:6:7:8"},
        {"::", true, "::"},
        {"::1", true, "::1"},
        {"1::", true, "1::"},
        {"fe80::1:2", true, "fe80::1:2"},
        {"ABCD::ef", true, "abcd::ef"},
        {":2:3:4:5:6:7:8", true, "0:2:3:4:5:6:7:8"},
        {"1:2:3:4:5:6:7:", true, "1:2:3:4:5:6:7:0"},
        {"1:2:3:4:5::6:7", true, "1:2:3:4:5:0:6:7"},
        {"1:2::3", true, "1:2::3"},
        {"0001:02:003:0004::", true, "1:2:3:4::"},
        {"", false, nullptr},
        {"1:2:3:4:5:6:7", false, nullptr},
        {"1:2:3:4:5:6:7:8:", false, nullptr},
        {"1:2:3:4:5:6:7:8:9", false, nullptr},
        {"12345::", false, nullptr},
        {"1::2::3", false, nullptr},
        {":::", false, nullptr},
        {"1:::2", false, nullptr},
        {"1:2:3:4:5:6:7::", false, nullptr},
        {"::1:2:3:4:5:6:7", false, nullptr},
        {"1.2.3.4", false, nullptr},
        {"fe80::1%3", false, nullptr},
        {"g::", false, nullptr},
        {" ::1", false, nullptr},
    };
    for (const Case& c : cases) {
        IPAddress a;
        a.set_port(4321);
        a.ifIndex = 9;
        EXPECT_EQ(a.set_V6_str(c.text), c.ok) << c.text;
        EXPECT_EQ(a.get_port(), 4321) << c.text;  // port and interface never touched
        EXPECT_EQ(a.ifIndex, 9u) << c.text;
        if (c.ok && c.printed) {
            EXPECT_EQ(v6Text(a), c.printed) << c.text;
        }
    }
}

TEST(IPAddress, V6PrinterAndParserRoundTripRandomAddresses) {
    std::mt19937 random(12345);
    for (int n = 0; n < 20000; ++n) {
        std::array<std::uint16_t, 8> g{};
        for (auto& group : g) {
            const unsigned pick = random() % 4;  // many zero groups, so many runs of them
            group = pick < 2 ? 0 : pick == 2 ? static_cast<std::uint16_t>(random() % 16)
                                             : static_cast<std::uint16_t>(random());
        }
        const IPAddress original = fromGroups(g);
        const std::string text = v6Text(original);
        IPAddress parsed;
        ASSERT_TRUE(parsed.set_V6_str(text)) << text;
        ASSERT_EQ(parsed.comp(original), 0) << text;
        // At most one compressed run, and it is the first one.
        const std::size_t dbl = text.find("::");
        if (dbl != std::string::npos) {
            EXPECT_EQ(text.find("::", dbl + 1), std::string::npos) << text;
            // No earlier pair of zero groups is written out.
            std::string head(1, ':');
            head.append(text, 0, dbl);
            head.push_back(':');
            EXPECT_EQ(head.find(":0:0:"), std::string::npos) << text;
        }
        // Upper-case input parses the same.
        std::string upper = text;
        for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        ASSERT_TRUE(parsed.set_V6_str(upper)) << upper;
        ASSERT_EQ(parsed.comp(original), 0) << upper;
    }
}

TEST(IPAddress, SetStrTakesAddressCommaAndDecimalPort) {
    IPAddress a;
    a.ifIndex = 5;
    EXPECT_TRUE(a.set_str("fe80::1,19644"));
    EXPECT_EQ(v6Text(a), "fe80::1");
    EXPECT_EQ(a.get_port(), 19644);
    EXPECT_EQ(a.ifIndex, 5u);

    EXPECT_TRUE(a.set_str("fe80::2,"));
    EXPECT_EQ(a.get_port(), 0);
    EXPECT_TRUE(a.set_str("::1,70000"));
    EXPECT_EQ(a.get_port(), 4464);

    a.set_port(77);
    EXPECT_FALSE(a.set_str("fe80::1"));     // no comma
    EXPECT_FALSE(a.set_str("zz::1,80"));    // address refused: port untouched
    EXPECT_FALSE(a.set_str("10.0.0.1,80"));
    EXPECT_EQ(a.get_port(), 77);
    EXPECT_FALSE(a.set_str("fe80::9,80x"));  // address stored, port refused
    EXPECT_EQ(v6Text(a), "fe80::9");
    EXPECT_EQ(a.get_port(), 77);
    EXPECT_FALSE(a.set_str("fe80::9,-1"));
    EXPECT_FALSE(a.set_str("fe80::9, 1"));
}

TEST(IPAddress, SetPortStr) {
    IPAddress a;
    a.set_port(99);
    EXPECT_TRUE(a.set_port_str(""));
    EXPECT_EQ(a.get_port(), 0);
    a.set_port(99);
    EXPECT_FALSE(a.set_port_str("8a"));
    EXPECT_EQ(a.get_port(), 99);
    EXPECT_TRUE(a.set_port_str("65535"));
    EXPECT_EQ(a.get_port(), 65535);
    EXPECT_TRUE(a.set_port_str("65536"));
    EXPECT_EQ(a.get_port(), 0);
    EXPECT_TRUE(a.set_port_str("99999999999999999999"));  // modulo 65536 while accumulating
    EXPECT_EQ(a.get_port(), 65535);  // (10^20 - 1) mod 65536
}

TEST(IPAddress, V4ParserFollowsStrtolRules) {
    struct Case {
        const char* text;
        bool ok;
        const char* address;  // get_add_str after success
        std::uint16_t port;
    };
    const Case cases[] = {
        {"192.168.1.2", true, "192.168.1.2", 0},
        {"10.0.0.1,8080", true, "10.0.0.1", 8080},
        {"256.1.1.1", true, "0.1.1.1", 0},
        {"x.y.z.w", true, "0.0.0.0", 0},
        {" 1.+2.3x.4", true, "1.2.3.4", 0},
        {"1.2.3.4,70000", true, "1.2.3.4", 4464},
        {"1.2.3.4.5", true, "1.2.3.4", 0},
        {"1.2.3", false, nullptr, 0},
        {"-1.2.3.4", false, nullptr, 0},
        {"1.2.3.-4", false, nullptr, 0},
        {"1.2.3.4,-5", false, nullptr, 0},
        {"", false, nullptr, 0},
    };
    for (const Case& c : cases) {
        IPAddress a;
        ASSERT_TRUE(a.set_V6_str("fe80::7"));
        a.set_port(11);
        a.ifIndex = 4;
        EXPECT_EQ(a.set_V4_str(std::string(c.text)), c.ok) << c.text;
        std::string s;
        if (c.ok) {
            EXPECT_TRUE(a.is_v4()) << c.text;
            a.get_add_str(s);
            EXPECT_EQ(s, c.address) << c.text;
            EXPECT_EQ(a.get_port(), c.port) << c.text;
            EXPECT_EQ(a.ifIndex, 0u) << c.text;
        } else {
            EXPECT_EQ(v6Text(a), "fe80::7") << c.text;  // nothing changed
            EXPECT_EQ(a.get_port(), 11) << c.text;
            EXPECT_EQ(a.ifIndex, 4u) << c.text;
        }
    }
}

TEST(IPAddress, V4ParserWithPrefix) {
    struct Case {
        const char* text;
        bool ok;
        int prefix;
    };
    const Case cases[] = {
        {"10.0.0.0/8", true, 8},
        {"10.0.0.1", true, 31},
        {"10.0.0.0/32", true, 32},
        {"10.0.0.0/0", true, 0},
        {"10.0.0.0/33", false, 33},
        {"10.0.0.0/-1", false, -1},
        {"10.0.0/8", false, 8},
        {"1/2/10.0.0.0/16", true, 16},  // prefix after the last slash; strtol reads "1/2/10" as 1
    };
    for (const Case& c : cases) {
        IPAddress a;
        int prefix = -7;
        EXPECT_EQ(a.set_V4_str(std::string(c.text), prefix), c.ok) << c.text;
        EXPECT_EQ(prefix, c.prefix) << c.text;
    }
}

TEST(IPAddress, PrefixMatch) {
    auto v4 = [](const char* text) {
        IPAddress a;
        EXPECT_TRUE(a.set_V4_str(std::string(text))) << text;
        return a;
    };
    struct Case {
        IPAddress net, other;
        int bits;
        bool match;
    };
    const Case cases[] = {
        {v4("192.168.1.2"), v4("192.168.1.77"), 24, true},
        {v4("192.168.1.2"), v4("192.168.2.2"), 24, false},
        {v4("192.168.1.2"), v4("192.168.1.2"), 32, true},
        {v4("192.168.1.2"), v4("192.168.1.3"), 32, false},
        {v4("192.168.1.2"), v4("192.168.1.3"), 31, true},
        {v4("128.0.0.0"), v4("255.1.2.3"), 1, true},
        {v4("128.0.0.0"), v4("127.1.2.3"), 1, false},
        // Prefix 0 is the whole IPv4 space (no 32-bit shift).
        {v4("10.0.0.0"), v4("200.1.2.3"), 0, true},
        {v4("10.0.0.0"), v4("10.0.0.0"), 33, false},
        {v4("10.0.0.0"), v4("10.0.0.0"), -1, false},
        {v4("192.168.1.2"), v6("fe80::1"), 24, false},
        {v6("fe80::1"), v4("192.168.1.2"), 24, false},
        {v6("2001:db8::1"), v6("2001:db8::2"), 64, true},
        {v6("2001:db8::1"), v6("2001:db9::1"), 32, false},
        {v6("2001:db8::1"), v6("2001:db9::1"), 31, true},
        {v6("2001:db8::1"), v6("2001:db8::1"), 128, true},
        {v6("2001:db8::1"), v6("2001:db8::1:1"), 128, false},
        {v6("2001:db8::1"), v6("2001:db8::1"), 129, false},
        {v6("fe80::1"), v6("2001::1"), 0, true},
        {v6("::"), v6("::"), 128, false},
        {v6("fe80::1"), v6("::"), 1, false},
    };
    for (const Case& c : cases) {
        std::string a, b;
        c.net.get_add_str(a);
        c.other.get_add_str(b);
        EXPECT_EQ(c.net.much_address(c.other, c.bits), c.match) << a << " " << b << "/" << c.bits;
    }
}

TEST(IPAddress, RawRecordLayout) {
    IPAddress a = v6("fe80::1:2", 19644, 0x01020304);
    std::uint8_t record[IPAddress::RecordSize];
    std::memset(record, 0xAA, sizeof(record));
    a.get_record(record);
    EXPECT_EQ(record[0], 0xfe);
    EXPECT_EQ(record[1], 0x80);
    EXPECT_EQ(record[13], 0x01);
    EXPECT_EQ(record[15], 0x02);
    EXPECT_EQ(record[16], 19644 >> 8);  // port, network order
    EXPECT_EQ(record[17], 19644 & 0xFF);
    EXPECT_EQ(record[20], 0x04);        // interface index, little-endian
    EXPECT_EQ(record[23], 0x01);

    record[18] = 0x55;  // unused bytes are ignored
    record[19] = 0x66;
    IPAddress back;
    ASSERT_TRUE(back.set_record(record, sizeof(record)));
    EXPECT_EQ(back.comp(a), 0);

    IPAddress untouched = v6("::1", 1, 1);
    EXPECT_FALSE(untouched.set_record(record, IPAddress::RecordSize - 1));
    EXPECT_EQ(untouched.comp(v6("::1", 1, 1)), 0);
}
