// The target endpoint over real UDP sockets on ::1: discovery and loopback
// rules, port tables with fixed and registered entries, expiry, status
// entries, stop windows, echo and drop rules, malformed datagrams, lifecycle.
#include <gtest/gtest.h>

#include "target/TargetTestKit.h"

using namespace targettest;

namespace {

class TargetOnLoopback : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (fixed port 19642)";
        LogCapture::start();
    }
    void start(const ZARNITH::Target::Setting& s, bool logInput = false) {
        target = std::make_unique<TestTarget>(s);
        ASSERT_TRUE(target->open(std::list<ORVEX::IPAddress>{ORVEX::IPAddress::loopback(0)}, logInput));
    }
    // A port registration as the sink endpoint sends it.
    static Bytes regist(std::uint16_t id, const std::string& name, std::uint16_t status = 0) {
        return message(0x8002, status, id, 0, 0, 1, text(name));
    }
    std::unique_ptr<TestTarget> target;
    UdpPeer peer;
};

TEST_F(TargetOnLoopback, DiscoverFromLoopbackOnlyWhenAllowed) {
    for (int allowed : {0, 1}) {
        auto s = hostSetting();
        s.loopbackAllowed = static_cast<std::uint8_t>(allowed);
        s.productId = 0x1122334455667788ULL;
        start(s);
        auto a = peer.ask(message(0x0000, 0), 300ms);
        if (!allowed) {
            EXPECT_FALSE(a) << "no answer to ::1 without loopbackAllowed";
            EXPECT_TRUE(eventually([] { return LogCapture::count("Block : ::1%0") == 1; }));
        } else {
            ASSERT_TRUE(a);
            EXPECT_EQ(header(*a).id, 0x0001);
            EXPECT_EQ(header(*a).status, 1);
            EXPECT_EQ(header(*a).option(), 0x1122334455667788ULL);
            EXPECT_EQ(payloadText(*a), "TolvenmarkHost");
        }
        target.reset();
    }
}

// The port query forms against the host's own setting: one fixed type-4 entry
// (id 1, sel 1, "KX1") and a type mask of 5.
TEST_F(TargetOnLoopback, PortQueryForms) {
    start(hostSetting(40001));
    struct Case {
        std::uint16_t o0, o1, type;
        std::uint16_t status, a0, a1, a2;
        std::size_t payloadSize;
        const char* name;
    };
    const Case cases[] = {
        {0, 0, 4, 1, 1, 0, 4, 1024, nullptr},           // bitmap of the type-4 tables
        {0, 0, 0, 1, 0, 0, 5, 1024, nullptr},           // type 0: type-1 tables, the type mask
        {1, 0, 4, 1, 1, 0, 40001, 3, "KX1"},            // one id
        {0, 1, 4, 0, 0, 1, 0, 0, nullptr},              // id 1 is not in the sel-0 table
        {5, 7, 1, 0, 0, 0, 0, 0, nullptr},              // two ids: refused
        {0xFFFF, 0xFFFF, 1, 1, 0, 0, 1, 0, nullptr},    // header only
        {1, 0xFFFF, 4, 1, 1, 0, 4, 1024, nullptr},      // number table of the sel-1 table from id 1
        {1, 0, 3, 0, 0, 0, 0, 0, nullptr},              // no tables of type 3
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.o0 << "," << c.o1 << "," << c.type);
        auto a = peer.ask(message(0x0002, 0, c.o0, c.o1, c.type, 1));
        ASSERT_TRUE(a);
        const Header h = header(*a);
        EXPECT_EQ(h.id, 0x0003);
        EXPECT_EQ(h.status, c.status);
        EXPECT_EQ(h.o[0], c.a0);
        EXPECT_EQ(h.o[1], c.a1);
        EXPECT_EQ(h.o[2], c.a2);
        EXPECT_EQ(h.o[3], 1);
        EXPECT_EQ(payload(*a).size(), c.payloadSize);
        if (c.name) {
            EXPECT_EQ(payloadText(*a), c.name);
        }
    }
    // The type-4 bitmap: only bit 1 of the sel-1 half.
    auto bitmap = payload(*peer.ask(message(0x0002, 0, 0, 0, 4, 1)));
    ASSERT_EQ(bitmap.size(), 1024u);
    EXPECT_EQ(bitmap[0], 0x02);
    for (std::size_t i = 1; i < 1024; ++i) ASSERT_EQ(bitmap[i], 0) << i;
    // The number table: id 1 is its first value.
    auto numbers = payload(*peer.ask(message(0x0002, 0, 1, 0xFFFF, 4, 1)));
    EXPECT_EQ(u16At(numbers, 0), 40001);
    EXPECT_EQ(u16At(numbers, 2), 0);
}

TEST_F(TargetOnLoopback, RegisteredPortsJoinTheTablesAndExpireAfterTenSeconds) {
    start(hostSetting(40001));
    freezeClock();
    UdpPeer sink(19644);
    ASSERT_TRUE(sink.ok());
    ASSERT_TRUE(sink.sendTo(TargetPort, regist(1, "Recoder", 0x0002)));
    ASSERT_TRUE(eventually([&] { return LogCapture::count("Regist Port : 1 : 19644 Recoder") == 1; }));
    EXPECT_TRUE(eventually([&] { return target->isPlay(); })) << "a playing registration sets the play flag";

    auto one = peer.ask(message(0x0002, 0, 1, 0, 1, 1));
    ASSERT_TRUE(one);
    EXPECT_EQ(header(*one).status, 1);
    EXPECT_EQ(header(*one).o[2], 19644);
    EXPECT_EQ(payloadText(*one), "Recoder");
    auto map = payload(*peer.ask(message(0x0002, 0, 0, 0, 0, 1)));
    EXPECT_EQ(map[0], 0x02) << "sel-1 half of the type-1 tables";
    auto numbers = peer.ask(message(0x0002, 0, 0xFFFF, 0xFFFF, 1, 1));
    EXPECT_EQ(header(*numbers).o[0], 1) << "highest sel-1 id";

    // The same registration again writes no second line; a new name does.
    ASSERT_TRUE(sink.sendTo(TargetPort, regist(1, "Recoder")));
    ASSERT_TRUE(sink.sendTo(TargetPort, regist(1, "Recorder2")));
    ASSERT_TRUE(eventually([&] { return LogCapture::count("Regist Port : 1 : 19644 Recorder2") == 1; }));
    EXPECT_EQ(LogCapture::count("Regist Port : 1 : 19644 Recoder"), 1u);
    EXPECT_TRUE(eventually([&] { return !target->isPlay(); }));

    // Ten seconds are not yet too old; just over ten are.
    advance(ORVEX::Clock::fromSeconds(9));
    EXPECT_EQ(header(*peer.ask(message(0x0002, 0, 1, 0, 1, 1))).status, 1);
    advance(ORVEX::Clock::fromMilliseconds(1500));
    auto gone = peer.ask(message(0x0002, 0, 1, 0, 1, 1));
    ASSERT_TRUE(gone);
    EXPECT_EQ(header(*gone).status, 0);
    EXPECT_EQ(LogCapture::count("Unregist out Port : 1"), 1u);
    // The fixed entry stays.
    advance(ORVEX::Clock::fromSeconds(100));
    EXPECT_EQ(header(*peer.ask(message(0x0002, 0, 1, 0, 4, 1))).o[2], 40001);
}

TEST_F(TargetOnLoopback, LocalRegistrationsOnlyFromLoopback) {
    if (!addLocalAddress("fd00::7")) GTEST_SKIP() << "cannot add an address here";
    start(hostSetting());
    UdpPeer remote(0, "fd00::7");
    ASSERT_TRUE(remote.ok());
    ASSERT_TRUE(remote.sendTo(TargetPort, regist(3, "Far")));
    Bytes status = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0x4c, 0x2a};
    ASSERT_TRUE(remote.sendTo(TargetPort, message(0x8003, 0, 4, 1, 0, 7, status)));
    EXPECT_FALSE(remote.receive(200ms)) << "no answer and no echo";
    EXPECT_EQ(header(*peer.ask(message(0x0002, 0, 3, 0, 1, 1))).status, 0);
    EXPECT_EQ(header(*peer.ask(message(0x0038, 0, 0))).o[0], 0);
    // The same from ::1 is taken.
    ASSERT_TRUE(peer.sendTo(TargetPort, regist(3, "Near")));
    EXPECT_TRUE(eventually([&] { return header(*peer.ask(message(0x0002, 0, 3, 0, 1, 1))).status == 1; }));
}

TEST_F(TargetOnLoopback, StatusEntries) {
    start(hostSetting());
    freezeClock();
    auto empty = peer.ask(message(0x0038, 0, 0));
    ASSERT_TRUE(empty);
    const Header e = header(*empty);
    EXPECT_EQ(e.id, 0x0039);
    EXPECT_EQ((std::vector<int>{e.status, e.o[0], e.o[1], e.o[2], e.o[3]}), (std::vector<int>{1, 0, 0, 0, 1}));

    // Peer fd00::9, port 0x4c2a (network order in bytes 16-17), then the name.
    Bytes address = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0x4c, 0x2a};
    Bytes withName = address;
    for (char c : std::string("Desk")) withName.push_back(static_cast<std::uint8_t>(c));
    UdpPeer local;
    ASSERT_TRUE(local.sendTo(TargetPort, message(0x8003, 0x0002, 4, 1, 0, 0x0102, withName)));
    ASSERT_TRUE(eventually([&] { return LogCapture::count("Regist Status : 4 : " + std::to_string(local.port()) + " Desk 1") == 1; }));
    auto count = peer.ask(message(0x0038, 0, 0));
    EXPECT_EQ(header(*count).o[0], 4);
    auto entry = peer.ask(message(0x0038, 0, 4));
    ASSERT_TRUE(entry);
    const Header h = header(*entry);
    EXPECT_EQ((std::vector<int>{h.status, h.o[0], h.o[1], h.o[2], h.o[3]}),
              (std::vector<int>{1, 4, 1, local.port(), 0x0102}));
    EXPECT_EQ(payload(*entry), withName);
    EXPECT_TRUE(target->isPlay());
    auto missing = peer.ask(message(0x0038, 0, 5));
    EXPECT_EQ(header(*missing).status, 0);
    EXPECT_EQ(header(*missing).o[3], 1);

    // Status id 0 changes nothing.
    ASSERT_TRUE(local.sendTo(TargetPort, message(0x8003, 0, 0, 1, 0, 1, withName)));
    ASSERT_TRUE(local.sendTo(TargetPort, message(0x8003, 0, 4, 1, 0, 0x0102, withName)));  // a barrier
    EXPECT_TRUE(eventually([&] { return LogCapture::count("Receive Status Regist") == 3; }));
    EXPECT_EQ(header(*peer.ask(message(0x0038, 0, 0))).o[0], 4);

    // A payload too short for an address registers the zero address and an
    // empty name; the bytes it has are never taken for more.
    const Bytes shortPayloads[] = {Bytes{}, text("short"), Bytes(address.begin(), address.end() - 1)};
    std::uint16_t id = 6;
    for (const Bytes& p : shortPayloads) {
        SCOPED_TRACE(p.size());
        ASSERT_TRUE(local.sendTo(TargetPort, message(0x8003, 0, id, 2, 0, 0x0003, p)));
        auto listed = [&] {
            auto a = peer.ask(message(0x0038, 0, id));
            return a && header(*a).status == 1 ? a : std::nullopt;
        };
        ASSERT_TRUE(eventually([&] { return listed().has_value(); }));
        const auto a = *listed();
        const Header sh = header(a);
        EXPECT_EQ((std::vector<int>{sh.status, sh.o[0], sh.o[1], sh.o[2], sh.o[3]}),
                  (std::vector<int>{1, id, 2, local.port(), 3}));
        EXPECT_EQ(payload(a), Bytes(18, 0)) << "zero address and port, no name";
        EXPECT_EQ(header(*peer.ask(message(0x0038, 0, 0))).o[0], id) << "the highest id";
        ++id;
    }
    EXPECT_EQ(LogCapture::count("Regist Status : 6 : " + std::to_string(local.port()) + "  2"), 1u);

    advance(ORVEX::Clock::fromSeconds(11));
    EXPECT_EQ(header(*peer.ask(message(0x0038, 0, 4))).status, 0);
    EXPECT_EQ(LogCapture::count("Unregist status Port : 4"), 1u);
    EXPECT_FALSE(target->isPlay());
}

TEST_F(TargetOnLoopback, StopWindowHidesThePortFromOneHostUntilItBreaksIt) {
    if (!addLocalAddress("fd00::8")) GTEST_SKIP() << "cannot add an address here";
    start(hostSetting());
    freezeClock();
    UdpPeer sink(19644);
    ASSERT_TRUE(sink.sendTo(TargetPort, regist(1, "Recoder")));
    ORVEX::IPAddress h;
    ASSERT_TRUE(h.set_V6_str("fd00::8"));
    h.set_port(5555);
    Bytes record(24);
    h.get_record(record.data());
    ASSERT_TRUE(sink.sendTo(TargetPort, message(0x8006, 0, 1, 0, 30, 1, record)));
    ASSERT_TRUE(eventually([&] { return LogCapture::count("Nop TA add:19644") == 1; }));

    UdpPeer hidden(0, "fd00::8");
    auto refused = hidden.ask(message(0x0002, 0, 1, 0, 1, 1));
    ASSERT_TRUE(refused);
    EXPECT_EQ(header(*refused).status, 0);
    EXPECT_EQ(header(*peer.ask(message(0x0002, 0, 1, 0, 1, 1))).status, 1) << "other hosts still get it";
    EXPECT_EQ(payload(*hidden.ask(message(0x0002, 0, 0, 0, 1, 1)))[0], 0x02) << "tables ignore stop windows";

    auto broken = hidden.ask(message(0x002a, 0));
    ASSERT_TRUE(broken);
    EXPECT_EQ(header(*broken).id, 0x002b);
    EXPECT_EQ(header(*broken).status, 1);
    EXPECT_EQ(LogCapture::count("Nop BREAK Target Out"), 1u);
    EXPECT_EQ(header(*hidden.ask(message(0x0002, 0, 1, 0, 1, 1))).status, 1);

    // A window ends by time too; an empty payload clears the list.
    ASSERT_TRUE(sink.sendTo(TargetPort, message(0x8006, 0, 1, 0, 2, 1, record)));
    ASSERT_TRUE(eventually([&] { return LogCapture::count("Nop TA add:19644") == 2; }));
    EXPECT_EQ(header(*hidden.ask(message(0x0002, 0, 1, 0, 1, 1))).status, 0);
    advance(ORVEX::Clock::fromSeconds(3));
    ASSERT_TRUE(sink.sendTo(TargetPort, regist(1, "Recoder")));  // keeps the entry alive
    EXPECT_EQ(header(*hidden.ask(message(0x0002, 0, 1, 0, 1, 1))).status, 1);
    EXPECT_EQ(LogCapture::count("Nop remove to fd00::8"), 1u);
    ASSERT_TRUE(sink.sendTo(TargetPort, message(0x8006, 0, 1, 0, 30, 1, record)));
    ASSERT_TRUE(sink.sendTo(TargetPort, message(0x8006, 0, 1, 0, 30, 1)));
    ASSERT_TRUE(eventually([&] { return LogCapture::count("Nop TA clear:19644") == 1; }));
    EXPECT_EQ(header(*hidden.ask(message(0x0002, 0, 1, 0, 1, 1))).status, 1);
}

// A host with two addresses on one interface answers each request from the
// address it was sent to (peers take answers only from the address they
// asked), whatever the kernel would pick as the source towards the peer.
TEST_F(TargetOnLoopback, AnswersLeaveFromTheAddressThatWasAsked) {
    if (!addLocalAddress("fd00:5::7") || !addLocalAddress("fd00:5::8")) GTEST_SKIP() << "cannot add addresses here";
    auto s = hostSetting();
    s.outputText = "out";
    start(s, true);
    struct Case {
        const char* name;
        Bytes request;
        std::uint16_t answer;
    };
    const Case cases[] = {
        {"discover", message(0x0000, 0), 0x0001},
        {"port", message(0x0002, 0, 1, 0, 4, 1), 0x0003},
        {"port bitmap", message(0x0002, 0, 0, 0, 4, 1), 0x0003},
        {"output name", message(0x0010, 0), 0x0011},
        {"information", message(0x002c, 0, 3), 0x002d},
        {"status", message(0x0038, 0, 0), 0x0039},
        {"unit", message(0x0030, 0, 0), 0x0031},
        {"icon", message(0x0040, 0, 1), 0x0041},
        {"reboot refused", message(0x0024, 0, 7), 0x0025},
        {"echo", message(0x0004, 0), 0x0004},
    };
    for (const char* asked : {"fd00:5::7", "fd00:5::8", "::1"}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << asked << " " << c.name);
            ASSERT_TRUE(peer.sendTo(TargetPort, c.request, asked));
            sockaddr_in6 from{};
            auto a = peer.receive(Patience, &from);
            ASSERT_TRUE(a);
            EXPECT_EQ(header(*a).id, c.answer);
            char source[64] = {};
            ::inet_ntop(AF_INET6, &from.sin6_addr, source, sizeof source);
            EXPECT_STREQ(source, asked);
            EXPECT_EQ(ntohs(from.sin6_port), TargetPort);
        }
    }

    // Forwarded log lines leave from the address the debug request went to.
    UdpPeer localLogger;
    ASSERT_TRUE(peer.ask(message(0x0028, 0, 1), Patience, "fd00:5::8"));
    ASSERT_TRUE(localLogger.sendTo(19641, text("<134>Dec 10 10:42:49 localhost a line")));
    sockaddr_in6 from{};
    auto line = peer.receive(Patience, &from);
    ASSERT_TRUE(line);
    EXPECT_EQ(header(*line).id, 0x0029);
    EXPECT_EQ(payloadText(*line), "a line");
    char source[64] = {};
    ::inet_ntop(AF_INET6, &from.sin6_addr, source, sizeof source);
    EXPECT_STREQ(source, "fd00:5::8");
}

// Even codes without a handler are echoed with status 0; odd ones are dropped,
// except the status registration 0x8003.
TEST_F(TargetOnLoopback, EchoAndDropRules) {
    start(hostSetting());
    for (std::uint16_t id : {0x0004, 0x0026, 0x0044, 0x8000, 0x8008, 0x800a, 0x800c}) {
        auto a = peer.ask(message(id, 0x0001, 1, 2, 3, 4, text("x")));
        ASSERT_TRUE(a) << id;
        EXPECT_EQ(a->size(), 16u) << id;
        EXPECT_EQ(header(*a).id, id);
        EXPECT_EQ(header(*a).status, 0);
        EXPECT_EQ(header(*a).option(), 0u);
    }
    for (std::uint16_t id : {0x0001, 0x0003, 0x0005, 0x0029, 0x8001, 0xffff}) {
        EXPECT_FALSE(peer.ask(message(id, 0), 100ms)) << id;
        EXPECT_TRUE(eventually([&] { return LogCapture::count("drop message :" + std::to_string(id)) == 1; })) << id;
    }
    EXPECT_EQ(LogCapture::count("Receive Status Regist"), 0u);
    ASSERT_TRUE(peer.sendTo(TargetPort, message(0x8003, 0, 0)));
    EXPECT_TRUE(eventually([&] { return LogCapture::count("Receive Status Regist") == 1; }));
    EXPECT_FALSE(peer.receive(100ms)) << "a registration is not answered";
}

// Echoes per source are bounded, so that two endpoints cannot bounce one
// forever (the rules in detail: EchoLimiter's tests). The clock stands still,
// so all 30 requests fall into one window however long they take.
TEST_F(TargetOnLoopback, EchoesAreBounded) {
    start(hostSetting());
    freezeClock();
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(peer.sendTo(TargetPort, message(0x0004, 0)));
    ASSERT_TRUE(eventually([] { return LogCapture::count("echo suppressed :4") == 20; }));
    int answered = 0;
    while (peer.receive(100ms)) ++answered;
    EXPECT_EQ(answered, static_cast<int>(ZARNITH::EchoLimiter::Burst));
}

TEST_F(TargetOnLoopback, MalformedDatagramsAreRefused) {
    start(hostSetting());
    Bytes bad_magic = message(0x0000, 0);
    bad_magic[0] = 0x65;
    Bytes long_code = message(0x0000, 0);
    long_code[2] = 0x30;  // claims a 32-byte datagram
    Bytes short_code = message(0x0004, 0);
    short_code[2] = 0x08;  // a code below 16 decodes to about 64 KiB
    const Bytes cases[] = {Bytes{}, Bytes{0x64}, Bytes(15, 0), bad_magic, long_code, short_code};
    for (const Bytes& b : cases) {
        ASSERT_TRUE(peer.sendTo(TargetPort, b));
        EXPECT_FALSE(peer.receive(100ms)) << b.size();
    }
    EXPECT_TRUE(eventually([] { return LogCapture::count("Receive Data Err:") >= 5; }));
    // Still answering.
    auto a = peer.ask(message(0x0000, 0));
    ASSERT_TRUE(a);
    EXPECT_EQ(header(*a).id, 0x0001);
    EXPECT_EQ(target->getState(), 0u);
}

TEST_F(TargetOnLoopback, TextsAndInformation) {
    auto s = hostSetting();
    s.outputText = "out [myaddress]";
    s.fwVersion = "1.4";
    s.info0 = "zero";
    s.info4 = "four";
    s.infoList1 = {"p0", "p1"};
    start(s);
    struct Case {
        std::uint16_t id, o0, o1;
        std::uint16_t answer, status, a0, a1, a2;
        const char* text;
    };
    const Case cases[] = {
        {0x0010, 0, 0, 0x0011, 1, 0, 0, 0, "out [myaddress]"},
        {0x0020, 0, 0, 0x0021, 1, 0, 0, 0, "1.4"},
        {0x0022, 0, 0, 0x0023, 0, 0, 0, 0, ""},  // empty URL
        {0x002c, 0, 0, 0x002d, 1, 0, 1, 0, "zero"},
        {0x002c, 1, 1, 0x002d, 1, 1, 0, 2, "p1"},
        {0x002c, 1, 3, 0x002d, 0, 1, 0, 2, ""},
        {0x002c, 4, 0, 0x002d, 1, 4, 1, 0, "four"},
        {0x002c, 5, 0, 0x002d, 0, 5, 0, 0, ""},
        {0x002c, 9, 0, 0x002d, 0, 9, 0, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.id << " " << c.o0 << " " << c.o1);
        auto a = peer.ask(message(c.id, 0, c.o0, c.o1));
        ASSERT_TRUE(a);
        const Header h = header(*a);
        EXPECT_EQ(h.id, c.answer);
        EXPECT_EQ(h.status, c.status);
        EXPECT_EQ(h.o[0], c.a0);
        EXPECT_EQ(h.o[1], c.a1);
        EXPECT_EQ(h.o[2], c.a2);
        EXPECT_EQ(payloadText(*a), c.text);
    }
    auto offset = peer.ask(message(0x002c, 0, 2));
    EXPECT_EQ(payload(*offset), Bytes(8, 0)) << "no clock offset known";
    auto addresses = peer.ask(message(0x002c, 0, 3));
    EXPECT_EQ(header(*addresses).status, 1);
    EXPECT_EQ(payload(*addresses).size() % 16, 0u);

    auto named = peer.ask(message64(0x0016, 1, 0xABCDEF, text("syncTest")));
    ASSERT_TRUE(named);
    EXPECT_EQ(header(*named).id, 0x0017);
    EXPECT_EQ(header(*named).status, 1);
    EXPECT_EQ(LogCapture::count("SYNCNAME_SET : syncTest 11259375"), 1u);
}

TEST_F(TargetOnLoopback, LifecycleOpenCloseAndPortReuse) {
    auto s = hostSetting();
    s.loopbackAllowed = 0;
    {
        ZARNITH::Target t(s);
        EXPECT_EQ(t.getState(), 1u);
        EXPECT_FALSE(t.open(-1, false)) << "loopback only, but not allowed";
        EXPECT_EQ(t.getState(), 1u);
    }
    s.loopbackAllowed = 1;
    ZARNITH::Target t(s);
    ASSERT_TRUE(t.open(-1, false)) << "listens on 19642 without a group";
    EXPECT_EQ(t.getState(), 0u);
    EXPECT_FALSE(t.open(-1, false)) << "one worker only";
    EXPECT_TRUE(peer.ask(message(0x0000, 0)));
    LogCapture::clear();
    t.close();
    EXPECT_EQ(t.getState(), 2u);
    EXPECT_EQ(LogCapture::count("Target close"), 1u);
    UdpPeer again(TargetPort);
    EXPECT_TRUE(again.ok()) << "the port is free after close";
}

// close wakes the worker out of its wait and joins it before the sockets go.
TEST_F(TargetOnLoopback, CloseEndsTheWorker) {
    TestTarget t(hostSetting());
    const std::uint64_t before = passes.load();
    ASSERT_TRUE(t.open(true));
    EXPECT_EQ(LogCapture::count("Multi Address Auto Find"), 1u);
    ASSERT_TRUE(eventually([&] { return passes.load() > before; })) << "the worker runs";
    t.close();
    EXPECT_EQ(t.getState(), 2u);
    UdpPeer logPort(19641);
    EXPECT_TRUE(logPort.ok()) << "the log input is closed too";
}

}  // namespace
