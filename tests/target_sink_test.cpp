// The target endpoint and the sink endpoint of one host together: the sink's
// registration reaches the target's port table, its stop windows hide the
// port from one host, and the target's clock records reach the sink.
#include <gtest/gtest.h>

#include "protocol/LittleEndian.h"
#include "sink/SinkTestKit.h"
#include "target/TargetTestKit.h"

namespace {

using namespace std::chrono_literals;
namespace tt = targettest;

class TargetWithSink : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (fixed ports 19642-19645)";
        tt::LogCapture::start();
        auto setting = tt::hostSetting(40001);
        setting.synchro = 1;
        target = std::make_unique<tt::TestTarget>(setting);
        ASSERT_TRUE(target->open(true));
        sink = std::make_unique<ZARNITH::ClosingSink<sinktest::RecordingSink>>(sinktest::recorderSetting(), waiter);
        std::uint16_t ctrl = 0, stream = 0;
        ASSERT_TRUE(sink->open(ctrl, stream));
        ASSERT_EQ(ctrl, 19644);
        driver = std::make_unique<sinktest::SinkDriver>(*sink, waiter);
    }
    void TearDown() override {
        driver.reset();
        sink.reset();
        target.reset();
    }
    ORVEX::Socket::Waiter waiter;
    std::unique_ptr<tt::TestTarget> target;
    std::unique_ptr<ZARNITH::ClosingSink<sinktest::RecordingSink>> sink;
    std::unique_ptr<sinktest::SinkDriver> driver;
};

TEST_F(TargetWithSink, TheSinksRegistrationIsInThePortTables) {
    tt::UdpPeer finder;
    ASSERT_TRUE(tt::eventually([&] {
        auto a = finder.ask(tt::message(0x0002, 0, 1, 0, 1, 1));
        return a && tt::header(*a).status == 1;
    }));
    auto a = finder.ask(tt::message(0x0002, 0, 1, 0, 1, 1));
    EXPECT_EQ(tt::header(*a).o[2], 19644);
    EXPECT_EQ(tt::payloadText(*a), "Recoder");
    auto map = tt::payload(*finder.ask(tt::message(0x0002, 0, 0, 0, 0, 1)));
    ASSERT_EQ(map.size(), 1024u);
    EXPECT_EQ(map[0], 0x02) << "the recorder, id 1 of the type-1 sel-1 table";
    auto controller = finder.ask(tt::message(0x0002, 0, 1, 0, 4, 1));
    EXPECT_EQ(tt::header(*controller).o[2], 40001) << "and the controller port next to it";
    // The sink re-registers every 3 s, so it outlives the 10 s expiry.
    EXPECT_EQ(tt::LogCapture::count("Regist Port : 1 : 19644 Recoder"), 1u);
}

TEST_F(TargetWithSink, TheSinksStopWindowHidesItsPortFromThatHost) {
    if (!tt::addLocalAddress("fd00::31")) GTEST_SKIP() << "cannot add an address here";
    ASSERT_TRUE(tt::eventually([] { return tt::LogCapture::count("Regist Port : 1 : 19644") == 1; }));
    ORVEX::IPAddress host;
    ASSERT_TRUE(host.set_V6_str("fd00::31"));
    host.set_port(4000);
    driver->run([&] { sink->nop(host, 30, true); });
    ASSERT_TRUE(tt::eventually([] { return tt::LogCapture::count("Nop TA add:19644 fd00::31") == 1; }));
    tt::UdpPeer hidden(0, "fd00::31");
    tt::UdpPeer other;
    EXPECT_EQ(tt::header(*hidden.ask(tt::message(0x0002, 0, 1, 0, 1, 1))).status, 0);
    EXPECT_EQ(tt::header(*other.ask(tt::message(0x0002, 0, 1, 0, 1, 1))).status, 1);
}

TEST_F(TargetWithSink, ClockRecordsReachTheSink) {
    if (!tt::addLocalAddress("fd00::32")) GTEST_SKIP() << "cannot add an address here";
    ASSERT_TRUE(tt::eventually([] { return tt::LogCapture::count("Regist Port : 1 : 19644") == 1; }));
    tt::UdpPeer clockSource(0, "fd00::32");
    tt::Bytes sample(8);
    const std::uint64_t sent = ORVEX::Clock::now().picoseconds();
    const std::uint64_t remote = sent + 7000000000000ULL;
    ZARNITH::writeU64LE(sample.data(), remote);
    ASSERT_TRUE(clockSource.sendTo(19642, tt::message(0x0046, 0, 1, 0, 0, 0, sample)));
    ORVEX::IPAddress key;
    ASSERT_TRUE(key.set_V6_str("fd00::32"));
    ASSERT_TRUE(tt::eventually([&] { return sink->YouToMy(key, ORVEX::Clock(remote)).isSet(); }));
    // The target took the sample after it was sent and before now: the remote
    // time converts into the local time of that moment.
    const ORVEX::Clock local = sink->YouToMy(key, ORVEX::Clock(remote));
    EXPECT_GE(local.picoseconds(), sent);
    EXPECT_LE(local.picoseconds(), ORVEX::Clock::now().picoseconds());
}

}  // namespace
