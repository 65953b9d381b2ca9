// Configuration units, icons, data transfer with its CRC-16 check, and reboot,
// over real UDP on ::1, with the class's own hooks and with an application's.
#include <gtest/gtest.h>

#include "foundation/CRC16.h"
#include "target/TargetTestKit.h"

using namespace targettest;
using Setting = ZARNITH::Target::Setting;
using Unit = Setting::_Config::_Unit;

namespace {

Unit unit(std::uint16_t kind, const std::string& name, std::uint16_t def, std::vector<std::string> choices = {},
          std::string defaultText = "") {
    Unit u;
    u.kind = kind;
    u.name = name;
    u.defaultValue = def;
    u.min = 10;
    u.max = 20;
    u.choices = std::move(choices);
    u.defaultText = std::move(defaultText);
    return u;
}

ZARNITH::Icon icon(std::uint32_t kind, std::uint32_t width, std::size_t pixels) {
    ZARNITH::Icon i;
    i.kind = kind;
    i.width = width;
    i.pixels.resize(pixels);
    for (std::size_t p = 0; p < pixels; ++p)
        for (int b = 0; b < 4; ++b) i.pixels[p].byte[b] = static_cast<std::uint8_t>(p * 4 + b);
    return i;
}

Setting managed() {
    Setting s = hostSetting();
    s.units = {unit(1, "Number", 12), unit(3, "Switch", 1), unit(5, "Choice", 1, {"a", "b", "c"}),
               unit(4, "Text", 0, {}, "hello"), unit(6, "Fixed", 0, {"x", "y"})};
    s.icons[0] = icon(0, 32, 32 * 32);
    s.icons[1] = icon(0, 400, 800);
    s.icons[2] = icon(1, 400, 800);
    s.icons[3] = icon(1, 3, 10);  // not whole rows: not valid
    s.transferSlots = 2;
    s.transferSlotInfo = {{1023, 15, 3}, {99, 0, 0}};
    return s;
}

// An application's hooks: a store for the units and a commit that asks for a restart.
class Configured : public TestTarget {
public:
    using TestTarget::TestTarget;
    ~Configured() override { close(); }
    std::uint16_t values[5] = {12, 1, 1, 0, 0};
    std::string texts[5];
    bool ConfigGet(std::uint16_t u, std::string& text, std::uint16_t& value) override {
        if (u >= 5) return false;
        text = texts[u];
        value = values[u];
        return true;
    }
    bool ConfigSet(std::uint16_t u, const std::string& text, const std::uint16_t& value, bool) override {
        if (u >= 5) return false;
        texts[u] = text;
        values[u] = value;
        return true;
    }
    bool ConfigFinale(bool commit) override { return commit; }
};

class TargetManagement : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (fixed port 19642)";
        LogCapture::start();
    }
    template <typename T = TestTarget>
    T& start(const Setting& s) {
        auto* t = new T(s);
        target.reset(t);
        EXPECT_TRUE(target->open(-1, false));
        return *t;
    }
    Header askHeader(const Bytes& request, Bytes* body = nullptr) {
        auto a = peer.ask(request);
        EXPECT_TRUE(a);
        if (!a) return Header{};
        if (body) *body = payload(*a);
        return header(*a);
    }
    static std::vector<int> fields(const Header& h) { return {h.id, h.status, h.o[0], h.o[1], h.o[2], h.o[3]}; }
    std::unique_ptr<TestTarget> target;
    UdpPeer peer;
};

TEST_F(TargetManagement, UnitDescriptions) {
    start(managed());
    Bytes name;
    EXPECT_EQ(fields(askHeader(message(0x0030, 0, 0, 7))), (std::vector<int>{0x31, 1, 5, 7, 0, 0}));
    EXPECT_EQ(fields(askHeader(message(0x0030, 0, 6, 7))), (std::vector<int>{0x31, 0, 6, 7, 0, 0}));
    EXPECT_EQ(fields(askHeader(message(0x0030, 0, 1), &name)), (std::vector<int>{0x31, 1, 1, 1, 10, 20}));
    EXPECT_EQ(std::string(name.begin(), name.end()), "Number");
    EXPECT_EQ(fields(askHeader(message(0x0030, 0, 2))), (std::vector<int>{0x31, 1, 2, 3, 0, 1}));
    EXPECT_EQ(fields(askHeader(message(0x0030, 0, 3))), (std::vector<int>{0x31, 1, 3, 5, 0, 2}));
    target.reset();
    start(hostSetting());
    EXPECT_EQ(fields(askHeader(message(0x0030, 0, 0, 7))), (std::vector<int>{0x31, 1, 0, 7, 0, 0}));
}

TEST_F(TargetManagement, ValuesWithTheClassesOwnHooks) {
    start(managed());
    struct Case {
        std::uint16_t unit, op, value;
        std::vector<int> answer;
        const char* text;
    };
    const Case cases[] = {
        {2, 0, 0, {0x33, 1, 2, 1, 0, 1}, "enable"},   // read: the default
        {2, 1, 0, {0x33, 0, 2, 1, 0, 1}, "enable"},   // set refused by the hook
        {3, 3, 9, {0x33, 1, 3, 0, 0, 0}, "unknown"},  // choice text out of range
        {3, 3, 2, {0x33, 1, 3, 0, 0, 0}, "c"},
        {2, 3, 0, {0x33, 1, 2, 0, 0, 0}, "disable"},
        {3, 0, 0, {0x33, 1, 3, 1, 0, 1}, "b"},
        {4, 0, 0, {0x33, 1, 4, 0, 0, 0}, "hello"},
        {5, 1, 1, {0x33, 0, 5, 0, 0, 0}, "x"},        // fixed choice cannot be set
        {6, 0, 0, {0x33, 0, 6, 0, 0, 0}, ""},         // no such unit
        {6, 3, 0, {0x33, 0, 6, 0, 0, 0}, ""},
        {0, 1, 0, {0x33, 0, 0, 0, 0, 0}, ""},         // finale: nothing to commit
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.unit << " op " << c.op);
        Bytes body;
        EXPECT_EQ(fields(askHeader(message(0x0032, 0, c.unit, c.op, c.value), &body)), c.answer);
        EXPECT_EQ(std::string(body.begin(), body.end()), c.text);
    }
    EXPECT_EQ(target->getState(), 0u) << "the worker goes on";
}

TEST_F(TargetManagement, ValuesWithAnApplicationsHooksAndACommit) {
    Configured& t = start<Configured>(managed());
    Bytes body;
    EXPECT_EQ(fields(askHeader(message(0x0032, 0, 1, 1, 15))), (std::vector<int>{0x33, 1, 1, 15, 0, 12}));
    EXPECT_EQ(fields(askHeader(message(0x0032, 0, 2, 1, 0), &body)), (std::vector<int>{0x33, 1, 2, 0, 0, 1}));
    EXPECT_EQ(std::string(body.begin(), body.end()), "enable") << "switch text stays the default's";
    EXPECT_EQ(fields(askHeader(message(0x0032, 0, 3, 1, 2), &body)), (std::vector<int>{0x33, 1, 3, 2, 0, 1}));
    EXPECT_EQ(body.size(), 0u) << "a known choice text reads back as its index";
    EXPECT_EQ(fields(askHeader(message(0x0032, 0, 4, 1, 0, 0, text("new")), &body)),
              (std::vector<int>{0x33, 1, 4, 0, 0, 0}));
    EXPECT_EQ(std::string(body.begin(), body.end()), "new");
    EXPECT_EQ(fields(askHeader(message(0x0032, 0, 1, 2))), (std::vector<int>{0x33, 1, 1, 12, 0, 12})) << "restore";
    EXPECT_EQ(fields(askHeader(message(0x0032, 0, 0, 1))), (std::vector<int>{0x33, 1, 0, 0, 0, 0}));
    EXPECT_TRUE(eventually([&] { return t.getState() == 3u; })) << "a commit ends the worker for a restart";
    EXPECT_EQ(t.getRebootCode(), 1);
}

TEST_F(TargetManagement, Icons) {
    start(managed());
    struct Case {
        std::uint16_t o0, o1, o2, o3;
        std::vector<int> answer;
        std::size_t bytes;
    };
    const Case cases[] = {
        {1, 0, 0, 0, {0x41, 1, 1, 32, 32, 1}, 0},        // information, format 1
        {3, 0, 0, 0, {0x41, 1, 3, 400, 2, 2}, 0},        // kind 1: format 2
        {1, 0, 5, 1, {0x41, 1, 1, 32, 5, 0}, 0},         // a row given: echoed, no format
        {4, 0, 0, 0, {0x41, 0, 4, 0, 0, 0}, 0},          // not whole rows
        {5, 0, 0, 0, {0x41, 0, 5, 0, 0, 0}, 0},          // no pixels
        {9, 1, 1, 0, {0x41, 0, 9, 1, 1, 0}, 0},          // no such icon
        {2, 1, 1, 0, {0x41, 1, 2, 1, 1, 301}, 1200},     // a row: 300 four-byte pixels
        {3, 1, 1, 0, {0x41, 1, 3, 1, 1, 401}, 400},      // a row of one-byte pixels
        {3, 1, 3, 0, {0x41, 1, 3, 1, 3, 0}, 0},          // row beyond the height
        {2, 390, 2, 101, {0x41, 1, 2, 390, 2, 12}, 44},  // a run cut at the icon's end
        {2, 390, 1, 21, {0x41, 1, 2, 390, 1, 21}, 80},   // a run across rows
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.o0 << " " << c.o1 << " " << c.o2 << " " << c.o3);
        Bytes body;
        EXPECT_EQ(fields(askHeader(message(0x0040, 0, c.o0, c.o1, c.o2, c.o3), &body)), c.answer);
        EXPECT_EQ(body.size(), c.bytes);
    }
    // Pixel bytes: the whole pixel for kind 0, its fourth byte otherwise.
    Bytes wide, narrow;
    (void)askHeader(message(0x0040, 0, 2, 391, 2, 3), &wide);  // pixels 790, 791
    ASSERT_EQ(wide.size(), 8u);
    EXPECT_EQ(wide[0], static_cast<std::uint8_t>(790 * 4));
    EXPECT_EQ(wide[7], static_cast<std::uint8_t>(791 * 4 + 3));
    (void)askHeader(message(0x0040, 0, 3, 2, 1, 2), &narrow);
    ASSERT_EQ(narrow.size(), 1u);
    EXPECT_EQ(narrow[0], static_cast<std::uint8_t>(1 * 4 + 3));
}

TEST_F(TargetManagement, RunsNeverOutgrowOneDatagram) {
    Setting s = hostSetting();
    s.icons[0] = icon(0, 300, 300 * 200);
    start(s);
    Bytes body;
    const Header h = askHeader(message(0x0040, 0, 1, 1, 1, 0xFFFF), &body);
    EXPECT_EQ(h.status, 1);
    EXPECT_LE(body.size(), 65000u);
    EXPECT_EQ(body.size(), (h.o[3] - 1u) * 4u) << "the count says what was sent";
}

TEST_F(TargetManagement, TransferWithCrcCheckAndLoss) {
    TestTarget& t = start(managed());
    EXPECT_EQ(fields(askHeader(message(0x001a, 0, 0))), (std::vector<int>{0x1b, 1, 2, 0xFFFF, 0, 0}));
    EXPECT_EQ(fields(askHeader(message(0x001a, 0, 1))), (std::vector<int>{0x1b, 1, 1, 1023, 15, 3}));
    EXPECT_EQ(fields(askHeader(message(0x001a, 0, 3))), (std::vector<int>{0x1b, 0, 0, 0, 0, 0}));

    // Slot 3 of 2: logged and dropped.
    ASSERT_TRUE(peer.sendTo(TargetPort, message(0x001c, 0, 0x8003, 0, 0, 0, text("x"))));
    ASSERT_TRUE(eventually([&] { return LogCapture::count("TRANSFERDATA_SET error 32771 2") == 1; }));
    EXPECT_FALSE(peer.receive(100ms));

    // Packets 0..9 of slot 1; packet 5 is lost; 6 and 7 are misses; the
    // acknowledgement tells 5; resending from 5 goes on.
    Bytes all;
    auto packet = [&](std::uint16_t seq) {
        Bytes data(100, static_cast<std::uint8_t>(seq * 7 + 1));
        return message(0x001c, 0, 1, seq, static_cast<std::uint16_t>(seq % 16), static_cast<std::uint16_t>(seq / 16), data);
    };
    for (std::uint16_t seq = 0; seq < 10; ++seq) {
        Bytes data(100, static_cast<std::uint8_t>(seq * 7 + 1));
        all.insert(all.end(), data.begin(), data.end());
    }
    for (std::uint16_t seq = 0; seq < 5; ++seq) ASSERT_TRUE(peer.sendTo(TargetPort, packet(seq)));
    for (std::uint16_t seq = 6; seq < 8; ++seq) ASSERT_TRUE(peer.sendTo(TargetPort, packet(seq)));
    Bytes asking = packet(8);
    asking[8] = 0x01;
    asking[9] = 0x80;  // acknowledgement wanted
    auto ack = peer.ask(asking);
    ASSERT_TRUE(ack);
    EXPECT_EQ(fields(header(*ack)), (std::vector<int>{0x1d, 1, 1, 5, 0, 0}));
    EXPECT_EQ(LogCapture::count("TRANSFERDATA miss 5 6 0 0 0"), 1u);
    EXPECT_TRUE(eventually([] { return LogCapture::count("TRANSFERDATA miss 5 8 0 0 1") == 1; }))
        << "the acknowledgement goes out before the packet is tested";
    for (std::uint16_t seq = 5; seq < 10; ++seq) ASSERT_TRUE(peer.sendTo(TargetPort, packet(seq)));

    ORVEX::CRC16 crc;
    crc.update(ORVEX::BufferCS_const(all.data(), all.size()));
    EXPECT_EQ(fields(askHeader(message(0x001e, 0, 1, crc.get(), 0))), (std::vector<int>{0x1f, 0, 0, 0, 0, 0}))
        << "mode 0";
    EXPECT_EQ(fields(askHeader(message(0x001e, 0, 1, static_cast<std::uint16_t>(crc.get() ^ 1), 0xFFFF))),
              (std::vector<int>{0x1f, 0, 0, 0, 0, 0}));
    EXPECT_EQ(fields(askHeader(message(0x001e, 0, 1, crc.get(), 0xFFFF))),
              (std::vector<int>{0x1f, 1, 1, crc.get(), 0xFFFF, 0}));
    EXPECT_EQ(fields(askHeader(message(0x001e, 0, 3, crc.get(), 0xFFFF))), (std::vector<int>{0x1f, 0, 0, 0, 0, 0}));
    target->close();
    EXPECT_EQ(Bytes(t.getTransferBuffer().begin(), t.getTransferBuffer().end()), all);
}

// Slot 2 holds 100 bytes: more is dropped and the transfer cannot finish well.
TEST_F(TargetManagement, TransferBeyondTheSlotIsRefused) {
    start(managed());
    Bytes data(80, 1);
    ASSERT_TRUE(peer.sendTo(TargetPort, message(0x001c, 0, 2, 0, 0, 0, data)));
    ASSERT_TRUE(peer.sendTo(TargetPort, message(0x001c, 0, 2, 1, 1, 0, data)));
    ASSERT_TRUE(eventually([&] { return LogCapture::count("TRANSFERDATA overflow 100") == 1; }));
    ORVEX::CRC16 crc;
    crc.update(ORVEX::BufferCS_const(data.data(), data.size()));
    EXPECT_EQ(header(*peer.ask(message(0x001e, 0, 2, crc.get(), 0xFFFF))).status, 0);
}

TEST_F(TargetManagement, Reboot) {
    start(hostSetting());
    EXPECT_EQ(fields(askHeader(message(0x0024, 0, 7))), (std::vector<int>{0x25, 0, 0, 0, 0, 0})) << "not allowed";
    EXPECT_EQ(target->getState(), 0u);
    Setting s = hostSetting();
    s.rebootAllowed = 1;
    target.reset();
    start(s);
    EXPECT_EQ(fields(askHeader(message(0x0024, 0, 0))), (std::vector<int>{0x25, 1, 0, 0, 0, 0}));
    EXPECT_EQ(target->getState(), 0u) << "code 0 changes nothing";
    EXPECT_EQ(fields(askHeader(message(0x0024, 0, 7))), (std::vector<int>{0x25, 1, 7, 0, 0, 0}));
    EXPECT_TRUE(eventually([&] { return target->getState() == 3u; }));
    EXPECT_EQ(target->getRebootCode(), 7);
    EXPECT_FALSE(peer.ask(message(0x0000, 0), 200ms)) << "answers nothing more";
}

}  // namespace
