// Discovery over ff02::1 and the port scan, against a scripted target.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <numeric>
#include <set>

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

constexpr Find::MODE Mode9 = Find::PORT_TYPE1 | Find::PORT_SEL1;

// What a scripted target announces and answers.
struct TargetScript {
    struct Port {
        std::uint16_t port = 0;
        std::string name;
        std::uint16_t version = 1;
    };
    std::uint64_t id = 0x1234;
    std::string name = "Room";
    std::set<int> discoverPasses{1, 2, 3};   // which passes (1 to 3) of a discovery are answered
    std::map<int, std::string> passNames;     // name per pass, else `name`
    std::set<int> refusePasses;               // passes answered with status 0
    std::map<std::uint16_t, Port> ports;      // sel-1 ids of type 1
    int countOverride = -1;                   // option0 of the table answer
    int tableBytes = 1024;                    // payload size of the table answer
    std::uint16_t typeMask = 1;               // option2 when the table query names type 0
    std::string outputText;
    std::set<std::uint16_t> silentIds;        // single ports left unanswered
};

// Answers discovery, name notices, table and single port queries and the
// output text as a target endpoint does.
class ScriptedTarget {
public:
    explicit ScriptedTarget(TargetScript s) : script(std::move(s)) {}

    void operator()(Peer& p, const Request& r) {
        switch (r.id) {
            case DISCOVER: {
                const int pass = (discovers++ % 3) + 1;  // passes of one discovery
                if (script.discoverPasses.count(pass) == 0) return;
                const std::string name = script.passNames.count(pass) ? script.passNames.at(pass) : script.name;
                const std::uint16_t status = script.refusePasses.count(pass) ? STATUS_NONE : STATUS_ACCEPT;
                (void)p.answer(r, reply64(DISCOVER_ANS, status, script.id, name));
                return;
            }
            case SYNCNAME_SET:
                (void)p.answer(r, reply(SYNCNAME_ANS, STATUS_ACCEPT));
                return;
            case OUTPUTNAME_REQ:
                (void)p.answer(r, reply(OUTPUTNAME_ANS, script.outputText.empty() ? STATUS_NONE : STATUS_ACCEPT, 0, 0,
                                        0, 0, script.outputText));
                return;
            case PORT_REQ:
                if (r.o[0] == 0 && r.o[1] == 0) {
                    table(p, r);
                } else {
                    single(p, r);
                }
                return;
            default:
                (void)p.answer(r, reply(r.id, STATUS_NONE));
        }
    }

    TargetScript script;
    std::atomic<int> discovers{0};

private:
    void table(Peer& p, const Request& r) {
        std::uint16_t highest = 0;
        std::string bitmap(static_cast<std::size_t>(std::max(script.tableBytes, 0)), '\0');
        for (const auto& entry : script.ports) {
            highest = std::max(highest, entry.first);
            if (entry.first < 4096 && bitmap.size() >= 512)
                bitmap[entry.first >> 3] = static_cast<char>(bitmap[entry.first >> 3] | (1 << (entry.first & 7)));
        }
        if (script.countOverride >= 0) highest = static_cast<std::uint16_t>(script.countOverride);
        const std::uint16_t type = r.o[2] == 0 ? script.typeMask : r.o[2];
        (void)p.answer(r, reply(PORT_ANS, STATUS_ACCEPT, highest, 0, type, 1, bitmap));
    }
    void single(Peer& p, const Request& r) {
        if (script.silentIds.count(r.o[0]) != 0) return;
        const auto found = script.ports.find(r.o[0]);
        if (r.o[1] != 0 || r.o[2] != 1 || found == script.ports.end()) {
            (void)p.answer(r, reply(PORT_ANS, STATUS_NONE, r.o[0], r.o[1], 0, 1));
            return;
        }
        (void)p.answer(r, reply(PORT_ANS, STATUS_ACCEPT, r.o[0], r.o[1], found->second.port, found->second.version,
                                found->second.name));
    }
};

// How a port endpoint answers SYNCHROINFO_REQ.
enum class SinkSays { Answer, Refuse, Echo, Silent };

void runSink(Peer& sink, SinkSays says, std::uint16_t base) {
    sink.run([says, base](Peer& p, const Request& r) {
        if (r.id != SYNCHROINFO_REQ) return;
        switch (says) {
            case SinkSays::Answer:
                (void)p.answer(r, reply(SYNCHROINFO_ANS, STATUS_ACCEPT, base, base + 1, base + 2, base + 3, "grp"));
                break;
            case SinkSays::Refuse: (void)p.answer(r, reply(SYNCHROINFO_ANS, STATUS_NONE, 1, 1, 1, 1)); break;
            case SinkSays::Echo: (void)p.answer(r, reply(SYNCHROINFO_REQ, STATUS_NONE)); break;
            case SinkSays::Silent: break;
        }
    });
}

std::string keyText(const ORVEX::IPAddress& a) {
    std::string t;
    a.get_str(t);
    return t + "%" + std::to_string(a.ifIndex);
}

}  // namespace

// A finder in namespace a, a scripted target on [::]:19642 in namespace b
// joined to ff02::1, and port endpoints beside it.
class FindOverLink : public ::testing::Test {
protected:
    void SetUp() override {
        if (!net.ok()) GTEST_SKIP() << net.reason();
        findtest::LogCapture::start(7);
        {
            tmtest::ScopedNetns inB(net.nsB());
            ASSERT_TRUE(inB.ok());
            targetPeer = std::make_unique<Peer>(address("::", ZARNITH::TargetPort), net.ifIndexB());
            sinkOne = std::make_unique<Peer>(address("::"));
            sinkTwo = std::make_unique<Peer>(address("::"));
        }
        ASSERT_TRUE(targetPeer->ok && sinkOne->ok && sinkTwo->ok);
        inA = std::make_unique<tmtest::ScopedNetns>(net.nsA());
        ASSERT_TRUE(inA->ok());
        targetKey = address("fe80::2", ZARNITH::TargetPort, net.ifIndexA());
    }
    void TearDown() override {
        if (targetPeer) targetPeer->stop();
        if (sinkOne) sinkOne->stop();
        if (sinkTwo) sinkTwo->stop();
    }
    void startTarget(const TargetScript& s) {
        target = std::make_shared<ScriptedTarget>(s);
        auto t = target;
        targetPeer->run([t](Peer& p, const Request& r) { (*t)(p, r); });
    }
    Find::Setting hostSetting() const {
        Find::Setting s;
        s.productId = 0;
        s.name = "syncTest";
        return s;
    }

    tmtest::NetnsPair net;
    std::unique_ptr<Peer> targetPeer, sinkOne, sinkTwo;
    std::unique_ptr<tmtest::ScopedNetns> inA;
    std::shared_ptr<ScriptedTarget> target;
    ORVEX::IPAddress targetKey;
};

TEST_F(FindOverLink, DiscoveryFindsTheTargetAndTellsItTheName) {
    TargetScript s;
    startTarget(s);
    Find::Setting setting = hostSetting();
    setting.ownId = 0xABCDEF;
    Find finder(setting);
    ASSERT_TRUE(finder.open(static_cast<std::uint16_t>(net.ifIndexA())));
    std::map<ORVEX::IPAddress, Find::FindTargetSt> found;
    ASSERT_TRUE(finder.findTarget(found));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(keyText(found.begin()->first), keyText(targetKey));
    EXPECT_EQ(found.begin()->second.id, 0x1234u);
    EXPECT_EQ(found.begin()->second.name, "Room");
    EXPECT_EQ(targetPeer->requests(DISCOVER).size(), 3u);
    const auto notices = targetPeer->requests(SYNCNAME_SET);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].text(), "syncTest");
    EXPECT_EQ(notices[0].option, 0xABCDEFu);
    EXPECT_EQ(notices[0].status, STATUS_ACCEPT);
}

TEST_F(FindOverLink, ProductFilterKeepsOrDropsButAlwaysNotifies) {
    TargetScript s;
    s.id = 7;
    startTarget(s);
    struct Case {
        std::uint64_t filter;
        std::vector<std::uint64_t> more;
        bool kept;
    };
    const Case cases[] = {{0, {}, true}, {5, {}, false}, {5, {7}, true}, {7, {}, true}};
    std::size_t notices = 0;
    for (const Case& c : cases) {
        Find::Setting setting = hostSetting();
        setting.productId = c.filter;
        setting.productIds = c.more;
        Find finder(setting);
        ASSERT_TRUE(finder.open(static_cast<std::uint16_t>(net.ifIndexA())));
        std::map<ORVEX::IPAddress, Find::FindTargetSt> found;
        ASSERT_TRUE(finder.findTarget(found));
        EXPECT_EQ(found.size(), c.kept ? 1u : 0u) << c.filter;
        EXPECT_EQ(targetPeer->requests(SYNCNAME_SET).size(), ++notices) << c.filter;
    }
}

TEST_F(FindOverLink, AnswersOfThreePassesAccumulateTheLatestWins) {
    TargetScript s;
    s.discoverPasses = {1, 2, 3};
    s.passNames = {{1, "first"}, {2, "second"}, {3, "third"}};
    s.refusePasses = {3};  // a refusal is not stored: "second" stays
    startTarget(s);
    Find finder(hostSetting());
    ASSERT_TRUE(finder.open(static_cast<std::uint16_t>(net.ifIndexA())));
    std::map<ORVEX::IPAddress, Find::FindTargetSt> found;
    ASSERT_TRUE(finder.findTarget(found));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found.begin()->second.name, "second");
}

TEST_F(FindOverLink, SilentLinkGivesAnEmptyList) {
    TargetScript s;
    s.discoverPasses = {};
    startTarget(s);
    Find finder(hostSetting());
    ASSERT_TRUE(finder.open(static_cast<std::uint16_t>(net.ifIndexA())));
    std::map<ORVEX::IPAddress, Find::FindTargetSt> found;
    found[targetKey] = Find::FindTargetSt{1, "old"};
    ASSERT_TRUE(finder.findTarget(found));
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(targetPeer->waitRequests(DISCOVER, 3), 3u);
    EXPECT_TRUE(targetPeer->requests(SYNCNAME_SET).empty());
}

TEST_F(FindOverLink, PortScanReadsEveryPortWithItsInterfaceIndex) {
    TargetScript s;
    s.ports = {{1, {sinkOne->port(), "Main", 1}}, {3, {sinkTwo->port(), "Aux", 0}}};
    s.outputText = "out[myaddress]/[myaddress]";
    startTarget(s);
    runSink(*sinkOne, SinkSays::Answer, 10);
    runSink(*sinkTwo, SinkSays::Answer, 20);

    Find finder(hostSetting());
    ASSERT_TRUE(finder.open(static_cast<std::uint16_t>(net.ifIndexA())));
    std::map<ORVEX::IPAddress, Find::FindTargetSt> found;
    ASSERT_TRUE(finder.findTarget(found));
    std::map<ORVEX::IPAddress, Find::TargetConnectInfo> ports;
    ASSERT_TRUE(finder.findTarget(found, ports, Mode9));

    ASSERT_EQ(ports.size(), 2u);
    const ORVEX::IPAddress keyOne = address("fe80::2", sinkOne->port(), net.ifIndexA());
    const ORVEX::IPAddress keyTwo = address("fe80::2", sinkTwo->port(), net.ifIndexA());
    ASSERT_EQ(ports.count(keyOne), 1u);
    ASSERT_EQ(ports.count(keyTwo), 1u);
    const Find::TargetConnectInfo& one = ports[keyOne];
    EXPECT_EQ(one.id, 0x1234u);
    EXPECT_EQ(one.name, "Room");
    EXPECT_EQ(one.portId, 1);
    EXPECT_EQ(one.version, 1);
    EXPECT_EQ(one.portName, "Main");
    EXPECT_EQ(keyText(one.target), keyText(targetKey));
    EXPECT_EQ(one.outputText, "out[fe80::2]/[myaddress]");
    EXPECT_TRUE(one.multiport);
    EXPECT_EQ(one.synchroInfo.option0, 10);
    EXPECT_EQ(one.synchroInfo.option3, 13);
    const Find::TargetConnectInfo& two = ports[keyTwo];
    EXPECT_EQ(two.portId, 3);
    EXPECT_EQ(two.version, 0);
    EXPECT_TRUE(two.multiport);
    EXPECT_EQ(two.synchroInfo.option1, 21);
    EXPECT_TRUE(Find::is_multiport(ports, keyOne));

    // Id 2 is absent from the bitmap and never asked for; the single-port
    // queries carry the id in option0 and type 1.
    std::vector<std::uint16_t> asked;
    for (const Request& r : targetPeer->requests(PORT_REQ)) {
        if (r.o[0] != 0) {
            EXPECT_EQ(r.o[2], 1);
            asked.push_back(r.o[0]);
        }
    }
    EXPECT_EQ(asked, (std::vector<std::uint16_t>{1, 3}));
    EXPECT_EQ(targetPeer->requests(SYNCNAME_SET).size(), 2u);  // discovery and scan
    EXPECT_EQ(targetPeer->requests(OUTPUTNAME_REQ).size(), 1u);
}

TEST_F(FindOverLink, PortEndpointAnswersDecideTheScan) {
    struct Case {
        SinkSays says;
        bool scan;
        std::uint16_t option0;
    };
    const Case cases[] = {
        {SinkSays::Answer, true, 40},
        {SinkSays::Refuse, true, 0},   // refused: synchro stays zero
        {SinkSays::Echo, true, 0},     // not supported: synchro stays zero
        {SinkSays::Silent, false, 0},  // no answer in its window fails the list
    };
    TargetScript s;
    s.ports = {{1, {sinkOne->port(), "Main", 1}}};
    startTarget(s);
    std::map<ORVEX::IPAddress, Find::FindTargetSt> found{{targetKey, Find::FindTargetSt{0x1234, "Room"}}};
    for (const Case& c : cases) {
        runSink(*sinkOne, c.says, 40);
        Find finder(hostSetting());
        ASSERT_TRUE(finder.open(static_cast<std::uint16_t>(net.ifIndexA())));
        std::map<ORVEX::IPAddress, Find::TargetConnectInfo> ports;
        EXPECT_EQ(finder.findTarget(found, ports, Mode9), c.scan) << static_cast<int>(c.says);
        if (c.scan) {
            ASSERT_EQ(ports.size(), 1u);
            EXPECT_EQ(ports.begin()->second.synchroInfo.option0, c.option0);
            EXPECT_FALSE(ports.begin()->second.multiport);
        } else {
            EXPECT_TRUE(ports.empty());
        }
        sinkOne->stop();
    }
}

// The port table rules against a scripted target on ::1.
class FindPortTable : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own";
        findtest::LogCapture::start(7);
        ASSERT_TRUE(targetPeer.ok && sink.ok);
        runSink(sink, SinkSays::Answer, 1);
        found[targetPeer.self] = Find::FindTargetSt{9, "T"};
    }
    void start(const TargetScript& s) {
        target = std::make_shared<ScriptedTarget>(s);
        auto t = target;
        targetPeer.run([t](Peer& p, const Request& r) { (*t)(p, r); });
    }
    std::vector<std::uint16_t> singleIds() {
        std::vector<std::uint16_t> ids;
        for (const Request& r : targetPeer.requests(PORT_REQ))
            if (r.o[0] != 0 || r.o[1] != 0) ids.push_back(r.o[0] != 0 ? r.o[0] : r.o[1]);
        return ids;
    }
    // One port scan by a new finder, the log cleared first; the single-port
    // ids it asked.
    std::vector<std::uint16_t> scan() {
        findtest::LogCapture::instance().clear();
        const std::size_t before = singleIds().size();
        Find finder{Find::Setting()};
        EXPECT_TRUE(finder.open());
        EXPECT_TRUE(finder.findTarget(found, ports, Mode9));
        const auto all = singleIds();
        return std::vector<std::uint16_t>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    }
    std::size_t tableQueries() {
        std::size_t n = 0;
        for (const Request& r : targetPeer.requests(PORT_REQ))
            if (r.o[0] == 0 && r.o[1] == 0) ++n;
        return n;
    }

    Peer targetPeer{address("::1")};
    Peer sink{address("::1")};
    std::shared_ptr<ScriptedTarget> target;
    std::map<ORVEX::IPAddress, Find::FindTargetSt> found;
    std::map<ORVEX::IPAddress, Find::TargetConnectInfo> ports;
};

TEST_F(FindPortTable, BitmapOfTheWrongSizeAsksEveryId) {
    for (int bytes : {1023, 1025}) {
        TargetScript s;
        s.ports = {{2, {sink.port(), "P", 1}}, {4, {sink.port(), "P", 1}}};
        s.tableBytes = bytes;
        targetPeer.stop();
        start(s);
        const std::size_t before = singleIds().size();
        Find finder{Find::Setting()};
        ASSERT_TRUE(finder.open());
        ASSERT_TRUE(finder.findTarget(found, ports, Mode9));
        EXPECT_EQ(singleIds().size() - before, 4u) << bytes;
    }
}

TEST_F(FindPortTable, CountAboveTheBitmapAsksEveryIdOnce) {
    TargetScript s;
    s.ports = {{4500, {sink.port(), "Far", 1}}};
    s.countOverride = 5000;
    start(s);
    // 5000 exchanges with one window each: an answer that comes late on a
    // busy machine skips its id (a run of them ends the walk there, logged),
    // and the scan is made again.
    std::vector<std::uint16_t> ids;
    for (int attempt = 0; attempt < 5; ++attempt) {
        ids = scan();
        if (findtest::LogCapture::instance().count("Find walk ends at a silent entry") == 0 && ports.size() == 1) break;
    }
    ASSERT_EQ(ids.size(), 5000u);
    EXPECT_EQ(ids.front(), 1);
    EXPECT_EQ(ids.back(), 5000);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports.begin()->second.portId, 4500);
}

// A port left unanswered is skipped like an empty one, whether its answer
// comes from another address or not at all, and so are runs of silent ports
// shorter than MaxSilentInARow; a run that long ends the target's walk
// (logged at the port where it ends): a dead device costs that many windows.
TEST_F(FindPortTable, SilentPortsAreSkippedUntilARunOfThem) {
    // Answers that come from another address (shared with the target's thread).
    auto elsewhere = std::make_shared<Peer>(address("::1"));
    ASSERT_TRUE(elsewhere->ok);
    const unsigned run = Find::MaxSilentInARow;
    // Answered ports 1, run + 1 and 2 * run + 1, silent runs of run - 1 between.
    std::set<std::uint16_t> shortRuns;
    for (unsigned id = 2; id <= run; ++id) {
        shortRuns.insert(static_cast<std::uint16_t>(id));
        shortRuns.insert(static_cast<std::uint16_t>(id + run));
    }
    std::set<std::uint16_t> everyPort;
    for (unsigned id = 1; id <= 0xFFFF; ++id) everyPort.insert(static_cast<std::uint16_t>(id));
    struct Case {
        const char* what;
        unsigned ports;  // ids 1 to `ports` are in the table
        std::set<std::uint16_t> silent;
        std::set<std::uint16_t> fromElsewhere;
        unsigned asked;                 // ids 1 to `asked` are asked
        std::vector<unsigned> listed;  // ids stored, in order
    };
    const Case cases[] = {
        {"a port answered from another address", 6, {}, {4}, 6, {1, 2, 3, 5, 6}},
        {"a silent port", 6, {4}, {}, 6, {1, 2, 3, 5, 6}},
        {"silent runs one shorter than the limit", 2 * run + 1, shortRuns, {}, 2 * run + 1, {1, run + 1, 2 * run + 1}},
        {"a dead device", 0xFFFF, everyPort, {}, run, {}},
    };
    auto& log = findtest::LogCapture::instance();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TargetScript s;
        for (unsigned id = 1; id <= c.ports; ++id)
            s.ports[static_cast<std::uint16_t>(id)] = {sink.port(), "P" + std::to_string(id), 1};
        s.silentIds = c.silent;
        auto script = std::make_shared<ScriptedTarget>(s);
        targetPeer.stop();
        targetPeer.run([script, elsewhere, moved = c.fromElsewhere, port = sink.port()](Peer& p, const Request& r) {
            if (r.id == PORT_REQ && moved.count(r.o[0]) != 0) {
                (void)elsewhere->send(r.from, reply(PORT_ANS, STATUS_ACCEPT, r.o[0], r.o[1], port, 1, "moved"));
                return;
            }
            (*script)(p, r);
        });
        // Each answered port has one window: on a busy machine an answer may
        // come late (its port is then skipped too), and the scan is made again.
        std::vector<std::uint16_t> asked;
        std::vector<unsigned> listed;
        for (int attempt = 0; attempt < 5 && (attempt == 0 || listed != c.listed); ++attempt) {
            asked = scan();
            listed.clear();
            const std::string stored = "Zarnith Find Sink Out: T ";
            for (const std::string& line : log.lines())
                if (line.rfind(stored, 0) == 0)
                    listed.push_back(static_cast<unsigned>(std::stoul(line.substr(stored.size()))));
        }
        std::vector<std::uint16_t> first(c.asked);
        std::iota(first.begin(), first.end(), std::uint16_t{1});
        EXPECT_EQ(asked, first);
        EXPECT_EQ(listed, c.listed);
        EXPECT_EQ(ports.size(), c.listed.empty() ? 0u : 1u) << "every port shares one endpoint";
        if (!ports.empty()) {
            EXPECT_EQ(ports.begin()->second.portId, c.listed.back());
        }
        const bool ends = c.asked < c.ports;
        EXPECT_EQ(log.count("Find walk ends at a silent entry : T " + std::to_string(c.asked)), ends ? 1 : 0);
        EXPECT_EQ(log.count("Find walk ends at a silent entry"), ends ? 1 : 0);
    }
}

// The texts a scan keeps are bounded: every port stored (a replaced one too)
// counts its target's name, output text and port name, and the scan ends
// once 16 MiB are used (here at the fourth port of a target named with 4 MiB).
TEST_F(FindPortTable, TheTextsOfAScanAreBounded) {
    TargetScript s;
    for (std::uint16_t id = 1; id <= 10; ++id) s.ports[id] = {sink.port(), "P", 1};
    start(s);
    found.begin()->second.name = std::string(std::size_t{4} << 20, 'n');
    Find finder{Find::Setting()};
    ASSERT_TRUE(finder.open());
    ASSERT_TRUE(finder.findTarget(found, ports, Mode9));
    EXPECT_EQ(singleIds().size(), 4u);
    EXPECT_EQ(findtest::LogCapture::instance().count("Find answer texts too large : 16777220"), 1);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports.begin()->second.portId, 3);
}

// A limit ends the scan with what was found: a run flag cleared while the
// walk goes on (here by the target as id 3 is asked), a cleared flag or a
// passed deadline before the scan (nothing is sent at all).
TEST_F(FindPortTable, ALimitEndsTheScanWithWhatWasFound) {
    struct Case {
        const char* what;
        bool runningAtStart;
        bool pastDeadline;
        std::vector<std::uint16_t> asked;
        std::size_t listed;
    };
    const Case cases[] = {
        {"flag cleared during the walk", true, false, {1, 2, 3}, 1},
        {"flag cleared before", false, false, {}, 0},
        {"deadline passed before", true, true, {}, 0},
    };
    TargetScript s;
    for (std::uint16_t id = 1; id <= 6; ++id) s.ports[id] = {sink.port(), "P" + std::to_string(id), 1};
    auto script = std::make_shared<ScriptedTarget>(s);
    std::atomic<bool> running{true};
    targetPeer.run([script, &running](Peer& p, const Request& r) {
        if (r.id == PORT_REQ && r.o[0] == 3) running = false;
        (*script)(p, r);
    });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        running = c.runningAtStart;
        const std::size_t before = targetPeer.requests().size();
        const std::size_t singlesBefore = singleIds().size();
        Find finder{Find::Setting()};
        ASSERT_TRUE(finder.open());
        const ORVEX::Clock deadline = c.pastDeadline ? ORVEX::Clock::now() : ORVEX::Clock();
        finder.setLimit(FindLimit(deadline, &running));
        ASSERT_TRUE(finder.findTarget(found, ports, Mode9));
        EXPECT_TRUE(finder.limitReached());
        const auto all = singleIds();
        EXPECT_EQ(std::vector<std::uint16_t>(all.begin() + static_cast<std::ptrdiff_t>(singlesBefore), all.end()),
                  c.asked);
        EXPECT_EQ(ports.size(), c.listed);
        if (c.asked.empty()) {
            EXPECT_EQ(targetPeer.requests().size(), before) << "nothing is sent";
        }
        // Every other operation ends at once too.
        Receive answer;
        EXPECT_EQ(finder.sendAck(targetPeer.self, Send(DISCOVER, STATUS_NONE, std::uint64_t{0}), DISCOVER_ANS, answer,
                                 true),
                  Find::ACK_SILENCE);
        std::map<ORVEX::IPAddress, Find::FindTargetSt> discovered;
        EXPECT_TRUE(finder.findTarget(discovered));
        EXPECT_TRUE(discovered.empty());
    }
}

// With a deadline, every target walks in an even share of the time left: a
// target that answers each of its 65535 ports slowly with "no such port"
// uses up its own share, and the target behind it is still listed.
TEST_F(FindPortTable, EveryTargetGetsAShareOfTheTimeLeft) {
    // Two targets on ::1; the one first in map order is the slow one.
    Peer one{address("::1")};
    Peer two{address("::1")};
    ASSERT_TRUE(one.ok && two.ok);
    const bool oneFirst = one.self < two.self;
    Peer& slow = oneFirst ? one : two;
    Peer& near = oneFirst ? two : one;
    slow.run([](Peer& p, const Request& r) {
        if (r.id == SYNCNAME_SET) (void)p.answer(r, reply(SYNCNAME_ANS, STATUS_ACCEPT));
        if (r.id != PORT_REQ) return;
        if (r.o[0] == 0 && r.o[1] == 0) {
            (void)p.answer(r, reply(PORT_ANS, STATUS_ACCEPT, 0xFFFF, 0, 1, 1));
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a slow target
        (void)p.answer(r, reply(PORT_ANS, STATUS_NONE, r.o[0], r.o[1], 0, 1));
    });
    TargetScript s;
    s.ports = {{1, {sink.port(), "Near", 1}}};
    auto script = std::make_shared<ScriptedTarget>(s);
    near.run([script](Peer& p, const Request& r) { (*script)(p, r); });
    const std::map<ORVEX::IPAddress, Find::FindTargetSt> both{{slow.self, {1, "Slow"}}, {near.self, {2, "T"}}};

    Find finder{Find::Setting()};
    ASSERT_TRUE(finder.open());
    std::atomic<bool> running{true};
    finder.setLimit(FindLimit(ORVEX::Clock::now() + ORVEX::Clock::fromSeconds(2), &running));
    ASSERT_TRUE(finder.findTarget(both, ports, Mode9));
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports.begin()->second.portName, "Near");
    // Its share ends the slow walk (or, on a busy machine, an answer later
    // than its window does).
    auto& log = findtest::LogCapture::instance();
    EXPECT_EQ(log.count("Find walk ended by its limit : Slow") + log.count("Find walk ends at a silent entry : Slow"), 1);
    EXPECT_FALSE(finder.limitReached()) << "the near target left time over";
    slow.stop();
    near.stop();
}

TEST_F(FindPortTable, TypeOfTheTableAnswerMustFitTheMode) {
    struct Case {
        std::uint16_t typeMask;
        Find::MODE mode;
        std::size_t tables;
        std::size_t singles;
    };
    const Case cases[] = {
        {0, Mode9, 1, 1},                                      // type 0 counts as type 1
        {0, Find::PORT_TYPE2 | Find::PORT_SEL1, 1, 0},         // but not as type 2
        {5, Mode9, 2, 1},                                      // a type mask asks again with type 1
        {1, Find::PORT_TYPE1 | Find::PORT_SEL0, 2, 0},         // no option0 count: no port asked
    };
    for (const Case& c : cases) {
        TargetScript s;
        s.ports = {{1, {sink.port(), "P", 1}}};
        s.typeMask = c.typeMask;
        targetPeer.stop();
        start(s);
        const std::size_t tablesBefore = tableQueries();
        const std::size_t singlesBefore = singleIds().size();
        const std::size_t outputsBefore = targetPeer.requests(OUTPUTNAME_REQ).size();
        Find finder{Find::Setting()};
        ASSERT_TRUE(finder.open());
        ASSERT_TRUE(finder.findTarget(found, ports, c.mode));
        EXPECT_EQ(tableQueries() - tablesBefore, c.tables) << c.typeMask << " " << c.mode;
        EXPECT_EQ(singleIds().size() - singlesBefore, c.singles) << c.typeMask << " " << c.mode;
        EXPECT_EQ(targetPeer.requests(OUTPUTNAME_REQ).size() - outputsBefore, 1u);
        EXPECT_EQ(ports.size(), c.singles);
    }
}

TEST_F(FindPortTable, VersionWordsAboveTheSettingAreSkipped) {
    // Ids 1 and 2 share the first endpoint; id 3 (version 2) has its own.
    Peer other{address("::1")};
    ASSERT_TRUE(other.ok);
    runSink(other, SinkSays::Answer, 3);
    TargetScript s;
    s.ports = {{1, {sink.port(), "v0", 0}}, {2, {sink.port(), "v1", 1}}, {3, {other.port(), "v2", 2}}};
    start(s);
    for (std::uint16_t limit : {std::uint16_t{1}, std::uint16_t{0}}) {
        Find::Setting setting;
        setting.protocolVersion = limit;
        Find finder(setting);
        ASSERT_TRUE(finder.open());
        findtest::LogCapture::instance().clear();
        ASSERT_TRUE(finder.findTarget(found, ports, Mode9));
        const bool hasV2 = ports.count(address("::1", other.port())) == 1;
        EXPECT_EQ(hasV2, limit == 0);
        EXPECT_EQ(findtest::LogCapture::instance().has("Zarnith Find protocol version not much : 1<2"), limit == 1);
        // One entry for the shared endpoint, with the later id, marked.
        const auto shared = ports.find(address("::1", sink.port()));
        ASSERT_NE(shared, ports.end());
        EXPECT_EQ(shared->second.portId, 2);
        EXPECT_EQ(shared->second.portName, "v1");
        EXPECT_TRUE(shared->second.multiport);
    }
    other.stop();
}
