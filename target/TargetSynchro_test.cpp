// Clock synchro samples and clock records, the local log input with its
// relay and forwarding, and the thread notices, over real UDP.
#include <gtest/gtest.h>

#include "protocol/LittleEndian.h"
#include "target/TargetTestKit.h"

using namespace targettest;
using Setting = ZARNITH::Target::Setting;

namespace {

class TargetServices : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (fixed ports)";
        LogCapture::start();
    }
    void start(const Setting& s, bool logInput = false) {
        target = std::make_unique<TestTarget>(s);
        ASSERT_TRUE(target->open(-1, logInput));
    }
    std::unique_ptr<TestTarget> target;
    UdpPeer peer;
};

Bytes clockBytes(std::uint64_t ps) {
    Bytes b(8);
    ZARNITH::writeU64LE(b.data(), ps);
    return b;
}

TEST_F(TargetServices, SynchroSamplesBecomeClockRecordsForLocalPorts) {
    if (!addLocalAddress("fd00::21") || !addLocalAddress("fd00::22")) GTEST_SKIP() << "cannot add addresses here";
    UdpPeer fixedPort;  // a fixed entry of the setting
    Setting s = hostSetting(fixedPort.port());
    s.synchro = 1;
    start(s);
    freezeClock();  // offsets are then exact: the remote clock minus the frozen local one
    UdpPeer sink;
    ASSERT_TRUE(sink.sendTo(TargetPort, message(0x8002, 0, 1, 0, 0, 1, text("Recoder"))));
    ASSERT_TRUE(eventually([] { return LogCapture::count("Regist Port : 1") == 1; }));
    EXPECT_FALSE(sink.receive(100ms)) << "no offsets yet: no records";

    // A sample from a remote host: adopted at once, one record to every port.
    UdpPeer remote(0, "fd00::21");
    const std::uint64_t far = frozenAt.load() + 5000000000000ULL;  // 5 s ahead
    ASSERT_TRUE(remote.sendTo(TargetPort, message(0x0046, 0, 1, 0, 0, 0, clockBytes(far))));
    for (UdpPeer* p : {&fixedPort, &sink}) {
        auto r = p->receiveId(0x800c, Patience);
        ASSERT_TRUE(r);
        const Bytes rec = payload(*r);
        ASSERT_EQ(rec.size(), 26u);
        EXPECT_EQ(static_cast<std::int64_t>(ZARNITH::readU64LE(rec.data())), 5000000000000LL);
        EXPECT_EQ(rec[8], 0xfd);
        EXPECT_EQ(rec[8 + 15], 0x21);
    }
    EXPECT_EQ(LogCapture::count("Receive SYNCHRO:"), 1u);
    // The sampling host reads its offset back.
    auto info = remote.ask(message(0x002c, 0, 2));
    ASSERT_TRUE(info);
    EXPECT_EQ(static_cast<std::int64_t>(ZARNITH::readU64LE(payload(*info).data())), 5000000000000LL);

    // Loopback and short samples are dropped.
    ASSERT_TRUE(peer.sendTo(TargetPort, message(0x0046, 0, 0, 0, 0, 0, clockBytes(far))));
    ASSERT_TRUE(remote.sendTo(TargetPort, message(0x0046, 0, 0, 0, 0, 0, Bytes(7, 1))));
    EXPECT_FALSE(sink.receive(200ms));

    // A second host; a registration then gets the records of both in one message.
    UdpPeer other(0, "fd00::22");
    ASSERT_TRUE(other.sendTo(TargetPort, message(0x0046, 0, 1, 0, 0, 0, clockBytes(far))));
    ASSERT_TRUE(sink.receiveId(0x800c, Patience));
    ASSERT_TRUE(sink.sendTo(TargetPort, message(0x8002, 0, 1, 0, 0, 1, text("Recoder"))));
    auto table = sink.receiveId(0x800c, Patience);
    ASSERT_TRUE(table);
    EXPECT_EQ(payload(*table).size(), 52u);
}

TEST_F(TargetServices, SynchroOffIgnoresSamples) {
    if (!addLocalAddress("fd00::23")) GTEST_SKIP() << "cannot add an address here";
    UdpPeer fixedPort;
    start(hostSetting(fixedPort.port()));
    UdpPeer remote(0, "fd00::23");
    ASSERT_TRUE(remote.sendTo(TargetPort, message(0x0046, 0, 1, 0, 0, 0, clockBytes(12345))));
    EXPECT_FALSE(fixedPort.receive(300ms));
    EXPECT_FALSE(remote.receive(10ms)) << "no answer, no echo";
}

// A local log datagram as the foundation's logger writes it.
Bytes logDatagram(const std::string& body) {
    return text("<134>Dec 10 10:42:49 localhost " + body);
}

TEST_F(TargetServices, LocalLogLinesAreRelayedAndForwarded) {
    UdpPeer syslog(514);
    ASSERT_TRUE(syslog.ok());
    Setting s = hostSetting();
    s.syslogRelay = 1;
    start(s, true);
    UdpPeer localLogger;
    const Bytes line = logDatagram("first line");
    ASSERT_EQ(line.size(), 31u + 10u);
    ASSERT_TRUE(localLogger.sendTo(19641, line));
    auto relayed = syslog.receive(Patience);
    ASSERT_TRUE(relayed);
    EXPECT_EQ(*relayed, line) << "unchanged";

    // A remote host asks for the lines.
    UdpPeer host;
    auto on = host.ask(message(0x0028, 0, 1));
    ASSERT_TRUE(on);
    EXPECT_EQ(header(*on).id, 0x0029);
    EXPECT_EQ(header(*on).o[0], 1);
    ASSERT_TRUE(host.ask(message(0x0028, 0, 1)));  // the same host again: no second line
    EXPECT_EQ(LogCapture::count("Host Debug : ::1," + std::to_string(host.port())), 1u);
    ASSERT_TRUE(localLogger.sendTo(19641, logDatagram("second line")));
    auto forwarded = host.receiveId(0x0029, Patience);
    ASSERT_TRUE(forwarded);
    EXPECT_EQ(header(*forwarded).status, 1);
    EXPECT_EQ(header(*forwarded).o[0], 2);
    EXPECT_EQ(payloadText(*forwarded), "second line");
    // A two-digit priority has a 30-byte header; the text is still whole.
    ASSERT_TRUE(localLogger.sendTo(19641, text("<14>Dec 10 10:42:49 localhost third")));
    forwarded = host.receiveId(0x0029, Patience);
    ASSERT_TRUE(forwarded);
    EXPECT_EQ(payloadText(*forwarded), "third");
    // A datagram without text is relayed but not forwarded.
    ASSERT_TRUE(localLogger.sendTo(19641, text("<134>Dec 10 10:42:49 localhost ")));
    EXPECT_TRUE(syslog.receive(Patience));
    EXPECT_FALSE(host.receive(200ms));

    auto off = host.ask(message(0x0028, 0, 0));
    ASSERT_TRUE(off);
    EXPECT_EQ(header(*off).o[0], 0);
    EXPECT_TRUE(eventually([] { return LogCapture::count("Host Debug : disable") == 1; }));
    ASSERT_TRUE(localLogger.sendTo(19641, logDatagram("fourth")));
    EXPECT_FALSE(host.receive(300ms)) << "forwarding is off";
    EXPECT_EQ(target->getState(), 0u);
}

TEST_F(TargetServices, ThreadNoticesWithoutWaiting) {
    UdpPeer service(19639);
    ASSERT_TRUE(service.ok());
    EXPECT_TRUE(ZARNITH::Target::PlayThreadNotify(0x0102030405060708ULL, 1, 2, 3, 4, false));
    auto id = service.receive(Patience);
    auto notice = service.receive(Patience);
    ASSERT_TRUE(id && notice);
    EXPECT_EQ(header(*id).id, 0x800a);
    EXPECT_EQ(header(*id).status, 2);
    EXPECT_EQ(header(*id).option(), 0x0102030405060708ULL);
    EXPECT_EQ(header(*notice).id, 0x8008);
    EXPECT_EQ(header(*notice).status, 2);
    EXPECT_EQ((std::vector<int>{header(*notice).o[0], header(*notice).o[1], header(*notice).o[2], header(*notice).o[3]}),
              (std::vector<int>{1, 2, 3, 4}));
    EXPECT_TRUE(ZARNITH::Target::StopThreadNotify(9, false));
    id = service.receive(Patience);
    notice = service.receive(Patience);
    ASSERT_TRUE(id && notice);
    EXPECT_EQ(header(*id).status, 0);
    EXPECT_EQ(header(*notice).status, 0);
    EXPECT_EQ(header(*notice).option(), ~std::uint64_t{0});
}

// A service that ignores the first try of each message and then answers.
TEST_F(TargetServices, ThreadNoticesWaitForTheServicesAnswers) {
    UdpPeer service(19639);
    ASSERT_TRUE(service.ok());
    std::vector<std::uint16_t> seen;
    std::thread answering([&] {
        for (int i = 0; i < 4; ++i) {
            sockaddr_in6 from{};
            auto m = service.receive(5000ms, &from);
            if (!m) return;
            seen.push_back(header(*m).id);
            if (i % 2 == 0) continue;  // first try of each: no answer
            const Bytes reply = message(static_cast<std::uint16_t>(header(*m).id + 1), 1);
            (void)::sendto(service.fd(), reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
        }
    });
    EXPECT_TRUE(ZARNITH::Target::PlayThreadNotify(77, 1, 2, 3, 4, true));
    answering.join();
    EXPECT_EQ(seen, (std::vector<std::uint16_t>{0x800a, 0x800a, 0x8008, 0x8008}));
}

}  // namespace

namespace {

// No service at all: the notice gives up after its budget and still reports
// success, since no socket operation failed.
TEST(TargetThreadNotice, NoServiceEndsWithinTheBudget) {
    if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (fixed port 19639)";
    EXPECT_TRUE(ZARNITH::Target::StopThreadNotify(5, true));
}

}  // namespace
