// Discovery over ff02::1 between two network namespaces joined by a veth
// pair: the target in namespace A (fe80::1), the finder in B (fe80::2); some
// tests join the two by a second link.
#include <gtest/gtest.h>

#include "target/TargetTestKit.h"

using namespace targettest;

namespace {

class TargetMulticast : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pair.ok()) GTEST_SKIP() << "no network namespaces here: " << pair.reason();
        LogCapture::start();
    }
    void TearDown() override { target.reset(); }
    // Builds and opens the target inside namespace A (its worker stays there).
    template <typename Open>
    void startInA(Open open) {
        tmtest::ScopedNetns in(pair.nsA());
        ASSERT_TRUE(in.ok());
        target = std::make_unique<TestTarget>(hostSetting(40001));
        ASSERT_TRUE(open(*target));
    }
    std::unique_ptr<UdpPeer> peerIn(const std::string& ns, const char* address = "::", unsigned scope = 0) {
        tmtest::ScopedNetns in(ns);
        EXPECT_TRUE(in.ok());
        return std::make_unique<UdpPeer>(0, address, scope);
    }
    // DISCOVER to ff02::1 on B's end of the pair.
    std::optional<Bytes> discoverFromB(UdpPeer& finder, sockaddr_in6* from) {
        return discover(finder, pair.ifIndexB(), from);
    }
    // A second veth link between A and B with the link-local address `inA` on
    // A's end and `inB` on B's end; the interface indexes of the two ends.
    struct Link {
        unsigned a = 0, b = 0;
    };
    Link addLink(const std::string& inA, const std::string& inB) {
        const std::string endA = tmtest::uniqueName("xa"), endB = tmtest::uniqueName("xb");
        const std::string a = "ip netns exec " + pair.nsA() + " ", b = "ip netns exec " + pair.nsB() + " ";
        const std::string commands[] = {
            "ip link add " + endA + " netns " + pair.nsA() + " type veth peer name " + endB + " netns " + pair.nsB(),
            a + "sysctl -qw net.ipv6.conf." + endA + ".addr_gen_mode=1",
            b + "sysctl -qw net.ipv6.conf." + endB + ".addr_gen_mode=1",
            a + "ip -6 addr add " + inA + "/64 dev " + endA + " nodad",
            b + "ip -6 addr add " + inB + "/64 dev " + endB + " nodad",
            a + "ip link set " + endA + " up",
            b + "ip link set " + endB + " up",
        };
        for (const auto& c : commands) {
            std::string out;
            if (tmtest::shell(c, &out) != 0) {
                ADD_FAILURE() << c << ": " << out;
                return {};
            }
        }
        Link link;
        std::string out;
        if (tmtest::shell(a + "cat /sys/class/net/" + endA + "/ifindex", &out) == 0) link.a = std::stoul(out);
        if (tmtest::shell(b + "cat /sys/class/net/" + endB + "/ifindex", &out) == 0) link.b = std::stoul(out);
        EXPECT_TRUE(eventually([&] {
            std::string state;
            tmtest::shell(b + "cat /sys/class/net/" + endB + "/operstate", &state);
            return state.rfind("up", 0) == 0;
        }));
        return link;
    }
    // DISCOVER to ff02::1 on `scope`, sent again every half second until a
    // DISCOVER_ANS comes back over that link (a late answer to an earlier
    // try, or one from another link, does not count).
    std::optional<Bytes> discover(UdpPeer& finder, unsigned scope, sockaddr_in6* from = nullptr) {
        const auto end = std::chrono::steady_clock::now() + Patience;
        while (std::chrono::steady_clock::now() < end) {
            EXPECT_TRUE(finder.sendTo(TargetPort, message(0x0000, 0), "ff02::1", scope));
            const auto retry = std::chrono::steady_clock::now() + 500ms;
            for (;;) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(retry - std::chrono::steady_clock::now());
                if (left.count() <= 0) break;
                sockaddr_in6 source{};
                auto a = finder.receive(left, &source);
                if (!a) break;
                if (header(*a).id != 0x0001 || source.sin6_scope_id != scope) continue;
                if (from) *from = source;
                return a;
            }
        }
        return std::nullopt;
    }
    tmtest::NetnsPair pair;
    std::unique_ptr<TestTarget> target;
};

std::string addressText(const sockaddr_in6& a) {
    char text[64] = {};
    ::inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
    return text;
}

TEST_F(TargetMulticast, AutoFindJoinsTheLinkAndAnswersDiscovery) {
    startInA([](TestTarget& t) { return t.open(true); });
    auto finder = peerIn(pair.nsB());
    sockaddr_in6 from{};
    auto a = discoverFromB(*finder, &from);
    ASSERT_TRUE(a) << "joined at the first wake";
    EXPECT_EQ(header(*a).id, 0x0001);
    EXPECT_EQ(header(*a).option(), 0u);
    EXPECT_EQ(payloadText(*a), "TolvenmarkHost");
    EXPECT_EQ(addressText(from), "fe80::1");
    EXPECT_EQ(LogCapture::count("Add Multi Member : fe80::1%" + std::to_string(pair.ifIndexA())), 1u);

    // The finder then reads the controller port by unicast.
    auto port = finder->ask(message(0x0002, 0, 1, 0, 4, 1), Patience, "fe80::1", pair.ifIndexB());
    ASSERT_TRUE(port);
    EXPECT_EQ(header(*port).o[2], 40001);
    EXPECT_EQ(payloadText(*port), "KX1");

    // A discovery from the target's own joined address is not answered.
    auto own = peerIn(pair.nsA(), "fe80::1", pair.ifIndexA());
    ASSERT_TRUE(own->ok());
    ASSERT_TRUE(own->sendTo(TargetPort, message(0x0000, 0), "ff02::1", pair.ifIndexA()));
    EXPECT_FALSE(own->receive(300ms));
    EXPECT_TRUE(eventually([&] { return LogCapture::count("Block : fe80::1%" + std::to_string(pair.ifIndexA())) == 1; }));
}

TEST_F(TargetMulticast, OpenOnOneInterfaceJoinsAtOnce) {
    startInA([this](TestTarget& t) { return t.open(static_cast<int>(pair.ifIndexA()), false); });
    EXPECT_EQ(LogCapture::count("member multi:" + std::to_string(pair.ifIndexA())), 1u);
    auto finder = peerIn(pair.nsB());
    auto a = finder->ask(message(0x0000, 0), Patience, "ff02::1", pair.ifIndexB());
    ASSERT_TRUE(a) << "no rescan needed";
    EXPECT_EQ(header(*a).id, 0x0001);
    EXPECT_EQ(LogCapture::count("Add Multi Member"), 0u) << "no auto-find with an address list";
}

// A new interface is joined at the next rescan, but never while something plays.
TEST_F(TargetMulticast, NoRescanWhilePlaying) {
    startInA([](TestTarget& t) { return t.open(true); });
    freezeClock();  // registrations expire by the test's advances only
    auto finder = peerIn(pair.nsB());
    ASSERT_TRUE(discoverFromB(*finder, nullptr));
    auto sink = peerIn(pair.nsA(), "::1");
    auto regist = [&](std::uint16_t status) {
        ASSERT_TRUE(sink->sendTo(TargetPort, message(0x8002, status, 1, 0, 0, 1, text("Recoder"))));
    };
    regist(0x0002);
    ASSERT_TRUE(eventually([&] { return target->isPlay(); }));

    const std::string a = "ip netns exec " + pair.nsA() + " ";
    ASSERT_EQ(tmtest::shell(a + "ip link add tmx1 type veth peer name tmx2"), 0);
    ASSERT_EQ(tmtest::shell(a + "sysctl -qw net.ipv6.conf.tmx1.addr_gen_mode=1"), 0);
    ASSERT_EQ(tmtest::shell(a + "ip -6 addr add fe80::9/64 dev tmx1 nodad"), 0);
    ASSERT_EQ(tmtest::shell(a + "ip link set tmx1 up"), 0);
    ASSERT_EQ(tmtest::shell(a + "ip link set tmx2 up"), 0);

    // Well past a rescan's due time, still playing: the new address waits.
    advance(ORVEX::Clock::fromSeconds(6));
    regist(0x0002);
    ASSERT_TRUE(morePasses(3)) << "the registration's pass, then idle wakes: the first of them is due";
    EXPECT_EQ(LogCapture::count("Add Multi Member : fe80::9%"), 0u);
    // Play stops: the next due wake joins it.
    regist(0);
    ASSERT_TRUE(eventually([&] { return !target->isPlay(); }));
    advance(ORVEX::Clock::fromSeconds(6));
    EXPECT_TRUE(eventually([&] { return LogCapture::count("Add Multi Member : fe80::9%") == 1; }));
}

// The same link-local address on two interfaces of the host is two
// addresses: auto-find joins the group on both links.
TEST_F(TargetMulticast, AutoFindJoinsEveryLinkOfASharedLinkLocalAddress) {
    const Link second = addLink("fe80::1", "fe80::7");
    ASSERT_NE(second.b, 0u);
    startInA([](TestTarget& t) { return t.open(true); });
    auto finder = peerIn(pair.nsB());
    sockaddr_in6 from{};
    ASSERT_TRUE(discover(*finder, second.b, &from)) << "answered on the second link";
    EXPECT_EQ(addressText(from), "fe80::1");
    EXPECT_EQ(from.sin6_scope_id, second.b);
    ASSERT_TRUE(discover(*finder, pair.ifIndexB())) << "and on the first";
    EXPECT_EQ(LogCapture::count("Add Multi Member : fe80::1%" + std::to_string(pair.ifIndexA())), 1u);
    EXPECT_EQ(LogCapture::count("Add Multi Member : fe80::1%" + std::to_string(second.a)), 1u);
}

// A device on another link that has the host's own link-local address is
// another host: its discovery is answered; one from the host's own address on
// the host's own link is still blocked.
TEST_F(TargetMulticast, ADeviceOnAnotherLinkWithTheHostsAddressIsAnswered) {
    const Link second = addLink("fe80::5", "fe80::1");
    ASSERT_NE(second.b, 0u);
    startInA([](TestTarget& t) { return t.open(true); });
    auto device = peerIn(pair.nsB(), "fe80::1", second.b);
    ASSERT_TRUE(device->ok());
    sockaddr_in6 from{};
    auto a = discover(*device, second.b, &from);
    ASSERT_TRUE(a) << "fe80::1 on the second link is not this host";
    EXPECT_EQ(header(*a).id, 0x0001);
    EXPECT_EQ(addressText(from), "fe80::5");
    EXPECT_EQ(LogCapture::count("Block : "), 0u);

    auto own = peerIn(pair.nsA(), "fe80::1", pair.ifIndexA());
    ASSERT_TRUE(own->ok());
    ASSERT_TRUE(own->sendTo(TargetPort, message(0x0000, 0), "ff02::1", pair.ifIndexA()));
    EXPECT_TRUE(eventually([&] { return LogCapture::count("Block : fe80::1%" + std::to_string(pair.ifIndexA())) == 1; }));
    EXPECT_FALSE(own->receive(100ms));
}

// No echo goes to a target endpoint's own port: two targets would echo each
// other's echoes. Another port of the same host gets its echo.
TEST_F(TargetMulticast, NoEchoToATargetsOwnPort) {
    startInA([this](TestTarget& t) { return t.open(static_cast<int>(pair.ifIndexA()), false); });
    std::unique_ptr<UdpPeer> otherTarget, other;
    {
        tmtest::ScopedNetns in(pair.nsB());
        ASSERT_TRUE(in.ok());
        otherTarget = std::make_unique<UdpPeer>(TargetPort, "fe80::2", pair.ifIndexB());
        other = std::make_unique<UdpPeer>(0, "fe80::2", pair.ifIndexB());
    }
    ASSERT_TRUE(otherTarget->ok() && other->ok());
    ASSERT_TRUE(otherTarget->sendTo(TargetPort, message(0x0004, 0), "fe80::1", pair.ifIndexB()));
    auto echo = other->ask(message(0x0004, 0), Patience, "fe80::1", pair.ifIndexB());
    ASSERT_TRUE(echo) << "echoed to an ordinary port";
    EXPECT_EQ(header(*echo).id, 0x0004);
    EXPECT_TRUE(eventually([] { return LogCapture::count("echo suppressed :4") == 1; }));
    EXPECT_FALSE(otherTarget->receive(100ms));
}

}  // namespace
