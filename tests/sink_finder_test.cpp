// The real finder manages the real sink endpoint over ::1: it reads every
// unit (with and without the reset), changes units and commits, and downloads
// the sink's icons in both pixel formats, rows split over several answers.
#include <gtest/gtest.h>

#include <list>
#include <memory>

#include "finder/Find.h"
#include "finder/FindTestKit.h"
#include "sink/SinkTestKit.h"
#include "tests/support/TestSupport.h"

using namespace ZARNITH;
using sinktest::ConfigurableSink;
using Config = Sink::Setting::_Config;
using Info = Find::TargetSettingInfo;

namespace {

Config::_Unit unit(std::uint16_t kind, const char* name, std::uint16_t min, std::uint16_t max,
                   std::uint16_t defaultValue, std::vector<std::string> choices = {}, const char* defaultText = "") {
    Config::_Unit u;
    u.kind = kind;
    u.name = name;
    u.defaultText = defaultText;
    u.min = min;
    u.max = max;
    u.defaultValue = defaultValue;
    u.choices = std::move(choices);
    return u;
}

Icon makeIcon(std::uint32_t kind, std::uint32_t width, std::size_t pixels) {
    Icon icon;
    icon.kind = kind;
    icon.width = width;
    icon.pixels.resize(pixels);
    for (std::size_t i = 0; i < pixels; ++i)
        for (int k = 0; k < 4; ++k) icon.pixels[i].byte[k] = static_cast<std::uint8_t>((i * 13 + k * 71) % 253);
    return icon;
}

// The icon as the finder rebuilds it: one-byte pixels keep their fourth byte only.
bool sameAsDownloaded(const Icon& sent, const Icon& got) {
    if (got.width != sent.width || got.pixels.size() != sent.pixels.size()) return false;
    if (got.kind != (sent.kind == 0 ? 0u : 1u)) return false;
    for (std::size_t i = 0; i < sent.pixels.size(); ++i)
        for (int k = 0; k < 4; ++k) {
            const std::uint8_t want = (sent.kind == 0 || k == 3) ? sent.pixels[i].byte[k] : 0;
            if (got.pixels[i].byte[k] != want) return false;
        }
    return true;
}

class SinkAndFinder : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (ports 19642-19645)";
        findtest::LogCapture::start(7);
        registrations = std::make_unique<sinktest::UdpPeer>(ZARNITH::TargetPort);

        Sink::Setting s = sinktest::recorderSetting();
        s.configUnits = {
            unit(Config::UNIT_NUMBER, "Volume", 0, 100, 50),
            unit(Config::UNIT_SIGNED, "Balance", 0xFFF6, 10, 0),
            unit(Config::UNIT_SWITCH, "Loud", 0, 0, 1),
            unit(Config::UNIT_TEXT, "Label", 0, 0, 0, {}, "living room"),
            unit(Config::UNIT_CHOICE, "Filter", 0, 0, 2, {"a", "b", "c", "d", "e", "f"}),
            unit(Config::UNIT_CHOICE_FIXED, "Model", 0, 0, 1, {"x", "y", "z"}),
            unit(Config::UNIT_VALUE, "Gain", 1, 65534, 7),
        };
        s.synchro = 1;
        s.synchroName = "grp";
        s.synchroAll = 1;
        s.synchroSelf = 2;
        s.synchroTotal = 5;
        s.icons[0] = makeIcon(0, 32, 32 * 32);
        s.icons[1] = makeIcon(1, 48, 48 * 48);
        s.icons[2] = makeIcon(0, 500, 500 * 3);
        icons = s.icons;
        sink = std::make_unique<ClosingSink<ConfigurableSink>>(s, waiter);
        std::uint16_t ctrl = 0, stream = 0;
        ASSERT_TRUE(sink->open(ctrl, stream));
        control = findtest::address("::1", ctrl);
        driver = std::make_unique<sinktest::SinkDriver>(*sink, waiter);

        Find::Setting fs;
        fs.productId = 0;
        fs.name = "syncTest";
        fs.loopbackAllowed = true;
        finder = std::make_unique<Find>(fs);
        ASSERT_TRUE(finder->open());
    }
    void TearDown() override {
        finder.reset();
        driver.reset();
        sink.reset();
    }

    std::vector<Info> readAll(bool reset) {
        std::list<Info> units;
        EXPECT_TRUE(finder->SinkSetting(control, units, reset));
        return std::vector<Info>(units.begin(), units.end());
    }

    ORVEX::Socket::Waiter waiter;
    std::unique_ptr<sinktest::UdpPeer> registrations;
    std::unique_ptr<ClosingSink<ConfigurableSink>> sink;
    std::unique_ptr<sinktest::SinkDriver> driver;
    std::unique_ptr<Find> finder;
    ORVEX::IPAddress control;
    std::array<Icon, 4> icons;
};

TEST_F(SinkAndFinder, ReadsEveryUnit) {
    const auto units = readAll(false);
    ASSERT_EQ(units.size(), 11u);
    struct Expected {
        int type;
        const char* name;
        const char* value;
        int current, min, max, aux;
        std::vector<std::string> items;
    };
    const std::vector<std::string> channels{"1ch", "2ch", "4ch", "6ch", "8ch", "16ch"};
    const Expected expected[] = {
        {Find::SETTING_NUMBER, "Volume", "", 50, 0, 100, 50, {}},
        {Find::SETTING_NUMBER, "Balance", "", 0, -10, 10, 0, {}},
        {Find::SETTING_SWITCH, "Loud", "", 1, 0, 1, 1, {"disable", "enable"}},
        {Find::SETTING_TEXT, "Label", "living room", 0, 0, 0, 0, {}},
        {Find::SETTING_CHOICE, "Filter", "", 2, 0, 5, 2, {"a", "b", "c", "d", "e", "f"}},
        {Find::SETTING_CHOICE_FIXED, "Model", "y", 1, 0, 2, 1, {"x", "y", "z"}},
        {Find::SETTING_VALUE, "Gain", "", 7, 1, 65534, 7, {}},
        {Find::SETTING_NUMBER, "SynchroTotal", "", 5, 2, 16, 2, {}},
        {Find::SETTING_CHOICE, "SynchroAll", "", 0, 0, 5, 1, channels},
        {Find::SETTING_VALUE, "SynchroSelf", "", 2, 1, 65534, 1, {}},
        {Find::SETTING_TEXT, "SynchroName", "grp", 0, 0, 0, 0, {}},
    };
    for (std::size_t i = 0; i < units.size(); ++i) {
        const Info& u = units[i];
        const Expected& e = expected[i];
        EXPECT_EQ(u.type, e.type) << e.name;
        EXPECT_EQ(u.name, e.name);
        EXPECT_EQ(u.value, e.value) << e.name;
        EXPECT_EQ(u.current, e.current) << e.name;
        EXPECT_EQ(u.min, e.min) << e.name;
        EXPECT_EQ(u.max, e.max) << e.name;
        EXPECT_EQ(u.aux, e.aux) << e.name;
        EXPECT_EQ(u.items, e.items) << e.name;
    }
    EXPECT_TRUE(sink->sets().empty()) << "reading changes nothing";
}

TEST_F(SinkAndFinder, ReadingWithResetRestoresEveryDefaultButFixedChoices) {
    ASSERT_TRUE(finder->setSinkSetting(control, 8, 9));            // SynchroTotal
    ASSERT_TRUE(finder->setSinkSetting(control, 11, "other"));      // SynchroName
    const auto units = readAll(true);
    ASSERT_EQ(units.size(), 11u);
    const auto sets = sink->sets();
    ASSERT_EQ(sets.size(), 6u) << "the six application units that are not fixed choices";
    for (const auto& call : sets) {
        EXPECT_TRUE(call.toDefault);
        EXPECT_NE(call.index, 5) << "the fixed choice is never written";
    }
    EXPECT_EQ(units[3].value, "living room");
    EXPECT_EQ(units[7].current, 2) << "SynchroTotal back to its default";
    EXPECT_EQ(units[8].current, 1) << "SynchroAll back to 2ch";
    EXPECT_EQ(units[10].value, "") << "SynchroName back to its empty default";
}

TEST_F(SinkAndFinder, ChangesUnitsAndCommits) {
    EXPECT_TRUE(finder->setSinkSetting(control, 1, 77));
    EXPECT_TRUE(finder->setSinkSetting(control, 4, "kitchen"));
    EXPECT_TRUE(finder->setSinkSetting(control, 5, std::string(), 4));
    EXPECT_FALSE(finder->setSinkSetting(control, 6, 2)) << "a fixed choice is read-only";
    EXPECT_FALSE(finder->setSinkSetting(control, 12, 1)) << "no unit 12";
    EXPECT_TRUE(finder->SinkSettingFinale(control, true));
    EXPECT_EQ(sink->finales(), std::vector<bool>{true});

    const auto units = readAll(false);
    ASSERT_EQ(units.size(), 11u);
    EXPECT_EQ(units[0].current, 77);
    EXPECT_EQ(units[3].value, "kitchen");
    EXPECT_EQ(units[4].current, 4);

    sink->finaleResult = false;
    EXPECT_FALSE(finder->SinkSettingFinale(control, false));
    sink->finaleResult = true;
    sink->finaleChanged = true;
    EXPECT_TRUE(finder->SinkSettingFinale(control, true)) << "the answer goes out before the step ends";
    EXPECT_TRUE(sinktest::eventually([&] { return driver->falseSteps() == 1; }));
}

TEST_F(SinkAndFinder, DownloadsIconsInBothPixelFormats) {
    struct Case {
        std::uint16_t number;
        int pixelAnswers;  // "Icon Load" lines of the sink
    };
    // 32 x 32 four-byte pixels: 10, 10, 10 and 2 rows; 48 x 48 one-byte pixels:
    // 25 and 23 rows; 500 four-byte pixels a row: two answers a row.
    const Case cases[] = {{1, 4}, {2, 2}, {3, 6}};
    for (const Case& c : cases) {
        findtest::LogCapture::instance().clear();
        Icon got;
        ASSERT_TRUE(finder->downloadIcon(control, 0x10000u | c.number, got)) << c.number;
        EXPECT_TRUE(sameAsDownloaded(icons[c.number - 1u], got)) << c.number;
        EXPECT_EQ(findtest::LogCapture::instance().count("Icon Load "), c.pixelAnswers) << c.number;
    }
    Icon none;
    EXPECT_TRUE(finder->downloadIcon(control, 0x10004, none)) << "a missing icon is no failure";
    EXPECT_FALSE(none.isValid());
    EXPECT_TRUE(finder->downloadIcon(control, 0x10005, none));
    EXPECT_FALSE(none.isValid());

    // Size preference: icon 2 is 48 wide, below 1.5 x 64, so icon 1 is taken;
    // asked for 48 it is the answer itself.
    Icon preferred;
    ASSERT_TRUE(finder->downloadIcon(control, 0x10002, preferred, 64));
    EXPECT_TRUE(sameAsDownloaded(icons[0], preferred));
    ASSERT_TRUE(finder->downloadIcon(control, 0x10002, preferred, 48));
    EXPECT_TRUE(sameAsDownloaded(icons[1], preferred));
}

TEST_F(SinkAndFinder, SynchroInformationFollowsTheUnits) {
    ASSERT_TRUE(finder->setSinkSetting(control, 9, 2));  // SynchroAll = 4 channels
    ASSERT_TRUE(finder->setSinkSetting(control, 11, "123456789"));
    Receive answer;
    ASSERT_EQ(finder->sendAck(control, Send(SYNCHROINFO_REQ, STATUS_NONE), SYNCHROINFO_ANS, answer, true),
              Find::ACK_ANSWER);
    EXPECT_EQ(answer.getOption0(), 0xB4C8);  // CRC-16/USB of "123456789"
    EXPECT_EQ(answer.getOption1(), 5);
    EXPECT_EQ(answer.getOption2(), 0);
    EXPECT_EQ(answer.getOption3(), 2);
    std::string name;
    answer.get_str(name);
    EXPECT_EQ(name, "123456789");
}

}  // namespace
