// The finder against the real target endpoint: the device list over a veth
// pair (discovery on ff02::1, port table, port endpoints with their synchro
// information) and the management queries on the loopback interface.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "finder/Find.h"
#include "finder/FindTestKit.h"
#include "foundation/CRC16.h"
#include "protocol/StatusID.h"
#include "target/Target.h"
#include "tests/support/TestSupport.h"

using namespace ZARNITH;
using findtest::address;
using findtest::Peer;
using findtest::reply;
using findtest::Request;

namespace {

constexpr Find::MODE Mode9 = Find::PORT_TYPE1 | Find::PORT_SEL1;

Target::Setting deviceSetting() {
    Target::Setting s;
    s.name = "Amp";
    s.productId = 42;
    s.outputText = "dev [myaddress]";
    s.typeMask = 5;  // types 1 and 4, as the host offers
    Target::Setting::RegistSt controller;
    controller.port = 4000;
    controller.id = 1;
    controller.name = "KX1";
    controller.sel = 1;
    controller.type = 4;
    s.ports.push_back(controller);
    return s;
}

Find::Setting hostFinder() {
    Find::Setting s;
    s.productId = 0;
    s.name = "syncTest";
    return s;
}

}  // namespace

// A target in namespace b on its veth end, with a local port endpoint that
// registers over ::1 as sink endpoints do; the finder in namespace a.
class FinderAndTarget : public ::testing::Test {
protected:
    void SetUp() override {
        if (!net.ok()) GTEST_SKIP() << net.reason();
        findtest::LogCapture::start(7);
        {
            tmtest::ScopedNetns inB(net.nsB());
            ASSERT_TRUE(inB.ok());
            target = std::make_unique<Target>(deviceSetting());
            ASSERT_TRUE(target->open(static_cast<int>(net.ifIndexB()), false));
            sink = std::make_unique<Peer>(address("::"));
        }
        ASSERT_TRUE(sink->ok);
        sink->run([this](Peer& p, const Request& r) {
            if (r.id == SYNCHROINFO_REQ && answering) {
                (void)p.answer(r, reply(SYNCHROINFO_ANS, STATUS_ACCEPT, 0xABCD, 2, 0, 1, "grp"));
            }
        });
        // Registration of port id 1 (option0: the sel-1 table of type 1).
        ASSERT_TRUE(sink->send(address("::1", ZARNITH::TargetPort), reply(PORTREGIST_SET, STATUS_NONE, 1, 0, 0, 0, "Recoder")));
        inA = std::make_unique<tmtest::ScopedNetns>(net.nsA());
        ASSERT_TRUE(inA->ok());
    }
    void TearDown() override {
        if (sink) sink->stop();
        if (target) target->close();
    }
    // Discovery and port scan as the host runs them; retried a few times
    // while the target takes the registration in.
    bool deviceList(std::map<ORVEX::IPAddress, Find::FindTargetSt>& found,
                    std::map<ORVEX::IPAddress, Find::TargetConnectInfo>& ports, Find::MODE mode) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            Find finder(hostFinder());
            (void)finder.open(static_cast<std::uint16_t>(net.ifIndexA()));
            if (!finder.findTarget(found)) return false;
            if (!finder.findTarget(found, ports, mode)) return false;
            if (!ports.empty()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    tmtest::NetnsPair net;
    std::unique_ptr<Target> target;
    std::unique_ptr<Peer> sink;
    std::unique_ptr<tmtest::ScopedNetns> inA;
    std::atomic<bool> answering{true};
};

TEST_F(FinderAndTarget, DeviceListNamesTheRegisteredPort) {
    std::map<ORVEX::IPAddress, Find::FindTargetSt> found;
    std::map<ORVEX::IPAddress, Find::TargetConnectInfo> ports;
    ASSERT_TRUE(deviceList(found, ports, Mode9));
    const ORVEX::IPAddress targetKey = address("fe80::2", ZARNITH::TargetPort, net.ifIndexA());
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found.begin()->first, targetKey);
    EXPECT_EQ(found.begin()->second.id, 42u);
    EXPECT_EQ(found.begin()->second.name, "Amp");

    ASSERT_EQ(ports.size(), 1u);
    const auto& [key, info] = *ports.begin();
    EXPECT_EQ(key, address("fe80::2", sink->port(), net.ifIndexA()));
    EXPECT_EQ(info.portId, 1);
    EXPECT_EQ(info.portName, "Recoder");
    EXPECT_EQ(info.name, "Amp");
    EXPECT_EQ(info.target, targetKey);
    EXPECT_EQ(info.outputText, "dev [fe80::2]");
    EXPECT_EQ(info.synchroInfo.option0, 0xABCD);
    EXPECT_EQ(info.synchroInfo.option1, 2);
    EXPECT_FALSE(info.multiport);
    EXPECT_EQ(sink->requests(SYNCHROINFO_REQ).size(), 1u);
}

TEST_F(FinderAndTarget, ControllerPortOfTypeFourAsksNoSynchro) {
    std::map<ORVEX::IPAddress, Find::FindTargetSt> found;
    std::map<ORVEX::IPAddress, Find::TargetConnectInfo> ports;
    ASSERT_TRUE(deviceList(found, ports, Find::PORT_TYPE4 | Find::PORT_SEL1));
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports.begin()->first, address("fe80::2", 4000, net.ifIndexA()));
    EXPECT_EQ(ports.begin()->second.portName, "KX1");
    EXPECT_TRUE(sink->requests(SYNCHROINFO_REQ).empty());
}

TEST_F(FinderAndTarget, SilentPortEndpointFailsTheList) {
    std::map<ORVEX::IPAddress, Find::FindTargetSt> found;
    std::map<ORVEX::IPAddress, Find::TargetConnectInfo> ports;
    ASSERT_TRUE(deviceList(found, ports, Mode9));
    ASSERT_EQ(ports.size(), 1u);
    answering = false;
    Find finder(hostFinder());
    ASSERT_TRUE(finder.open(static_cast<std::uint16_t>(net.ifIndexA())));
    EXPECT_FALSE(finder.findTarget(found, ports, Mode9));
    EXPECT_TRUE(ports.empty());
}

// Management queries against a target on the loopback interface.
class FinderManagesTarget : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own for port 19642";
        findtest::LogCapture::start(7);
        Target::Setting s = deviceSetting();
        s.loopbackAllowed = 1;
        s.fwVersion = "2.0";
        s.info0 = "about";
        s.infoList1 = {"p0", "p1", "p2"};
        using Unit = Target::Setting::_Config::_Unit;
        Unit level;
        level.kind = 1;
        level.name = "Level";
        level.min = 0;
        level.max = 10;
        level.defaultValue = 4;
        Unit mode;
        mode.kind = 5;
        mode.name = "Mode";
        mode.choices = {"a", "b"};
        mode.defaultValue = 1;
        s.units = {level, mode};
        Icon icon;
        icon.width = 32;
        for (int i = 0; i < 32 * 32; ++i) {
            Icon::Pixel p;
            for (int b = 0; b < 4; ++b) p.byte[b] = static_cast<std::uint8_t>(i + b);
            icon.pixels.push_back(p);
        }
        s.icons[0] = icon;
        s.transferSlots = 1;
        s.transferWindow = 2500;
        s.transferSlotInfo = {Target::Setting::SlotInfo{999, 3, 2}};
        target = std::make_unique<Target>(s);
        ASSERT_TRUE(target->open(-1, false));
        Find::Setting fs;
        fs.loopbackAllowed = true;
        finder = std::make_unique<Find>(fs);
        ASSERT_TRUE(finder->open());
        icon0 = s.icons[0];
    }
    void TearDown() override {
        if (target) target->close();
    }
    std::unique_ptr<Target> target;
    std::unique_ptr<Find> finder;
    Icon icon0;
    const ORVEX::IPAddress to = address("::1", ZARNITH::TargetPort);
};

TEST_F(FinderManagesTarget, TextsUnitsIconsAndReboot) {
    std::string text;
    EXPECT_TRUE(finder->FwVersion(to, text));
    EXPECT_EQ(text, "2.0");
    EXPECT_FALSE(finder->FwURL(to, text));  // empty URL: refused
    EXPECT_TRUE(finder->Infomation(to, 0, text));
    EXPECT_EQ(text, "about");
    std::vector<std::string> pages;
    EXPECT_TRUE(finder->Infomation(to, 1, pages));
    EXPECT_EQ(pages, (std::vector<std::string>{"p0", "p1", "p2"}));

    std::list<Find::TargetSettingInfo> units;
    ASSERT_TRUE(finder->TargetSetting(to, units, false));
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units.front().name, "Level");
    EXPECT_EQ(units.front().type, Find::SETTING_NUMBER);
    EXPECT_EQ(units.front().max, 10);
    EXPECT_EQ(units.front().current, 4);
    EXPECT_EQ(units.back().type, Find::SETTING_CHOICE);
    EXPECT_EQ(units.back().items, (std::vector<std::string>{"a", "b"}));
    // The class's own hooks refuse every change.
    EXPECT_FALSE(finder->setTargetSetting(to, 1, std::uint16_t{5}));
    EXPECT_FALSE(finder->TargetSettingFinale(to, true));

    Icon icon;
    ASSERT_TRUE(finder->downloadIcon(to, 1, icon));
    EXPECT_EQ(icon.width, 32u);
    ASSERT_EQ(icon.pixels.size(), icon0.pixels.size());
    for (std::size_t i = 0; i < icon.pixels.size(); ++i)
        ASSERT_EQ(std::memcmp(icon.pixels[i].byte, icon0.pixels[i].byte, 4), 0) << i;
    EXPECT_TRUE(finder->downloadIcon(to, 0x20001, icon));  // aux icons are echoed
    EXPECT_FALSE(icon.isValid());

    EXPECT_FALSE(finder->Reboot(to, true, 7));  // not allowed by the setting
    EXPECT_NE(target->getState(), 3u);  // the worker goes on
}

TEST_F(FinderManagesTarget, TransferIntoTheSlot) {
    std::vector<std::uint8_t> data(7000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13);
    EXPECT_TRUE(finder->Transfer(to, 0, ORVEX::BufferCS_const(data.data(), data.size()), 0));
    EXPECT_TRUE(findtest::LogCapture::instance().has("compleat Transfer "));
    // 1000 bytes per packet, 4 per block, 3 blocks: one more byte is refused.
    std::vector<std::uint8_t> tooLarge(12001);
    EXPECT_FALSE(finder->Transfer(to, 0, ORVEX::BufferCS_const(tooLarge.data(), tooLarge.size()), 0));
    EXPECT_FALSE(finder->Transfer(to, 1, ORVEX::BufferCS_const(data.data(), data.size()), 0));
}
