// The finder against the real sink endpoint, registered with the real target
// endpoint of its host: the device list on the loopback interface, and the
// sink's own units, icons and synchro information.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "finder/Find.h"
#include "finder/FindTestKit.h"
#include "sink/SinkTestKit.h"
#include "target/Target.h"
#include "tests/support/TestSupport.h"

using namespace ZARNITH;
using findtest::address;

class FinderAndSink : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (ports 19642-19645)";
        findtest::LogCapture::start(7);
        Target::Setting ts;
        ts.name = "Host";
        ts.productId = 3;
        ts.typeMask = 5;
        ts.loopbackAllowed = 1;
        target = std::make_unique<Target>(ts);
        ASSERT_TRUE(target->open(-1, false));

        Sink::Setting ss = sinktest::recorderSetting();
        ss.synchro = 1;
        ss.synchroName = "grp";
        ss.synchroCrc = 0x1234;
        ss.synchroAll = 1;
        ss.synchroSelf = 2;
        ss.synchroTotal = 5;
        ss.icons[0].width = 16;
        ss.icons[0].pixels.resize(16 * 16);
        for (std::size_t i = 0; i < ss.icons[0].pixels.size(); ++i) ss.icons[0].pixels[i].byte[0] = static_cast<std::uint8_t>(i);
        sink = std::make_unique<ClosingSink<sinktest::RecordingSink>>(ss, waiter);
        std::uint16_t ctrl = 0, stream = 0;
        ASSERT_TRUE(sink->open(ctrl, stream));
        control = address("::1", ctrl);
        driver = std::make_unique<sinktest::SinkDriver>(*sink, waiter);

        Find::Setting fs;
        fs.productId = 0;
        fs.name = "syncTest";
        fs.loopbackAllowed = true;
        finder = std::make_unique<Find>(fs);
        ASSERT_TRUE(finder->open());
    }
    // Whether the sink answers this management request (an echo: not yet).
    bool sinkAnswers(MessageID request) {
        Receive answer;
        return finder->sendAck(control, Send(request, STATUS_NONE, 0, 0, 0, 0), static_cast<MessageID>(request + 1),
                               answer, true) != Find::ACK_ECHO;
    }
    void TearDown() override {
        driver.reset();
        sink.reset();
        if (target) target->close();
    }

    std::unique_ptr<Target> target;
    ORVEX::Socket::Waiter waiter;
    std::unique_ptr<ClosingSink<sinktest::RecordingSink>> sink;
    std::unique_ptr<sinktest::SinkDriver> driver;
    std::unique_ptr<Find> finder;
    ORVEX::IPAddress control;
};

TEST_F(FinderAndSink, DeviceListOnTheLoopbackInterface) {
    std::map<ORVEX::IPAddress, Find::FindTargetSt> found;
    std::map<ORVEX::IPAddress, Find::TargetConnectInfo> ports;
    // The sink registers with its target on its own schedule.
    for (int attempt = 0; attempt < 100 && ports.empty(); ++attempt) {
        ASSERT_TRUE(finder->findTarget(found));
        ASSERT_TRUE(finder->findTarget(found, ports, Find::PORT_TYPE1 | Find::PORT_SEL1));
        if (ports.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found.begin()->first, address("::1", ZARNITH::TargetPort));
    EXPECT_EQ(found.begin()->second.name, "Host");
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports.begin()->first, control);
    const Find::TargetConnectInfo& info = ports.begin()->second;
    EXPECT_EQ(info.portId, 1);
    EXPECT_EQ(info.portName, "Recoder");

    // The same port through the single-target query.
    ORVEX::IPAddress endpoint;
    Find::TargetConnectInfo one;
    ASSERT_TRUE(finder->getOutput(address("::1"), 1, endpoint, one));
    EXPECT_EQ(endpoint, control);
    EXPECT_EQ(one.name, "Host");
}

TEST_F(FinderAndSink, SynchroInformationOfThePort) {
    if (!sinkAnswers(SYNCHROINFO_REQ)) GTEST_SKIP() << "the sink echoes SYNCHROINFO_REQ: synchro information not served yet";
    ORVEX::IPAddress endpoint;
    std::uint16_t version = 0;
    std::string name;
    Find::SynchroNodeInfo synchro;
    for (int attempt = 0; attempt < 100 && endpoint.port == 0; ++attempt) {
        ASSERT_TRUE(finder->getPort(address("::1", ZARNITH::TargetPort), Find::PORT_TYPE1 | Find::PORT_SEL1, 1, endpoint,
                                    version, name, synchro));
        if (endpoint.port == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(endpoint, control);
    EXPECT_EQ(synchro.option0, 0x1234);  // the synchro name's checksum
    EXPECT_EQ(synchro.option1, 5);       // Total
    EXPECT_EQ(synchro.option2, 0xFFFF);  // All below 2
    EXPECT_EQ(synchro.option3, 2);       // Self
}

TEST_F(FinderAndSink, SinkUnitsAndIcon) {
    if (!sinkAnswers(SINKUNIT_REQ)) GTEST_SKIP() << "the sink echoes SINKUNIT_REQ: management answers not served yet";
    std::list<Find::TargetSettingInfo> units;
    ASSERT_TRUE(finder->SinkSetting(control, units, false));
    ASSERT_EQ(units.size(), 4u);  // the four synchro units
    for (const auto& u : units) EXPECT_FALSE(u.name.empty());

    Icon icon;
    ASSERT_TRUE(finder->downloadIcon(control, 0x10001, icon));
    ASSERT_EQ(icon.width, 16u);
    ASSERT_EQ(icon.pixels.size(), 256u);
    for (std::size_t i = 0; i < icon.pixels.size(); ++i) ASSERT_EQ(icon.pixels[i].byte[0], static_cast<std::uint8_t>(i));
    EXPECT_TRUE(finder->downloadIcon(control, 0x10005, icon));  // sinks have icons 1 to 4
    EXPECT_FALSE(icon.isValid());
}
