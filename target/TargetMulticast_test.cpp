// Discovery over ff02::1 between two network namespaces joined by a veth
// pair: the target in namespace A (fe80::1), the finder in B (fe80::2).
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
    // DISCOVER to ff02::1 on B's link, repeated until answered or 6 s passed.
    std::optional<Bytes> discoverFromB(UdpPeer& finder, sockaddr_in6* from) {
        for (int i = 0; i < 20; ++i) {
            EXPECT_TRUE(finder.sendTo(TargetPort, message(0x0000, 0), "ff02::1", pair.ifIndexB()));
            if (auto a = finder.receive(300ms, from)) return a;
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
    auto port = finder->ask(message(0x0002, 0, 1, 0, 4, 1), 1000ms, "fe80::1", pair.ifIndexB());
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
    ASSERT_TRUE(finder->sendTo(TargetPort, message(0x0000, 0), "ff02::1", pair.ifIndexB()));
    auto a = finder->receive(1000ms);
    ASSERT_TRUE(a) << "no rescan needed";
    EXPECT_EQ(header(*a).id, 0x0001);
    EXPECT_EQ(LogCapture::count("Add Multi Member"), 0u) << "no auto-find with an address list";
}

// A new interface is joined at the next rescan, but never while something plays.
TEST_F(TargetMulticast, NoRescanWhilePlaying) {
    startInA([](TestTarget& t) { return t.open(true); });
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
    std::this_thread::sleep_for(1500ms);  // at least one idle wake
    EXPECT_EQ(LogCapture::count("Add Multi Member : fe80::9%"), 0u);
    // Play stops: the next due wake joins it.
    regist(0);
    ASSERT_TRUE(eventually([&] { return !target->isPlay(); }));
    advance(ORVEX::Clock::fromSeconds(6));
    EXPECT_TRUE(eventually([&] { return LogCapture::count("Add Multi Member : fe80::9%") == 1; }, 5000ms));
}

}  // namespace
