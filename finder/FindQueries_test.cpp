// Status scan, status chains, single-target queries and the nop-break, each
// against a scripted target on ::1.
#include <gtest/gtest.h>

#include <net/if.h>

#include "finder/Find.h"
#include "finder/FindTestKit.h"
#include "protocol/StatusID.h"
#include "tests/support/TestSupport.h"

using namespace ZARNITH;
using findtest::address;
using findtest::Peer;
using findtest::reply;
using findtest::reply64;
using findtest::Request;

namespace {

std::string addressPayload(const ORVEX::IPAddress& a, const std::string& text) {
    std::string out(a.address.begin(), a.address.end());
    const std::uint16_t port = a.port;  // network order as stored
    out.push_back(static_cast<char>(reinterpret_cast<const std::uint8_t*>(&port)[0]));
    out.push_back(static_cast<char>(reinterpret_cast<const std::uint8_t*>(&port)[1]));
    return out + text;
}

}  // namespace

class FindQueries : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own";
        findtest::LogCapture::start(7);
        ASSERT_TRUE(target.ok && sink.ok);
        sink.run([](Peer& p, const Request& r) {
            if (r.id == SYNCHROINFO_REQ) (void)p.answer(r, reply(SYNCHROINFO_ANS, STATUS_ACCEPT, 1, 2, 3, 4));
        });
    }
    Peer target{address("::1")};
    Peer sink{address("::1")};
};

TEST_F(FindQueries, StatusScanReadsTheEntries) {
    const ORVEX::IPAddress peerAddress = address("::1", 6000);
    target.run([&](Peer& p, const Request& r) {
        if (r.id == SYNCNAME_SET) (void)p.answer(r, reply(SYNCNAME_ANS, STATUS_ACCEPT));
        if (r.id != STATUS_REQ) return;
        switch (r.o[0]) {
            case 0: (void)p.answer(r, reply(STATUS_ANS, STATUS_ACCEPT, 6, 0, 0, 1)); break;
            case 1:
                (void)p.answer(r, reply(STATUS_ANS, STATUS_ACCEPT, 1, 2, 7000, 1, addressPayload(peerAddress, "sinkA")));
                break;
            case 2: (void)p.answer(r, reply(STATUS_ANS, STATUS_NONE, 2, 0, 0, 1)); break;
            case 3:  // a version word above the setting
                (void)p.answer(r, reply(STATUS_ANS, STATUS_ACCEPT, 3, 0, 7003, 2, addressPayload(peerAddress, "new")));
                break;
            case 4:
                (void)p.answer(r, reply(STATUS_ANS, STATUS_ACCEPT, 4, 1, 7004, 1, addressPayload(peerAddress, "sinkB")));
                break;
            case 5: break;  // silent: skipped like an empty entry
            case 6:
                (void)p.answer(r, reply(STATUS_ANS, STATUS_ACCEPT, 6, 1, 7006, 1, addressPayload(peerAddress, "late")));
                break;
        }
    });
    const std::map<ORVEX::IPAddress, Find::FindTargetSt> found{{target.self, Find::FindTargetSt{4, "T"}}};
    std::map<ORVEX::IPAddress, Find::TargetStatusInfo> status;
    // An answer that comes late on a busy machine skips its entry too; the
    // scan is then made again.
    std::size_t asked = 0;
    for (int attempt = 0; attempt < 5 && (attempt == 0 || status.size() != 3); ++attempt) {
        findtest::LogCapture::instance().clear();
        const std::size_t before = target.requests(STATUS_REQ).size();
        Find finder{Find::Setting()};
        ASSERT_TRUE(finder.open());
        ASSERT_TRUE(finder.findTarget(found, status));
        asked = target.requests(STATUS_REQ).size() - before;
    }
    ASSERT_EQ(status.size(), 3u);
    ASSERT_EQ(status.count(address("::1", 7004)), 1u);
    EXPECT_EQ(status.at(address("::1", 7004)).entryName, "sinkB");
    status.erase(address("::1", 7004));
    ASSERT_EQ(status.count(address("::1", 7006)), 1u) << "the entry behind the silent one";
    EXPECT_EQ(status.at(address("::1", 7006)).entryName, "late");
    EXPECT_EQ(status.at(address("::1", 7006)).index, 6);
    status.erase(address("::1", 7006));
    const auto& [key, entry] = *status.begin();
    EXPECT_EQ(key, address("::1", 7000));
    EXPECT_EQ(entry.id, 4u);
    EXPECT_EQ(entry.name, "T");
    EXPECT_EQ(entry.index, 1);
    EXPECT_EQ(entry.kind, 2);
    EXPECT_EQ(entry.version, 1);
    EXPECT_EQ(entry.peer, peerAddress);
    EXPECT_EQ(entry.entryName, "sinkA");
    EXPECT_EQ(asked, 7u) << "the count and every entry, each once";
    EXPECT_EQ(findtest::LogCapture::instance().count("Find walk ends at a silent entry"), 0);
}

// A target that counts 65535 entries and answers none: the status walk ends
// after MaxSilentInARow of them, logged at the last one asked.
TEST_F(FindQueries, ADeadTargetEndsTheStatusWalk) {
    target.run([](Peer& p, const Request& r) {
        if (r.id == SYNCNAME_SET) (void)p.answer(r, reply(SYNCNAME_ANS, STATUS_ACCEPT));
        if (r.id == STATUS_REQ && r.o[0] == 0) (void)p.answer(r, reply(STATUS_ANS, STATUS_ACCEPT, 0xFFFF, 0, 0, 1));
    });
    Find finder{Find::Setting()};
    ASSERT_TRUE(finder.open());
    const std::map<ORVEX::IPAddress, Find::FindTargetSt> found{{target.self, Find::FindTargetSt{4, "T"}}};
    std::map<ORVEX::IPAddress, Find::TargetStatusInfo> status;
    findtest::LogCapture::instance().clear();
    ASSERT_TRUE(finder.findTarget(found, status));
    EXPECT_TRUE(status.empty());
    std::vector<std::uint16_t> indexes;
    for (const Request& r : target.requests(STATUS_REQ)) indexes.push_back(r.o[0]);
    std::vector<std::uint16_t> wanted{0};  // the count, then entries 1 to MaxSilentInARow
    for (unsigned i = 1; i <= Find::MaxSilentInARow; ++i) wanted.push_back(static_cast<std::uint16_t>(i));
    EXPECT_EQ(indexes, wanted);
    EXPECT_EQ(findtest::LogCapture::instance().count("Find walk ends at a silent entry : T " +
                                                     std::to_string(Find::MaxSilentInARow)),
              1);
}

TEST(FindStatusSort, ChainsFollowThePeers) {
    const ORVEX::IPAddress host = address("fe80::1", 0, 3);
    const auto key = [](std::uint16_t port) { return address("fe80::1", port, 3); };
    const auto entry = [](std::uint16_t index, std::uint16_t kind, const ORVEX::IPAddress& peer) {
        Find::TargetStatusInfo info;
        info.index = index;
        info.kind = kind;
        info.peer = peer;
        return info;
    };
    Find::StatusSort sorted;
    Find::SortStatus(host, 5000, false, {}, sorted);
    EXPECT_TRUE(sorted.empty());

    std::map<ORVEX::IPAddress, Find::TargetStatusInfo> status;
    status[key(7000)] = entry(1, 2, address("::1", 5000));        // seed: the host's own sink
    status[key(7001)] = entry(2, 0, address("fe80::1", 1));       // behind the seed
    status[key(6999)] = entry(3, 0, address("fe80::1", 2));       // behind 7001, earlier in map order
    status[key(6998)] = entry(4, 0, address("fe80::1", 99));      // its parent never appears
    status[key(6997)] = entry(5, 2, address("::1", 5001));        // another host port: no seed
    Find::SortStatus(host, 5000, false, status, sorted);
    std::vector<std::uint16_t> order;
    std::vector<bool> leaves, seeds;
    for (const auto& e : sorted) {
        order.push_back(e.key.get_port());
        leaves.push_back(e.leaf);
        seeds.push_back(e.seed);
    }
    EXPECT_EQ(order, (std::vector<std::uint16_t>{7000, 7001, 6999}));
    EXPECT_EQ(leaves, (std::vector<bool>{false, false, true}));
    EXPECT_EQ(seeds, (std::vector<bool>{true, false, false}));
    EXPECT_NE(sorted.find(key(6999)), sorted.end());
    EXPECT_EQ(sorted.find(key(6998)), sorted.end());

    // The other seed kind picks no head here.
    Find::StatusSort other;
    Find::SortStatus(host, 5000, true, status, other);
    EXPECT_TRUE(other.empty());
}

TEST_F(FindQueries, GetTargetAndPing) {
    std::atomic<bool> silent{false};
    target.run([&](Peer& p, const Request& r) {
        if (silent) return;
        if (r.id == DISCOVER) (void)p.answer(r, reply64(DISCOVER_ANS, STATUS_ACCEPT, 5, "Desk"));
        if (r.id == SYNCNAME_SET) (void)p.answer(r, reply(SYNCNAME_ANS, STATUS_ACCEPT));
    });
    Find::Setting s;
    s.productId = 5;
    Find finder(s);
    ASSERT_TRUE(finder.open());
    std::uint64_t id = 0;
    std::string name;
    ASSERT_TRUE(finder.getTarget(target.self, id, name));
    EXPECT_EQ(id, 5u);
    EXPECT_EQ(name, "Desk");
    EXPECT_EQ(target.requests(SYNCNAME_SET).size(), 1u);
    EXPECT_TRUE(finder.pingTarget(target.self));
    silent = true;
    ASSERT_TRUE(finder.getTarget(target.self, id, name));
    EXPECT_EQ(id, ~std::uint64_t{0});
    EXPECT_EQ(name, "Desk");
    EXPECT_FALSE(finder.pingTarget(target.self));
}

TEST_F(FindQueries, GetOutputOnLoopbackTriesOnlyTheLoopbackEntry) {
    Peer atPort{address("::1", ZARNITH::TargetPort)};
    ASSERT_TRUE(atPort.ok);
    const std::uint16_t sinkPort = sink.port();
    atPort.run([sinkPort](Peer& p, const Request& r) {
        if (r.id == PORT_REQ) (void)p.answer(r, reply(PORT_ANS, STATUS_ACCEPT, r.o[0], r.o[1], sinkPort, 1, "Main"));
        if (r.id == DISCOVER) (void)p.answer(r, reply64(DISCOVER_ANS, STATUS_ACCEPT, 1, "Self"));
        if (r.id == OUTPUTNAME_REQ) (void)p.answer(r, reply(OUTPUTNAME_ANS, STATUS_ACCEPT, 0, 0, 0, 0, "x[myaddress]"));
    });
    Find::Setting s;
    s.loopbackAllowed = true;
    Find finder(s);
    ASSERT_TRUE(finder.open());
    ORVEX::IPAddress endpoint;
    Find::TargetConnectInfo info;
    ASSERT_TRUE(finder.getOutput(address("::1"), 1, endpoint, info));
    EXPECT_EQ(endpoint, address("::1", sinkPort));
    EXPECT_EQ(info.target, address("::1", ZARNITH::TargetPort, 0));
    EXPECT_EQ(info.portId, 1);
    EXPECT_EQ(info.name, "Self");
    EXPECT_EQ(info.outputText, "x[::1]");
    EXPECT_EQ(info.synchroInfo.option2, 3);
    EXPECT_TRUE(info.portName.empty());  // not written by this query
    EXPECT_EQ(atPort.requests(PORT_REQ).size(), 1u);

    // Opened on the loopback interface, the ::1 entry carries its index;
    // answers from ::1 come with scope 0 and still count.
    Find onLoopback(s);
    ASSERT_TRUE(onLoopback.open(static_cast<std::uint16_t>(if_nametoindex("lo"))));
    ASSERT_NE(onLoopback.getIfList().front().ifIndex, 0u);
    ASSERT_TRUE(onLoopback.getOutput(address("::1"), 1, endpoint, info));
    EXPECT_EQ(endpoint, address("::1", sinkPort, if_nametoindex("lo")));
    atPort.stop();
}

TEST_F(FindQueries, GetOutputWritesTheTextOnlyWhenAnswered) {
    struct Case {
        std::uint16_t status;
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {STATUS_ACCEPT, "a[myaddress]", "a[::1]"},
        {STATUS_ACCEPT, "", ""},
        {STATUS_NONE, "", "stale"},
    };
    Peer atPort{address("::1", ZARNITH::TargetPort)};
    ASSERT_TRUE(atPort.ok);
    const std::uint16_t sinkPort = sink.port();
    const Case* current = nullptr;
    atPort.run([&](Peer& p, const Request& r) {
        if (r.id == PORT_REQ) (void)p.answer(r, reply(PORT_ANS, STATUS_ACCEPT, r.o[0], r.o[1], sinkPort, 1, "Main"));
        if (r.id == DISCOVER) (void)p.answer(r, reply64(DISCOVER_ANS, STATUS_ACCEPT, 1, "Self"));
        if (r.id == OUTPUTNAME_REQ) (void)p.answer(r, reply(OUTPUTNAME_ANS, current->status, 0, 0, 0, 0, current->text));
    });
    Find::Setting s;
    s.loopbackAllowed = true;
    Find finder(s);
    ASSERT_TRUE(finder.open());
    for (const Case& c : cases) {
        current = &c;
        ORVEX::IPAddress endpoint;
        Find::TargetConnectInfo info;
        info.outputText = "stale";
        ASSERT_TRUE(finder.getOutput(address("::1"), 1, endpoint, info));
        EXPECT_EQ(info.outputText, c.expected) << c.text;
    }
    atPort.stop();
}

TEST_F(FindQueries, NopBreakGoesFirstAndTheQueriesGoOn) {
    const std::uint16_t sinkPort = sink.port();
    target.run([sinkPort](Peer& p, const Request& r) {
        if (r.id == NOPBREAK_REQ) (void)p.answer(r, reply(NOPBREAK_ANS, STATUS_ACCEPT));
        if (r.id == PORT_REQ) (void)p.answer(r, reply(PORT_ANS, STATUS_ACCEPT, r.o[0], r.o[1], sinkPort, 1, "P"));
        if (r.id == STATUS_REQ) (void)p.answer(r, reply(STATUS_ANS, STATUS_ACCEPT, 2, 0, 0, 1));
    });
    Find::Setting s;
    s.nopBreak = true;
    Find finder(s);
    ASSERT_TRUE(finder.open());
    ORVEX::IPAddress endpoint;
    std::uint16_t version = 0, count = 0;
    std::string name;
    Find::SynchroNodeInfo synchro;
    ASSERT_TRUE(finder.getPort(target.self, Find::PORT_TYPE1 | Find::PORT_SEL1, 1, endpoint, version, name, synchro));
    EXPECT_EQ(endpoint.get_port(), sinkPort);
    ASSERT_TRUE(finder.getStatus(target.self, count));
    EXPECT_EQ(count, 2);
    std::vector<std::uint16_t> ids;
    for (const Request& r : target.requests()) ids.push_back(r.id);
    EXPECT_EQ(ids, (std::vector<std::uint16_t>{NOPBREAK_REQ, PORT_REQ, NOPBREAK_REQ, STATUS_REQ}));
}

TEST_F(FindQueries, TableMarkersAreNoPortIds) {
    target.run([](Peer& p, const Request& r) {
        (void)p.answer(r, reply(PORT_ANS, STATUS_ACCEPT, 1, 0, 1, 1, std::string(1024, '\xff')));
    });
    Find finder{Find::Setting()};
    ASSERT_TRUE(finder.open());
    for (std::uint16_t id : {std::uint16_t{0}, std::uint16_t{0xFFFF}}) {
        ORVEX::IPAddress endpoint = address("::1", 1);
        std::uint16_t version = 0;
        std::string name;
        Find::SynchroNodeInfo synchro;
        ASSERT_TRUE(finder.getPort(target.self, Find::PORT_TYPE1 | Find::PORT_SEL1, id, endpoint, version, name, synchro));
        EXPECT_TRUE(endpoint.is_zero() && endpoint.port == 0) << id;
    }
    EXPECT_TRUE(target.requests().empty());
}
