// The management answers over the real control port on ::1, driven by a
// scripted finder: unit descriptions, unit values (read, set, default, choice
// texts, commit and discard), the synchro units, icons and the synchro
// information, and what a failed answer does to the control step.
#include <gtest/gtest.h>

#include <memory>

#include "protocol/SysLogZarnith.h"
#include "sink/SinkTestKit.h"
#include "tests/support/TestSupport.h"

using namespace sinktest;
using namespace std::chrono_literals;
using Unit = ZARNITH::Sink::Setting::_Config::_Unit;
using Config = ZARNITH::Sink::Setting::_Config;

namespace {

using ZARNITH::TargetPort;
constexpr std::uint16_t ControlPort = 19644;
constexpr std::uint16_t UNIT_REQ = 0x34, UNIT_ANS = 0x35, VALUE_REQ = 0x36, VALUE_ANS = 0x37;
constexpr std::uint16_t ICON_REQ = 0x42, ICON_ANS = 0x43, SYNCHRO_REQ = 0x4a, SYNCHRO_ANS = 0x4b;

Unit unit(std::uint16_t kind, const char* name, std::uint16_t min, std::uint16_t max, std::uint16_t defaultValue,
          std::vector<std::string> choices = {}, const char* defaultText = "") {
    Unit u;
    u.kind = kind;
    u.name = name;
    u.defaultText = defaultText;
    u.min = min;
    u.max = max;
    u.defaultValue = defaultValue;
    u.choices = std::move(choices);
    return u;
}

// Eight application units (1 to 8), then the four synchro units (9 to 12).
ZARNITH::Sink::Setting managedSetting() {
    auto s = recorderSetting();
    s.configUnits = {
        unit(Config::UNIT_NUMBER, "Volume", 0, 100, 50),
        unit(Config::UNIT_SIGNED, "Balance", 0xFFF6, 10, 0),
        unit(Config::UNIT_SWITCH, "Loud", 0, 0, 1),
        unit(Config::UNIT_TEXT, "Label", 0, 0, 0, {}, "living room"),
        unit(Config::UNIT_CHOICE, "Filter", 0, 0, 2, {"a", "b", "c", "d", "e", "f"}),
        unit(Config::UNIT_CHOICE_FIXED, "Model", 0, 0, 1, {"x", "y", "z"}),
        unit(Config::UNIT_VALUE, "Gain", 1, 65534, 7),
        unit(Config::UNIT_SWITCH, "Mode", 0, 0, 0, {"off", "on"}),
    };
    s.synchro = 1;
    s.synchroName = "grp";
    s.synchroCrc = 0x1234;
    s.synchroAll = 1;
    s.synchroSelf = 2;
    s.synchroTotal = 5;
    return s;
}

class SinkManagement : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (fixed ports 19642-19645)";
        target = std::make_unique<UdpPeer>(TargetPort);  // takes the registrations
        ASSERT_TRUE(target->ok());
        start(managedSetting());
    }
    void TearDown() override {
        driver.reset();
        sink.reset();
    }
    void start(const ZARNITH::Sink::Setting& setting) {
        driver.reset();
        sink.reset();
        sink = std::make_unique<ZARNITH::ClosingSink<ConfigurableSink>>(setting, waiter);
        std::uint16_t ctrl = 0, stream = 0;
        ASSERT_TRUE(sink->open(ctrl, stream));
        ASSERT_EQ(ctrl, ControlPort);
        driver = std::make_unique<SinkDriver>(*sink, waiter);
    }

    std::optional<Bytes> ask(const Bytes& request) { return finder.ask(ControlPort, request); }

    struct Case {
        const char* what;
        Bytes request;
        Bytes answer;
    };
    void expectAnswers(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            auto got = ask(c.request);
            ASSERT_TRUE(got) << c.what;
            EXPECT_EQ(*got, c.answer) << c.what;
        }
    }

    ORVEX::Socket::Waiter waiter;
    std::unique_ptr<UdpPeer> target;
    std::unique_ptr<ZARNITH::ClosingSink<ConfigurableSink>> sink;
    std::unique_ptr<SinkDriver> driver;
    UdpPeer finder;
};

TEST_F(SinkManagement, DescribesEveryUnit) {
    expectAnswers({
        {"count", message(UNIT_REQ, 0, 0, 9), message(UNIT_ANS, 1, 12, 9, 0, 0)},
        {"number", message(UNIT_REQ, 0, 1), message(UNIT_ANS, 1, 1, 1, 0, 100, text("Volume"))},
        {"signed", message(UNIT_REQ, 0, 2), message(UNIT_ANS, 1, 2, 2, 0xFFF6, 10, text("Balance"))},
        {"switch", message(UNIT_REQ, 0, 3, 4), message(UNIT_ANS, 1, 3, 3, 0, 1, text("Loud"))},
        {"text", message(UNIT_REQ, 0, 4), message(UNIT_ANS, 1, 4, 4, 0, 0, text("Label"))},
        {"six choices", message(UNIT_REQ, 0, 5), message(UNIT_ANS, 1, 5, 5, 0, 5, text("Filter"))},
        {"fixed choice", message(UNIT_REQ, 0, 6), message(UNIT_ANS, 1, 6, 6, 0, 2, text("Model"))},
        {"value", message(UNIT_REQ, 0, 7), message(UNIT_ANS, 1, 7, 7, 1, 65534, text("Gain"))},
        {"switch with choices", message(UNIT_REQ, 0, 8), message(UNIT_ANS, 1, 8, 3, 0, 1, text("Mode"))},
        {"synchro total", message(UNIT_REQ, 0, 9), message(UNIT_ANS, 1, 9, 1, 2, 16, text("SynchroTotal"))},
        {"synchro all", message(UNIT_REQ, 0, 10), message(UNIT_ANS, 1, 10, 5, 0, 5, text("SynchroAll"))},
        {"synchro self", message(UNIT_REQ, 0, 11), message(UNIT_ANS, 1, 11, 7, 1, 65534, text("SynchroSelf"))},
        {"synchro name", message(UNIT_REQ, 0, 12), message(UNIT_ANS, 1, 12, 4, 0, 0, text("SynchroName"))},
        {"beyond the list", message(UNIT_REQ, 0, 13, 3, 7, 7), message(UNIT_ANS, 0, 13, 3, 0, 0)},
        {"last number", message(UNIT_REQ, 0, 0xFFFF), message(UNIT_ANS, 0, 0xFFFF, 0, 0, 0)},
    });
}

TEST_F(SinkManagement, ReadsTheDefaultsWhenTheApplicationGivesNothing) {
    expectAnswers({
        {"number", message(VALUE_REQ, 0, 1, 0), message(VALUE_ANS, 1, 1, 50, 0, 50)},
        {"signed", message(VALUE_REQ, 0, 2, 0), message(VALUE_ANS, 1, 2, 0, 0, 0)},
        {"switch", message(VALUE_REQ, 0, 3, 0), message(VALUE_ANS, 1, 3, 1, 0, 1, text("enable"))},
        {"text", message(VALUE_REQ, 0, 4, 0), message(VALUE_ANS, 1, 4, 0, 0, 0, text("living room"))},
        {"choice", message(VALUE_REQ, 0, 5, 0), message(VALUE_ANS, 1, 5, 2, 0, 2, text("c"))},
        {"fixed choice", message(VALUE_REQ, 0, 6, 0), message(VALUE_ANS, 1, 6, 1, 0, 1, text("y"))},
        {"value", message(VALUE_REQ, 0, 7, 0, 99), message(VALUE_ANS, 1, 7, 7, 0, 7)},
        {"switch with choices", message(VALUE_REQ, 0, 8, 0), message(VALUE_ANS, 1, 8, 0, 0, 0, text("disable"))},
        {"synchro total", message(VALUE_REQ, 0, 9, 0), message(VALUE_ANS, 1, 9, 5, 0, 2)},
        {"synchro all 1ch", message(VALUE_REQ, 0, 10, 0), message(VALUE_ANS, 1, 10, 0, 0, 1, text("2ch"))},
        {"synchro self", message(VALUE_REQ, 0, 11, 0), message(VALUE_ANS, 1, 11, 2, 0, 1)},
        {"synchro name", message(VALUE_REQ, 0, 12, 0), message(VALUE_ANS, 1, 12, 0, 0, 0, text("grp"))},
    });
    EXPECT_TRUE(sink->sets().empty());
}

TEST_F(SinkManagement, SetsThroughTheApplicationAndReadsBack) {
    struct SetCase {
        const char* what;
        Bytes request;
        bool called;
        std::uint16_t index;  // of the expected ConfigSet (never a default here)
        const char* text;
        std::uint16_t value;
        Bytes answer;
    };
    const SetCase cases[] = {
        {"number", message(VALUE_REQ, 0, 1, 1, 77), true, 0, "", 77, message(VALUE_ANS, 1, 1, 77, 0, 50)},
        {"signed", message(VALUE_REQ, 0, 2, 1, 0xFFFB), true, 1, "", 0xFFFB,
         message(VALUE_ANS, 1, 2, 0xFFFB, 0, 0)},
        {"switch off", message(VALUE_REQ, 0, 3, 1, 0), true, 2, "disable", 0,
         message(VALUE_ANS, 1, 3, 0, 0, 1, text("enable"))},
        {"switch text wins over the value", message(VALUE_REQ, 0, 3, 1, 5), true, 2, "enable", 5,
         message(VALUE_ANS, 1, 3, 1, 0, 1, text("enable"))},
        {"text", message(VALUE_REQ, 0, 4, 1, 0, 0, text("kitchen")), true, 3, "kitchen", 0,
         message(VALUE_ANS, 1, 4, 0, 0, 0, text("kitchen"))},
        {"choice", message(VALUE_REQ, 0, 5, 1, 4), true, 4, "e", 4, message(VALUE_ANS, 1, 5, 4, 0, 2)},
        {"choice out of range", message(VALUE_REQ, 0, 5, 1, 9), true, 4, "unknown", 9,
         message(VALUE_ANS, 1, 5, 2, 0, 2, text("unknown"))},
        {"fixed choice is read-only", message(VALUE_REQ, 0, 6, 1, 2), false, 0, "", 0,
         message(VALUE_ANS, 0, 6, 1, 0, 1, text("y"))},
        {"value", message(VALUE_REQ, 0, 7, 1, 300), true, 6, "", 300, message(VALUE_ANS, 1, 7, 300, 0, 7)},
        {"switch with choices", message(VALUE_REQ, 0, 8, 1, 1), true, 7, "enable", 1,
         message(VALUE_ANS, 1, 8, 1, 0, 0, text("disable"))},
    };
    for (const SetCase& c : cases) {
        const std::size_t before = sink->sets().size();
        auto got = ask(c.request);
        ASSERT_TRUE(got) << c.what;
        EXPECT_EQ(*got, c.answer) << c.what;
        const auto sets = sink->sets();
        ASSERT_EQ(sets.size(), before + (c.called ? 1 : 0)) << c.what;
        if (!c.called) continue;
        EXPECT_EQ(sets.back().index, c.index) << c.what;
        EXPECT_EQ(sets.back().text, c.text) << c.what;
        EXPECT_EQ(sets.back().value, c.value) << c.what;
        EXPECT_FALSE(sets.back().toDefault) << c.what;
    }

    // The application refuses: the answer says so and carries the value it still has.
    sink->setResult = false;
    expectAnswers({{"refused", message(VALUE_REQ, 0, 1, 1, 5), message(VALUE_ANS, 0, 1, 77, 0, 50)}});
}

TEST_F(SinkManagement, SetsToDefault) {
    sink->store(5, "z", 0);  // the fixed choice reads "z"
    expectAnswers({
        {"number", message(VALUE_REQ, 0, 1, 2, 9), message(VALUE_ANS, 1, 1, 50, 0, 50)},
        {"switch", message(VALUE_REQ, 0, 3, 2), message(VALUE_ANS, 1, 3, 1, 0, 1, text("enable"))},
        {"text", message(VALUE_REQ, 0, 4, 2, 0, 0, text("ignored")),
         message(VALUE_ANS, 1, 4, 0, 0, 0, text("living room"))},
        {"choice", message(VALUE_REQ, 0, 5, 2), message(VALUE_ANS, 1, 5, 2, 0, 2, text("c"))},
        {"fixed choice: nothing to set, its own text", message(VALUE_REQ, 0, 6, 2),
         message(VALUE_ANS, 1, 6, 2, 0, 1, text("z"))},
    });
    const auto sets = sink->sets();
    ASSERT_EQ(sets.size(), 4u);
    const std::uint16_t indexes[] = {0, 2, 3, 4};
    const char* texts[] = {"", "", "living room", ""};
    const std::uint16_t values[] = {50, 1, 0, 2};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(sets[i].index, indexes[i]) << i;
        EXPECT_EQ(sets[i].text, texts[i]) << i;
        EXPECT_EQ(sets[i].value, values[i]) << i;
        EXPECT_TRUE(sets[i].toDefault) << i;
    }
}

TEST_F(SinkManagement, ChoiceTexts) {
    expectAnswers({
        {"last of six", message(VALUE_REQ, 0, 5, 3, 5), message(VALUE_ANS, 1, 5, 0, 0, 0, text("f"))},
        {"choice 7 of six", message(VALUE_REQ, 0, 5, 3, 7), message(VALUE_ANS, 1, 5, 0, 0, 0, text("unknown"))},
        {"switch 1", message(VALUE_REQ, 0, 3, 3, 1), message(VALUE_ANS, 1, 3, 0, 0, 0, text("enable"))},
        {"switch 0", message(VALUE_REQ, 0, 3, 3, 0), message(VALUE_ANS, 1, 3, 0, 0, 0, text("disable"))},
        {"switch with choices", message(VALUE_REQ, 0, 8, 3, 1), message(VALUE_ANS, 1, 8, 0, 0, 0, text("on"))},
        {"number: no text", message(VALUE_REQ, 0, 1, 3, 1), message(VALUE_ANS, 1, 1, 0, 0, 0)},
        {"synchro all", message(VALUE_REQ, 0, 10, 3, 2), message(VALUE_ANS, 1, 10, 0, 0, 0, text("4ch"))},
    });
    EXPECT_TRUE(sink->sets().empty());
    EXPECT_EQ(sink->gets(), 0);
}

TEST_F(SinkManagement, SynchroUnitsTakeEffectAtOnce) {
    expectAnswers({
        {"as configured", message(SYNCHRO_REQ, 0), message(SYNCHRO_ANS, 1, 0x1234, 5, 0xFFFF, 2, text("grp"))},
        {"all = 4", message(VALUE_REQ, 0, 10, 1, 2), message(VALUE_ANS, 1, 10, 2, 0, 1, text("2ch"))},
        {"all = choice 9 is ignored", message(VALUE_REQ, 0, 10, 1, 9), message(VALUE_ANS, 1, 10, 2, 0, 1, text("2ch"))},
        {"total", message(VALUE_REQ, 0, 9, 1, 7), message(VALUE_ANS, 1, 9, 7, 0, 2)},
        {"self", message(VALUE_REQ, 0, 11, 1, 3), message(VALUE_ANS, 1, 11, 3, 0, 1)},
        {"name", message(VALUE_REQ, 0, 12, 1, 0, 0, text("123456789")),
         message(VALUE_ANS, 1, 12, 0, 0, 0, text("123456789"))},
        // The CRC-16/USB check value of "123456789" is 0xB4C8.
        {"changed", message(SYNCHRO_REQ, 0, 1, 2, 3, 4, text("x")),
         message(SYNCHRO_ANS, 1, 0xB4C8, 7, 0, 3, text("123456789"))},
        {"a discard does not undo them", message(VALUE_REQ, 0, 0, 2), message(VALUE_ANS, 1)},
        {"unchanged", message(SYNCHRO_REQ, 0), message(SYNCHRO_ANS, 1, 0xB4C8, 7, 0, 3, text("123456789"))},
        {"empty name", message(VALUE_REQ, 0, 12, 1), message(VALUE_ANS, 1, 12, 0, 0, 0)},
        {"checksum 1", message(SYNCHRO_REQ, 0), message(SYNCHRO_ANS, 1, 1, 7, 0, 3)},
        {"total to default", message(VALUE_REQ, 0, 9, 2), message(VALUE_ANS, 1, 9, 2, 0, 2)},
    });
    EXPECT_TRUE(sink->sets().empty()) << "synchro units never reach the application";
}

TEST_F(SinkManagement, CommitAndDiscard) {
    expectAnswers({
        {"commit", message(VALUE_REQ, 0, 0, 1, 5, 5), message(VALUE_ANS, 1)},
        {"discard", message(VALUE_REQ, 0, 0, 2), message(VALUE_ANS, 1)},
        {"read at unit 0", message(VALUE_REQ, 0, 0, 0), message(VALUE_ANS, 0)},
        {"choice text at unit 0", message(VALUE_REQ, 0, 0, 3), message(VALUE_ANS, 0)},
    });
    EXPECT_EQ(sink->finales(), (std::vector<bool>{true, false}));
    sink->finaleResult = false;
    expectAnswers({{"refused", message(VALUE_REQ, 0, 0, 1), message(VALUE_ANS, 0)}});
    EXPECT_EQ(driver->falseSteps(), 0);

    // Changes reported: the answer goes out, then the step returns false.
    sink->finaleResult = true;
    sink->finaleChanged = true;
    expectAnswers({{"commit with changes", message(VALUE_REQ, 0, 0, 1), message(VALUE_ANS, 1)}});
    EXPECT_TRUE(eventually([&] { return driver->falseSteps() == 1; }));
    expectAnswers({{"still serving", message(UNIT_REQ, 0, 0), message(UNIT_ANS, 1, 12, 0, 0, 0)}});
}

TEST_F(SinkManagement, ValueRequestsBeyondTheListTouchNothing) {
    expectAnswers({
        {"read", message(VALUE_REQ, 0, 13, 0), message(VALUE_ANS, 0, 13)},
        {"set", message(VALUE_REQ, 0, 13, 1, 4, 0, text("x")), message(VALUE_ANS, 0, 13)},
        {"default", message(VALUE_REQ, 0, 14, 2), message(VALUE_ANS, 0, 14)},
        {"choice text", message(VALUE_REQ, 0, 13, 3, 1), message(VALUE_ANS, 0, 13)},
        {"last number", message(VALUE_REQ, 0, 0xFFFF, 1, 1), message(VALUE_ANS, 0, 0xFFFF)},
        {"unknown operation", message(VALUE_REQ, 0, 1, 4, 1), message(VALUE_ANS, 0, 1)},
        {"synchro unchanged", message(SYNCHRO_REQ, 0), message(SYNCHRO_ANS, 1, 0x1234, 5, 0xFFFF, 2, text("grp"))},
    });
    EXPECT_TRUE(sink->sets().empty());
    EXPECT_EQ(sink->gets(), 0);
}

// A sink without units or synchro group, with the default unit access.
TEST_F(SinkManagement, PlainSinkAnswersItsConfiguration) {
    auto setting = recorderSetting();
    setting.synchroAll = 2;  // configured values are answered even outside a group
    setting.synchroTotal = 3;
    driver.reset();
    sink.reset();
    ZARNITH::ClosingSink<RecordingSink> plain(setting, waiter);
    std::uint16_t ctrl = 0, stream = 0;
    ASSERT_TRUE(plain.open(ctrl, stream));
    SinkDriver plainDriver(plain, waiter);
    expectAnswers({
        {"no units", message(UNIT_REQ, 0, 0, 1), message(UNIT_ANS, 1, 0, 1, 0, 0)},
        {"unit 1", message(UNIT_REQ, 0, 1), message(UNIT_ANS, 0, 1, 0, 0, 0)},
        {"value of unit 1", message(VALUE_REQ, 0, 1, 0), message(VALUE_ANS, 0, 1)},
        {"default commit refuses", message(VALUE_REQ, 0, 0, 1), message(VALUE_ANS, 0)},
        {"synchro", message(SYNCHRO_REQ, 0), message(SYNCHRO_ANS, 1, 0, 3, 0, 0)},
        {"no icons", message(ICON_REQ, 0, 1), message(ICON_ANS, 0, 1)},
    });
    EXPECT_EQ(plainDriver.falseSteps(), 0);
}

// ---- icons ----

ZARNITH::Icon makeIcon(std::uint32_t kind, std::uint32_t width, std::size_t pixels) {
    ZARNITH::Icon icon;
    icon.kind = kind;
    icon.width = width;
    icon.pixels.resize(pixels);
    for (std::size_t i = 0; i < pixels; ++i)
        for (int k = 0; k < 4; ++k) icon.pixels[i].byte[k] = static_cast<std::uint8_t>((i * 7 + k * 61) % 251);
    return icon;
}

// The wire bytes of `count` pixels from pixel index `start`.
Bytes pixelsOf(const ZARNITH::Icon& icon, std::size_t start, std::size_t count) {
    Bytes out;
    for (std::size_t i = start; i < start + count; ++i) {
        if (icon.kind == 0)
            out.insert(out.end(), icon.pixels[i].byte, icon.pixels[i].byte + 4);
        else
            out.push_back(icon.pixels[i].byte[3]);
    }
    return out;
}

TEST_F(SinkManagement, IconSizesAndPixels) {
    auto setting = recorderSetting();
    setting.icons[0] = makeIcon(0, 16, 16 * 16);
    setting.icons[1] = makeIcon(0, 1000, 2000);
    setting.icons[2] = makeIcon(1, 1000, 2000);
    setting.icons[3] = makeIcon(1, 8, 0);  // no pixels
    start(setting);
    const auto& i1 = setting.icons[0];
    const auto& i2 = setting.icons[1];
    const auto& i3 = setting.icons[2];
    expectAnswers({
        {"icon 0", message(ICON_REQ, 0, 0), message(ICON_ANS, 0, 0)},
        {"icon 5", message(ICON_REQ, 0, 5, 1, 2, 3), message(ICON_ANS, 0, 5, 1, 2, 0)},
        {"icon without pixels", message(ICON_REQ, 0, 4), message(ICON_ANS, 0, 4)},
        {"size, four bytes", message(ICON_REQ, 0, 1), message(ICON_ANS, 1, 1, 16, 16, 1)},
        {"size, one byte", message(ICON_REQ, 0, 3), message(ICON_ANS, 1, 3, 1000, 2, 2)},
        {"size without format", message(ICON_REQ, 0, 1, 0, 0, 5), message(ICON_ANS, 1, 1, 16, 16, 0)},
        {"height only", message(ICON_REQ, 0, 1, 3, 0), message(ICON_ANS, 1, 1, 3, 16, 1)},
        {"width only", message(ICON_REQ, 0, 1, 0, 9), message(ICON_ANS, 1, 1, 16, 9, 1)},
        {"first row", message(ICON_REQ, 0, 1, 1, 1), message(ICON_ANS, 1, 1, 1, 1, 17, pixelsOf(i1, 0, 16))},
        {"rest of row 2", message(ICON_REQ, 0, 1, 5, 2, 1), message(ICON_ANS, 1, 1, 5, 2, 13, pixelsOf(i1, 20, 12))},
        {"two rows", message(ICON_REQ, 0, 1, 1, 1, 33), message(ICON_ANS, 1, 1, 1, 1, 33, pixelsOf(i1, 0, 32))},
        {"count cut at the end", message(ICON_REQ, 0, 1, 9, 16, 100),
         message(ICON_ANS, 1, 1, 9, 16, 9, pixelsOf(i1, 248, 8))},
        {"below the last row", message(ICON_REQ, 0, 1, 1, 17), message(ICON_ANS, 1, 1, 1, 17, 0)},
        {"right of the last column", message(ICON_REQ, 0, 1, 17, 1, 4), message(ICON_ANS, 1, 1, 17, 1, 0)},
        {"wide row: 300 pixels", message(ICON_REQ, 0, 2, 1, 1),
         message(ICON_ANS, 1, 2, 1, 1, 301, pixelsOf(i2, 0, 300))},
        {"wide row end", message(ICON_REQ, 0, 2, 901, 2),
         message(ICON_ANS, 1, 2, 901, 2, 101, pixelsOf(i2, 1900, 100))},
        {"narrow row: 1000 bytes", message(ICON_REQ, 0, 3, 1, 1),
         message(ICON_ANS, 1, 3, 1, 1, 1001, pixelsOf(i3, 0, 1000))},
    });
}

// Runs that would not fit one datagram are cut to what does; icons whose
// sizes do not fit the answer's options are not offered.
TEST_F(SinkManagement, IconAnswersFitOneDatagram) {
    auto setting = recorderSetting();
    setting.icons[0] = makeIcon(0, 200, 200 * 100);
    setting.icons[1] = makeIcon(0, 3, 10);  // not whole rows
    setting.icons[2] = makeIcon(1, 70000, 70000);
    setting.icons[3] = makeIcon(1, 1000, 1000 * 100);
    start(setting);
    expectAnswers({
        {"four-byte run", message(ICON_REQ, 0, 1, 1, 1, 0xFFFF),
         message(ICON_ANS, 1, 1, 1, 1, 16377, pixelsOf(setting.icons[0], 0, 16376))},
        {"one-byte run", message(ICON_REQ, 0, 4, 1, 1, 0xFFFF),
         message(ICON_ANS, 1, 4, 1, 1, 65505, pixelsOf(setting.icons[3], 0, 65504))},
        {"partial row", message(ICON_REQ, 0, 2), message(ICON_ANS, 0, 2)},
        {"too wide for its option", message(ICON_REQ, 0, 3), message(ICON_ANS, 0, 3)},
    });
}

// ---- failed answers ----

// The finder's address vanishes after its request: the answer cannot be sent.
// The step still returns true, except after a commit with changes and after
// the synchro information.
TEST_F(SinkManagement, FailedAnswersAreLoggedAndOnlySomeEndTheStep) {
    UdpPeer log(19640);
    ASSERT_TRUE(log.ok());
    ASSERT_TRUE(ZARNITH::SysLogZarnith::initialize(ORVEX::SysLog::FACILITY_LOCAL0, 19640, false));
    ASSERT_TRUE(ZARNITH::SysLogZarnith::changeLevel(ORVEX::SysLog::LEVEL_ERROR, 19640));
    sink->finaleChanged = true;
    struct FailCase {
        const char* what;
        Bytes request;
        const char* logged;
        int falseSteps;
    };
    const FailCase cases[] = {
        {"unit", message(UNIT_REQ, 0, 1), "UDP send error ", 0},
        {"icon", message(ICON_REQ, 0, 1), "UDP control send error ", 0},
        {"value", message(VALUE_REQ, 0, 1, 0), "UDP control send error ", 0},
        {"commit with changes", message(VALUE_REQ, 0, 0, 1), "UDP control send error ", 1},
        {"synchro information", message(SYNCHRO_REQ, 0), "UDP control send error ", 1},
    };
    for (const FailCase& c : cases) {
        if (!addLocalAddress("fd00::7")) GTEST_SKIP() << "cannot add an address here";
        const int before = driver->falseSteps();
        {
            UdpPeer vanishing(0, "fd00::7");
            ASSERT_TRUE(vanishing.ok()) << c.what;
            // On the application thread, so that the sink reads the request
            // only after the address is gone.
            driver->run([&] {
                EXPECT_TRUE(vanishing.sendTo(ControlPort, c.request));
                std::this_thread::sleep_for(10ms);
                tmtest::shell("ip -6 addr del fd00::7/128 dev lo");
            });
        }
        bool seen = false;
        for (int i = 0; i < 50 && !seen; ++i) {
            auto line = log.receive(100ms);
            if (line && std::string(line->begin(), line->end()).find(c.logged) != std::string::npos) seen = true;
        }
        EXPECT_TRUE(seen) << c.what;
        EXPECT_TRUE(eventually([&] { return driver->falseSteps() == before + c.falseSteps; }, 500ms)) << c.what;
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(driver->falseSteps(), before + c.falseSteps) << c.what;
    }
    ZARNITH::SysLogZarnith::zarnith_log = -1;
}

}  // namespace
