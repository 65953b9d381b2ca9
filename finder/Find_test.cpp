// Finder set-up, interface selection, the product-id filter and the unicast
// request exchange.
#include "finder/Find.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "finder/FindTestKit.h"
#include "protocol/StatusID.h"
#include "tests/support/TestSupport.h"

using namespace ZARNITH;
using findtest::address;
using findtest::Peer;
using findtest::reply;
using findtest::Request;

namespace {

std::vector<std::string> texts(const std::vector<ORVEX::IPAddress>& list) {
    std::vector<std::string> out;
    for (const auto& a : list) {
        std::string t;
        a.get_V6_str(t);
        out.push_back(t + "%" + std::to_string(a.ifIndex));
    }
    return out;
}

}  // namespace

TEST(FindSetup, SettingDefaults) {
    const Find::Setting s;
    EXPECT_EQ(s.productId, ~std::uint64_t{0});
    EXPECT_EQ(s.protocolVersion, 1);
    EXPECT_TRUE(s.name.empty());
    EXPECT_FALSE(s.nopBreak);
    EXPECT_FALSE(s.loopbackAllowed);
    EXPECT_TRUE(s.productIds.empty());
    EXPECT_EQ(s.ownId, ~std::uint64_t{0});
}

TEST(FindSetup, OpenFamilyChoosesTheLocalAddresses) {
    tmtest::NetnsPair net;
    if (!net.ok()) GTEST_SKIP() << net.reason();
    tmtest::ScopedNetns inA(net.nsA());
    ASSERT_TRUE(inA.ok());
    const std::string linkLocal = "fe80::1%" + std::to_string(net.ifIndexA());
    const std::vector<std::string> justLink{linkLocal};

    Find::Setting plain;
    Find::Setting withLoop;
    withLoop.loopbackAllowed = true;

    {
        Find f(plain);
        EXPECT_TRUE(f.open(std::uint16_t{0}));
        EXPECT_TRUE(f.is_open());
        EXPECT_EQ(texts(f.getIfList()), justLink);
    }
    {
        Find f(withLoop);
        EXPECT_TRUE(f.open());
        // Looked up at each use; ::1 reported with interface 0.
        EXPECT_EQ(texts(f.getIfList()), (std::vector<std::string>{"::1%0", linkLocal}));
    }
    {
        // Entries without an interface index are dropped: the fall-back stays.
        Find f(plain);
        EXPECT_TRUE(f.open(std::vector<ORVEX::IPAddress>{address("fe80::1", 0, 0)}));
        EXPECT_EQ(texts(f.getIfList()), justLink);
        EXPECT_TRUE(f.open(address("::", 0, 0)));
        EXPECT_EQ(texts(f.getIfList()), justLink);
        EXPECT_TRUE(f.open(address("::", 5, 0)));
        EXPECT_EQ(texts(f.getIfList()), justLink);
    }
    {
        Find f(plain);
        EXPECT_FALSE(f.open(std::uint16_t{999}));
        EXPECT_FALSE(f.is_open());
        EXPECT_TRUE(f.open(static_cast<std::uint16_t>(net.ifIndexA())));
        EXPECT_EQ(texts(f.getIfList()), justLink);
    }
    {
        Find f(withLoop);
        EXPECT_TRUE(f.open(static_cast<std::uint16_t>(net.ifIndexA())));
        const auto list = f.getIfList();
        ASSERT_EQ(list.size(), 2u);
        EXPECT_TRUE(list[0].is_loopback());
        EXPECT_NE(list[0].ifIndex, 0u);
        EXPECT_EQ(texts({list[1]}), justLink);
    }
    {
        Find f(plain);
        EXPECT_TRUE(f.open(std::vector<std::string>{"", net.linkA()}));
        EXPECT_EQ(texts(f.getIfList()), justLink);
        f.close();
        EXPECT_FALSE(f.is_open());
        // One unknown name fails the whole call and leaves the list alone.
        EXPECT_FALSE(f.open(std::vector<std::string>{net.linkA(), "nosuchif0"}));
        EXPECT_EQ(texts(f.getIfList()), justLink);
        EXPECT_FALSE(f.is_open());
    }
}

TEST(FindSetup, MuchIdFilter) {
    const std::uint64_t skip = ~std::uint64_t{0};
    struct Case {
        std::uint64_t filter;
        std::vector<std::uint64_t> more;
        std::uint64_t id;
        std::uint64_t expected;
    };
    const Case cases[] = {
        {0, {}, 77, 77},            // 0 accepts every target
        {5, {}, 0, 0},              // id 0 always passes
        {5, {}, 5, 5},              // the filter itself
        {5, {9, 11}, 11, 11},       // a further id
        {5, {9, 11}, 12, skip},     // anything else is skipped
        {skip, {}, 3, skip},        // default filter skips all
        {skip, {}, skip, skip},     // all ones passes, but is the skip value
    };
    for (const Case& c : cases) {
        Find::Setting s;
        s.productId = c.filter;
        s.productIds = c.more;
        const Find f(s);
        EXPECT_EQ(f.muchID(c.id), c.expected) << c.filter << " " << c.id;
    }
}

TEST(FindSetup, ClosedFinderFailsEveryOperation) {
    if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own";
    Find::Setting s;
    s.loopbackAllowed = true;
    Find f(s);
    Receive answer;
    std::map<ORVEX::IPAddress, Receive> answers;
    std::map<ORVEX::IPAddress, Find::FindTargetSt> found;
    const ORVEX::IPAddress to = address("::1", 19642);
    EXPECT_EQ(f.sendAck(to, Send(DISCOVER, STATUS_NONE), DISCOVER_ANS, answer, true), Find::ACK_FAILURE);
    EXPECT_FALSE(f.sendMulti(Send(DISCOVER, STATUS_NONE), DISCOVER_ANS, answers));
    EXPECT_FALSE(f.findTarget(found));
    ASSERT_TRUE(f.open());
    f.close();
    EXPECT_EQ(f.sendAck(to, Send(DISCOVER, STATUS_NONE), DISCOVER_ANS, answer, true), Find::ACK_FAILURE);
    EXPECT_FALSE(f.findTarget(found));
}

// The unicast exchange against a scripted peer on ::1, with a stranger (a
// second socket) that can speak first.
class FindExchange : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own";
        findtest::LogCapture::start(7);
        ASSERT_TRUE(finder.open());
        ASSERT_TRUE(peer.ok);
        ASSERT_TRUE(stranger.ok);
        to = peer.self;
    }

    Find finder{Find::Setting()};
    Peer peer{address("::1")};
    Peer stranger{address("::1")};
    ORVEX::IPAddress to;
};

TEST_F(FindExchange, CodeAndPeerRules) {
    enum Say { Nothing, Accept, Refuse, Echo, OtherId, Garbage };
    struct Case {
        const char* what;
        Say stranger;
        std::vector<Say> peer;
        int result;
    };
    const Case cases[] = {
        {"accepted answer", Nothing, {Accept}, Find::ACK_ANSWER},
        {"refusal", Nothing, {Refuse}, Find::ACK_REFUSAL},
        {"echo", Nothing, {Echo}, Find::ACK_ECHO},
        {"other id and garbage skipped", Nothing, {OtherId, Garbage, Accept}, Find::ACK_ANSWER},
        {"silence", Nothing, {}, Find::ACK_SILENCE},
        {"answer from a stranger ignored", Accept, {}, Find::ACK_SILENCE},
        {"refusal from a stranger ignored", Refuse, {Accept}, Find::ACK_ANSWER},
        {"echo from a stranger ignored", Echo, {Accept}, Find::ACK_ANSWER},
    };
    const auto say = [](Peer& from, const ORVEX::IPAddress& dest, Say what) {
        switch (what) {
            case Accept: (void)from.send(dest, reply(PORT_ANS, STATUS_ACCEPT, 1, 2, 3, 4, "ok")); break;
            case Refuse: (void)from.send(dest, reply(PORT_ANS, STATUS_NONE, 9)); break;
            case Echo: (void)from.send(dest, reply(PORT_REQ, STATUS_NONE)); break;
            case OtherId: (void)from.send(dest, reply(STATUS_ANS, STATUS_ACCEPT)); break;
            case Garbage: (void)from.sendRaw(dest, {0x64, 0x00, 0x27, 0x00, 0x03, 0x00}); break;
            case Nothing: break;
        }
    };
    // Set by the test thread, read by the peer's thread.
    std::atomic<const Case*> current{nullptr};
    peer.run([&](Peer& p, const Request& r) {
        const Case* now = current.load();
        if (now == nullptr) return;
        say(stranger, r.from, now->stranger);
        for (Say s : now->peer) say(p, r.from, s);
    });
    for (const Case& c : cases) {
        current = &c;
        Receive answer;
        const int result = finder.sendAck(to, Send(PORT_REQ, STATUS_NONE, 1, 0, 1, 1), PORT_ANS, answer, true);
        EXPECT_EQ(result, c.result) << c.what;
        if (result == Find::ACK_ANSWER) {
            EXPECT_EQ(answer.getOption3(), 4) << c.what;
            std::string text;
            answer.get_str(text);
            EXPECT_EQ(text, "ok");
        } else if (result == Find::ACK_REFUSAL) {
            EXPECT_EQ(answer.getOption0(), 9) << c.what;
        } else {
            EXPECT_TRUE(answer.empty()) << c.what;
        }
    }
}

TEST_F(FindExchange, StrayDatagramsDoNotStretchTheWindow) {
    // The addressed peer answers with a stream of other messages and never
    // the awaited one; the exchange must end on its own window, long before
    // the stream stops.
    std::atomic<bool> flooding{false};
    std::atomic<bool> stopFlood{false};
    std::thread flood;
    peer.run([&](Peer& p, const Request& r) {
        if (flooding.exchange(true)) return;
        const ORVEX::IPAddress dest = r.from;
        flood = std::thread([&p, dest, &stopFlood, &flooding] {
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!stopFlood && std::chrono::steady_clock::now() < end) {
                (void)p.send(dest, reply(STATUS_ANS, STATUS_ACCEPT));
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            flooding = false;
        });
    });
    Receive answer;
    const int result = finder.sendAck(to, Send(PORT_REQ, STATUS_NONE), PORT_ANS, answer, true);
    const bool stillFlooding = flooding.load();
    stopFlood = true;
    peer.stop();  // the flood thread is started on the peer's thread: join that first
    if (flood.joinable()) flood.join();
    EXPECT_EQ(result, Find::ACK_SILENCE);
    EXPECT_TRUE(stillFlooding);
}

TEST_F(FindExchange, LateAnswerToAnEarlierPortQueryIsNotTaken) {
    // The answer to id 1 arrives during the query for id 2; the query for
    // id 2 takes only its own answer.
    peer.run([&](Peer& p, const Request& r) {
        if (r.id == PORT_REQ && r.o[0] == 2) {
            (void)p.answer(r, reply(PORT_ANS, STATUS_ACCEPT, 1, 0, 5000, 1, "stale"));
            (void)p.answer(r, reply(PORT_ANS, STATUS_ACCEPT, 2, 0, 6000, 1, "right"));
        }
    });
    // The type-4 form asks no synchro information of the endpoint.
    ORVEX::IPAddress endpoint;
    std::uint16_t version = 0;
    std::string name;
    Find::SynchroNodeInfo synchro;
    ASSERT_TRUE(finder.getPort(to, Find::PORT_TYPE4 | Find::PORT_SEL1, 2, endpoint, version, name, synchro));
    EXPECT_EQ(endpoint.get_port(), 6000);
    EXPECT_EQ(name, "right");
}

TEST_F(FindExchange, MulticastAnswerTableIsBounded) {
    // Every one of many sockets answers one discovery on the loopback entry;
    // the table keeps at most MaxAnswers sources.
    Peer atPort{address("::1", ZARNITH::TargetPort)};
    ASSERT_TRUE(atPort.ok);
    std::vector<std::unique_ptr<Peer>> crowd;
    for (std::size_t i = 0; i < Find::MaxAnswers + 20; ++i) {
        crowd.push_back(std::make_unique<Peer>(address("::1")));
        ASSERT_TRUE(crowd.back()->ok);
    }
    atPort.run([&](Peer&, const Request& r) {
        for (auto& one : crowd) (void)one->send(r.from, findtest::reply64(DISCOVER_ANS, STATUS_ACCEPT, 1, "x"));
    });
    Find::Setting s;
    s.loopbackAllowed = true;
    Find multi(s);
    ASSERT_TRUE(multi.open());
    // Answers accumulate over passes (a loaded machine may not deliver all
    // of them inside one window); the table never grows past its bound.
    std::map<ORVEX::IPAddress, Receive> answers;
    auto& log = findtest::LogCapture::instance();
    for (int pass = 0; pass < 30 && log.count("Find Multi answer dropped, table full : ") == 0; ++pass) {
        ASSERT_TRUE(multi.sendMulti(Send(DISCOVER, STATUS_NONE), DISCOVER_ANS, answers));
        ASSERT_LE(answers.size(), Find::MaxAnswers);
    }
    EXPECT_EQ(answers.size(), Find::MaxAnswers);
    EXPECT_GE(log.count("Find Multi answer dropped, table full : 256"), 1);
    atPort.stop();
}
