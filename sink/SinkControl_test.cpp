// The control exchange over the real UDP ports on ::1, driven by a scripted
// peer: answers byte for byte, refusals, echoes, registration, stop windows
// and the clock table.
#include <gtest/gtest.h>

#include <memory>

#include "protocol/SysLogZarnith.h"
#include "sink/SinkTestKit.h"
#include "tests/support/TestSupport.h"

using namespace sinktest;
using namespace std::chrono_literals;

namespace {

using ZARNITH::TargetPort;
constexpr std::uint16_t ControlPort = 19644;
constexpr std::uint16_t StreamPort = 19645;

class SinkControl : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (fixed ports 19642-19645)";
        target = std::make_unique<UdpPeer>(TargetPort);
        ASSERT_TRUE(target->ok());
        sink = std::make_unique<ZARNITH::ClosingSink<RecordingSink>>(recorderSetting(), waiter);
        std::uint16_t ctrl = 0, stream = 0;
        ASSERT_TRUE(sink->open(ctrl, stream));
        ASSERT_EQ(ctrl, ControlPort);
        ASSERT_EQ(stream, StreamPort);
        driver = std::make_unique<SinkDriver>(*sink, waiter);
        ASSERT_TRUE(settlePreConnect(ControlPort));
    }
    void TearDown() override {
        driver.reset();
        sink.reset();
    }

    // The handshake of a sender up to an accepted connect; returns the answer.
    std::optional<Bytes> connect(UdpPeer& peer, std::uint64_t format = Pcm32At44k) {
        auto pre = peer.ask(ControlPort, message64(0x12, 0, preFormatOf(format, 1000)));
        if (!pre || header(*pre).status != 1) return std::nullopt;
        auto name = peer.ask(ControlPort, message64(0x18, 1, 0x1122334455667788ULL, text("senderhost")));
        if (!name) return std::nullopt;
        return peer.ask(ControlPort, message64(0x08, 0, format));
    }

    ORVEX::Socket::Waiter waiter;
    std::unique_ptr<UdpPeer> target;
    std::unique_ptr<ZARNITH::ClosingSink<RecordingSink>> sink;
    std::unique_ptr<SinkDriver> driver;
};

TEST_F(SinkControl, RegistersAtOnceThenEveryThreeSecondsAndAfterConnectAndDisconnect) {
    std::uint16_t from = 0;
    auto first = target->receive(1000ms, &from);
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, message(0x8002, 0x0000, 1, 0, 0, 1, text("Recoder")));
    EXPECT_EQ(from, ControlPort);
    const auto firstAt = std::chrono::steady_clock::now();

    auto second = target->receive(6000ms);
    ASSERT_TRUE(second);
    EXPECT_GE(std::chrono::steady_clock::now() - firstAt, 2800ms);
    EXPECT_EQ(*second, *first);

    UdpPeer sender;
    auto answer = connect(sender);
    ASSERT_TRUE(answer);
    ASSERT_EQ(header(*answer).status, 0x0003);
    auto playing = target->receive(1000ms);
    ASSERT_TRUE(playing) << "a connect re-registers at once";
    EXPECT_EQ(*playing, message(0x8002, 0x0002, 1, 0, 0, 1, text("Recoder")));

    ASSERT_TRUE(sender.sendTo(StreamPort, message(0x0c, 0)));
    ASSERT_TRUE(sender.receiveId(0x0d, 1000ms));
    auto idle = target->receive(1000ms);
    ASSERT_TRUE(idle) << "a disconnect re-registers at once";
    EXPECT_EQ(*idle, message(0x8002, 0x0000, 1, 0, 0, 1, text("Recoder")));
}

TEST_F(SinkControl, AnswersInquiriesByteForByte) {
    sink->supported = Pcm32At44k | 0x0200;  // PCM16 and PCM32, two channels, 44.1 kHz
    struct Case {
        const char* what;
        Bytes request;
        Bytes answer;
    };
    const Case cases[] = {
        {"format summary", message64(0x04, 0, 0), message64(0x05, 1, Pcm32At44k | 0x0200)},
        {"format family", message64(0x04, 0, 0xFF00), message64(0x05, 1, 0x0A00)},
        {"latency", message(0x06, 0, 300, 7, 9, 0), message(0x07, 1, 300, 200, 10, 0)},
        {"data size probe", message(0x0e, 0, 0, 0, 0, 0, {1, 2, 3}), message(0x0f, 1, 1500, 0xFFFF, 3, 6)},
        {"data size empty", message(0x0e, 0), message(0x0f, 1, 1500, 0xFFFF, 0, 0)},
        {"parameter", message64(0x14, 0, Pcm32At44k), message(0x15, 1, 333, 1000, 44, 0)},
        {"pre-format", message64(0x12, 0, preFormatOf(Pcm32At44k, 1000)),
         message64(0x13, 1, preFormatOf(Pcm32At44k, 1000))},
        {"client name from the pre-client", message64(0x18, 1, 7, text("host-a")), message(0x19, 1)},
    };
    UdpPeer peer;
    for (const Case& c : cases) {
        auto got = peer.ask(ControlPort, c.request);
        ASSERT_TRUE(got) << c.what;
        EXPECT_EQ(*got, c.answer) << c.what;
    }
    auto connected = peer.ask(ControlPort, message64(0x08, 0, Pcm32At44k));
    ASSERT_TRUE(connected);
    EXPECT_EQ(*connected, message(0x09, 0x0003, StreamPort, 0, 0, 0));
    EXPECT_EQ(sink->clientName(), "host-a");
    EXPECT_EQ(sink->getState(), ZARNITH::Sink::CONNECTED);
    EXPECT_EQ(sink->getCurrentFormat().word, Pcm32At44k);
}

TEST_F(SinkControl, ConnectWithoutPreFormatRunsTheFullChecks) {
    UdpPeer peer;
    auto got = peer.ask(ControlPort, message64(0x08, 0, Pcm16At44k));
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, message(0x09, 0x0003, StreamPort, 0, 0, 0));
    EXPECT_EQ(sink->clientName(), "") << "no client name without a pre-client";
}

TEST_F(SinkControl, RefusesConnectsThatBreakTheRules) {
    UdpPeer a, b;
    // A pre-format from a is pending: b's connect is refused.
    auto pre = a.ask(ControlPort, message64(0x12, 0, preFormatOf(Pcm32At44k, 1000)));
    ASSERT_TRUE(pre);
    EXPECT_EQ(header(*pre).status, 1);
    auto other = b.ask(ControlPort, message64(0x08, 0, Pcm32At44k));
    ASSERT_TRUE(other);
    EXPECT_EQ(*other, message(0x09, 0x0000));
    // A client name from b is refused too.
    auto name = b.ask(ControlPort, message64(0x18, 1, 7, text("intruder")));
    ASSERT_TRUE(name);
    EXPECT_EQ(*name, message(0x19, 0x0000));

    // An invalid format (two channel bits), then one the sink does not take.
    auto invalid = a.ask(ControlPort, message64(0x08, 0, Pcm32At44k | 0x01));
    ASSERT_TRUE(invalid);
    EXPECT_EQ(*invalid, message(0x09, 0x0000));
    sink->supported = Pcm16At44k;
    auto pre2 = a.ask(ControlPort, message64(0x12, 0, preFormatOf(Pcm32At44k, 1000)));
    ASSERT_TRUE(pre2);
    auto unsupported = a.ask(ControlPort, message64(0x08, 0, Pcm32At44k));
    ASSERT_TRUE(unsupported);
    EXPECT_EQ(*unsupported, message(0x09, 0x0000));
    EXPECT_EQ(sink->connects, 0);

    // Connected: another connect and another pre-format are refused with the
    // playing status, and the connection stays.
    sink->supported = Pcm32At44k;
    auto ok = connect(a);
    ASSERT_TRUE(ok);
    ASSERT_EQ(header(*ok).status, 0x0003);
    auto again = b.ask(ControlPort, message64(0x08, 0, Pcm32At44k));
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, message(0x09, 0x0002));
    auto prepareBusy = b.ask(ControlPort, message64(0x12, 0, preFormatOf(Pcm32At44k, 1000)));
    ASSERT_TRUE(prepareBusy);
    EXPECT_EQ(*prepareBusy, message(0x13, 0x0002));
    EXPECT_EQ(sink->getState(), ZARNITH::Sink::CONNECTED);
    ASSERT_TRUE(a.sendTo(StreamPort, message(0x0a, 0, 0, 0, 0, 0, {9, 9})));
    EXPECT_TRUE(eventually([&] { return sink->deliveryCount() == 1; }));
}

TEST_F(SinkControl, CounterProposalAndAlteredFormatRefuse) {
    UdpPeer peer;
    sink->changeLatency = true;
    const std::uint64_t asked = preFormatOf(Pcm32At44k, 1000);
    auto pre = peer.ask(ControlPort, message64(0x12, 0, asked));
    ASSERT_TRUE(pre);
    EXPECT_EQ(*pre, message64(0x13, 0x0000, preFormatOf(Pcm32At44k, 1)));

    sink->changeLatency = false;
    sink->alterFormat = true;
    auto pre2 = peer.ask(ControlPort, message64(0x12, 0, preFormatOf(Pcm16At44k, 1000)));
    ASSERT_TRUE(pre2);
    auto altered = peer.ask(ControlPort, message64(0x08, 0, Pcm16At44k));
    ASSERT_TRUE(altered);
    EXPECT_EQ(*altered, message(0x09, 0x0000));
    EXPECT_EQ(sink->getState(), ZARNITH::Sink::IDLE);
}

TEST_F(SinkControl, ConnectStreamRefusalLeavesNoConnectionBehind) {
    UdpPeer peer;
    sink->connectResult = false;
    ASSERT_TRUE(peer.sendTo(ControlPort, message64(0x08, 0, Pcm32At44k)));
    EXPECT_FALSE(peer.receive(300ms)) << "a refused connectStream gets no answer";
    EXPECT_EQ(sink->connects, 1);
    EXPECT_EQ(sink->getState(), ZARNITH::Sink::IDLE);
    EXPECT_EQ(sink->getBaseStatus(), 0);
    EXPECT_EQ(sink->starts, 0) << "the data phase never began";
    EXPECT_EQ(sink->disconnects, 0);

    sink->connectResult = true;
    auto ok = peer.ask(ControlPort, message64(0x08, 0, Pcm32At44k));
    ASSERT_TRUE(ok);
    EXPECT_EQ(header(*ok).status, 0x0003);
    EXPECT_TRUE(eventually([&] { return sink->starts == 1; }));
}

TEST_F(SinkControl, EchoesEveryUnsupportedCode) {
    UdpPeer peer;
    // The management codes of the target (0x30, 0x32, 0x40) and the aux icons
    // (0x44) are not a sink's; its own (0x34, 0x36, 0x42, 0x4a) are answered.
    const std::uint16_t codes[] = {0x0003, 0x0026, 0x0030, 0x0032, 0x0040, 0x0044, 0x8004, 0x2a};
    for (std::uint16_t code : codes) {
        auto got = peer.ask(ControlPort, message(code, 0x0001, 1, 2, 3, 4, {5, 6}));
        ASSERT_TRUE(got) << code;
        EXPECT_EQ(*got, message(code, 0x0000)) << code;
    }
    // Invalid datagrams are dropped: a short one and a wrong magic.
    ASSERT_TRUE(peer.sendTo(ControlPort, Bytes{0x64, 0x00, 0x10}));
    Bytes wrongMagic = message(0x04, 0);
    wrongMagic[0] = 0x65;
    ASSERT_TRUE(peer.sendTo(ControlPort, wrongMagic));
    Bytes overlong = message(0x04, 0);
    overlong[2] = 0x11;  // length code decoding to 64 KiB of payload
    ASSERT_TRUE(peer.sendTo(ControlPort, overlong));
    EXPECT_FALSE(peer.receive(200ms));
}

TEST_F(SinkControl, EchoesAreBoundedAndNeverGoToTheSinksOwnPorts) {
    UdpPeer peer;
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(peer.sendTo(ControlPort, message(0x0003, 0)));
    const auto echoes = peer.drain(300ms);
    EXPECT_GE(echoes.size(), 1u);
    EXPECT_LE(echoes.size(), ZARNITH::EchoLimiter::Burst);
    // Still answering real requests meanwhile.
    auto format = peer.ask(ControlPort, message64(0x04, 0, 0));
    ASSERT_TRUE(format);
    EXPECT_EQ(header(*format).id, 0x05);

}

// A sink on port id 0 has the target's control port 19642, so with no target
// running its registrations come back to itself: they must not be echoed to
// itself over and over. Seen through the trace log on [::1]:19640.
TEST(SinkOwnPorts, RegistrationToItselfIsNotEchoed) {
    if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (fixed ports 19640, 19642)";
    UdpPeer log(19640);
    ASSERT_TRUE(log.ok());
    ASSERT_TRUE(ZARNITH::SysLogZarnith::initialize(ORVEX::SysLog::FACILITY_LOCAL0, 19640, false));
    ASSERT_TRUE(ZARNITH::SysLogZarnith::changeLevel(ORVEX::SysLog::LEVEL_DEBUG, 19640));
    ORVEX::Socket::Waiter waiter;
    auto setting = recorderSetting();
    setting.portId = 0;
    ZARNITH::ClosingSink<RecordingSink> sink(setting, waiter);
    std::uint16_t ctrl = 0, stream = 0;
    ASSERT_TRUE(sink.open(ctrl, stream));
    ASSERT_EQ(ctrl, 19642);
    int received = 0;
    {
        SinkDriver driver(sink, waiter);
        for (const Bytes& line : log.drain(500ms)) {
            const std::string s(line.begin(), line.end());
            if (s.find("Socket Receive udp_cont:") != std::string::npos) ++received;
        }
    }
    sink.close();
    ZARNITH::SysLogZarnith::zarnith_log = -1;
    EXPECT_EQ(received, 1) << "the one registration reached the sink, its echo did not come back";
}

TEST_F(SinkControl, StopWindowEchoesUntilNopBreak) {
    UdpPeer peer;
    auto noWindow = peer.ask(ControlPort, message(0x2a, 0));
    ASSERT_TRUE(noWindow);
    EXPECT_EQ(*noWindow, message(0x2a, 0x0000)) << "no window: echoed";

    ORVEX::IPAddress host;
    host.address[15] = 1;
    host.set_port(peer.port());
    driver->run([&] { sink->nop(host, 2, true); });
    auto notify = target->receiveId(0x8006, 1000ms);
    ASSERT_TRUE(notify);
    Bytes record(24, 0);
    record[15] = 1;
    EXPECT_EQ(*notify, message(0x8006, 0x0000, 1, 0, 2, 1, record));

    auto held = peer.ask(ControlPort, message64(0x04, 0, 0));
    ASSERT_TRUE(held);
    EXPECT_EQ(*held, message(0x04, 0x0000)) << "held off: the request is echoed";
    auto broken = peer.ask(ControlPort, message(0x2a, 0));
    ASSERT_TRUE(broken);
    EXPECT_EQ(*broken, message(0x2b, 0x0001));
    auto served = peer.ask(ControlPort, message64(0x04, 0, 0));
    ASSERT_TRUE(served);
    EXPECT_EQ(header(*served).id, 0x05);
}

// The stop windows' log lines name the host by its address text (address,
// comma, port; the key's port is 0).
TEST_F(SinkControl, StopWindowLogLinesNameTheHost) {
    LogListener log;
    ASSERT_TRUE(log.ok());
    ORVEX::IPAddress host;
    host.address[15] = 1;
    host.set_port(4000);
    host.ifIndex = 1;
    driver->run([&] { sink->nop(host, 1, false); });
    std::vector<std::string> seen;
    ASSERT_TRUE(eventually(
        [&] {
            for (auto& line : log.lines(0ms)) seen.push_back(line);
            return LogListener::count(seen, "Nop remove si ") > 0;
        },
        3000ms));
    EXPECT_EQ(LogListener::count(seen, "Nop SI add:::1,0"), 1u);
    EXPECT_EQ(LogListener::count(seen, "Nop remove si ::1,0"), 1u);
    driver->run([&] { sink->nop(ORVEX::IPAddress(), 0, false); });
    EXPECT_EQ(LogListener::count(log.lines(100ms), "Nop SI clear:"), 1u);
}

TEST_F(SinkControl, ClockTableFromLoopback) {
    UdpPeer peer;
    Bytes payload;
    auto record = [&](std::int64_t offset, std::uint8_t last, std::uint16_t index) {
        for (int i = 0; i < 8; ++i) payload.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(offset) >> (8 * i)));
        for (int i = 0; i < 15; ++i) payload.push_back(i == 0 ? 0xfe : (i == 1 ? 0x80 : 0));
        payload.push_back(last);
        payload.push_back(static_cast<std::uint8_t>(index));
        payload.push_back(static_cast<std::uint8_t>(index >> 8));
    };
    record(1000, 1, 3);
    record(-50, 2, 4);
    payload.insert(payload.end(), {1, 2, 3, 4, 5});  // a partial record is ignored
    ASSERT_TRUE(peer.sendTo(ControlPort, message(0x800c, 0, 0, 0, 0, 0, payload)));
    // The control port takes its datagrams in order: once the next request is
    // answered, the table has been stored, and nothing answered it.
    auto next = peer.ask(ControlPort, message64(0x04, 0, 0));
    ASSERT_TRUE(next);
    EXPECT_EQ(header(*next).id, 0x05) << "no answer to the clock table";

    ORVEX::IPAddress h1, h2;
    h1.address[0] = 0xfe;
    h1.address[1] = 0x80;
    h1.address[15] = 1;
    h1.ifIndex = 3;
    h2 = h1;
    h2.address[15] = 2;
    h2.ifIndex = 4;
    EXPECT_EQ(sink->YouToMy(h1, ORVEX::Clock(1000)).picoseconds(), 1u) << "0 becomes 1";
    EXPECT_EQ(sink->YouToMy(h2, ORVEX::Clock(100)).picoseconds(), 150u);
    ORVEX::IPAddress unknown = h1;
    unknown.ifIndex = 9;
    EXPECT_EQ(sink->YouToMy(unknown, ORVEX::Clock(100)).picoseconds(), 0u);
}

TEST_F(SinkControl, ClockTableFromAnyOtherAddressIsIgnored) {
    if (!addLocalAddress("fd00::5")) GTEST_SKIP() << "cannot add an address here";
    UdpPeer remote(0, "fd00::5");
    ASSERT_TRUE(remote.ok());
    Bytes payload(26, 0);
    payload[0] = 10;
    payload[8 + 15] = 1;
    ASSERT_TRUE(remote.sendTo(ControlPort, message(0x800c, 0, 0, 0, 0, 0, payload)));
    auto next = remote.ask(ControlPort, message64(0x04, 0, 0));
    ASSERT_TRUE(next);
    EXPECT_EQ(header(*next).id, 0x05) << "dropped silently, no echo";
    ORVEX::IPAddress host;
    host.address[15] = 1;
    EXPECT_EQ(sink->YouToMy(host, ORVEX::Clock(100)).picoseconds(), 0u);
}

// The connect answer cannot be sent (the sender's address vanished while the
// application consented): the connection is taken back, the application gets
// its one disconnect notice, and the stream thread ends its data phase quietly.
TEST_F(SinkControl, UnsendableConnectAnswerEndsTheConnectionOnce) {
    if (!addLocalAddress("fd00::6")) GTEST_SKIP() << "cannot add an address here";
    UdpPeer vanishing(0, "fd00::6");
    ASSERT_TRUE(vanishing.ok());
    // The hook is the application's: it is set and cleared on the application
    // thread, between control steps.
    driver->run([&] { sink->onConnect = [] { tmtest::shell("ip -6 addr del fd00::6/128 dev lo"); }; });
    ASSERT_TRUE(vanishing.sendTo(ControlPort, message64(0x08, 0, Pcm32At44k)));
    ASSERT_TRUE(eventually([&] { return sink->disconnects == 1; }));
    EXPECT_EQ(sink->disconnectCause, static_cast<int>(ZARNITH::Sink::EndCause::Local));
    EXPECT_TRUE(eventually([&] { return sink->getState() == ZARNITH::Sink::IDLE && sink->getBaseStatus() == 0; }));
    std::this_thread::sleep_for(700ms);  // longer than the data time-out
    EXPECT_EQ(sink->disconnects, 1) << "no second notice from the stream thread";
    EXPECT_TRUE(sink->isRunning());

    driver->run([&] { sink->onConnect = nullptr; });
    UdpPeer next;
    auto ok = next.ask(ControlPort, message64(0x08, 0, Pcm32At44k));
    ASSERT_TRUE(ok);
    EXPECT_EQ(header(*ok).status, 0x0003);
}

// A connect that ends halfway, after the checks: nothing of it stays behind,
// and the application gets a disconnect notice exactly when it had consented.
// (A refused connectStream and an unsendable answer are tested above.)
TEST(SinkConnectUndo, AConnectEndedHalfwayLeavesNothingBehind) {
    if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (fixed ports 19644-19645)";
    struct Rig {
        ORVEX::Socket::Waiter waiter;
        ZARNITH::ClosingSink<RecordingSink> sink{recorderSetting(), waiter};
        std::unique_ptr<SinkDriver> driver;
        UdpPeer sender;
        std::unique_ptr<UdpPeer> squatter;  // holds the header-less port
    };
    struct Case {
        const char* what;
        std::function<void(Rig&)> arrange;
        std::uint16_t connectId;
        bool answered;  // refused with an answer, else no answer at all
        int connects, starts, disconnects;  // the application's calls, the arrangement's included
        ZARNITH::Sink::EndCause lastCause;  // of the last disconnect notice
        bool stillRunning;
    };
    const std::vector<Case> cases = {
        {"the header-less port of the last connection is taken",
         [](Rig& r) {
             auto first = r.sender.ask(ControlPort, message64(0x48, 0, Pcm32At44k));
             ASSERT_TRUE(first);
             ASSERT_EQ(header(*first).status, 0x0003);
             ASSERT_TRUE(eventually([&] { return r.sink.starts == 1; }));
             ASSERT_TRUE(r.sender.sendTo(StreamPort, message(0x0c, 0)));
             ASSERT_TRUE(r.sender.receiveId(0x0d, 1000ms));
             r.squatter = std::make_unique<UdpPeer>(header(*first).o[1]);
             ASSERT_TRUE(r.squatter->ok());
         },
         0x48, false, 1, 1, 1, ZARNITH::Sink::EndCause::Request, true},
        {"the stream thread ends while the application consents",
         [](Rig& r) {
             r.driver->run([&] {
                 r.sink.onConnect = [&r] {
                     r.sink.errDisconnect();
                     // The ended thread has left no connection behind.
                     (void)eventually([&] { return r.sink.getState() == ZARNITH::Sink::IDLE; });
                 };
             });
         },
         0x08, true, 1, 0, 1, ZARNITH::Sink::EndCause::Local, false},
    };
    for (const Case& c : cases) {
        Rig r;
        std::uint16_t ctrl = 0, stream = 0;
        ASSERT_TRUE(r.sink.open(ctrl, stream)) << c.what;
        r.driver = std::make_unique<SinkDriver>(r.sink, r.waiter);
        ASSERT_TRUE(settlePreConnect(ControlPort)) << c.what;
        c.arrange(r);
        if (::testing::Test::HasFatalFailure()) return;

        const int falseSteps = r.driver->falseSteps();
        ASSERT_TRUE(r.sender.sendTo(ControlPort, message64(c.connectId, 0, Pcm32At44k))) << c.what;
        if (c.answered) {
            auto answer = r.sender.receive(1000ms);
            ASSERT_TRUE(answer) << c.what;
            EXPECT_EQ(*answer, message(c.connectId + 1, 0x0000)) << c.what;
        } else {
            ASSERT_TRUE(eventually([&] { return r.driver->falseSteps() > falseSteps; })) << c.what;
            EXPECT_FALSE(r.sender.receive(0ms)) << c.what << ": no answer";
        }
        EXPECT_EQ(r.sink.getState(), ZARNITH::Sink::IDLE) << c.what;
        EXPECT_EQ(r.sink.getBaseStatus(), 0) << c.what;
        EXPECT_EQ(r.sink.connects, c.connects) << c.what;
        EXPECT_EQ(r.sink.starts, c.starts) << c.what;
        EXPECT_EQ(r.sink.disconnects, c.disconnects) << c.what;
        EXPECT_EQ(r.sink.disconnectCause, static_cast<int>(c.lastCause)) << c.what;
        EXPECT_EQ(r.sink.isRunning(), c.stillRunning) << c.what;

        // The next connect finds the sink as the undone one left it.
        r.driver->run([&] { r.sink.onConnect = nullptr; });
        auto next = r.sender.ask(ControlPort, message64(0x08, 0, Pcm32At44k));
        ASSERT_TRUE(next) << c.what;
        EXPECT_EQ(header(*next).status, c.stillRunning ? 0x0003 : 0x0000) << c.what;
        r.driver.reset();
        r.sink.close();
    }
}

TEST(SinkOpen, FallsBackToSystemPortsWhenTheDefaultsAreTaken) {
    if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (fixed ports)";
    ORVEX::Socket::Waiter waiter;
    ZARNITH::ClosingSink<RecordingSink> first(recorderSetting(), waiter);
    ZARNITH::ClosingSink<RecordingSink> second(recorderSetting(), waiter);
    std::uint16_t c1 = 0, s1 = 0, c2 = 0, s2 = 0;
    ASSERT_TRUE(first.open(c1, s1));
    EXPECT_EQ(c1, ControlPort);
    EXPECT_EQ(s1, StreamPort);
    ASSERT_TRUE(second.open(c2, s2));
    EXPECT_NE(c2, 0);
    EXPECT_NE(s2, 0);
    EXPECT_NE(c2, ControlPort);
    EXPECT_NE(s2, StreamPort);
    first.close();
    first.close();  // twice is harmless
}

// A control step that finds its socket already drained (the waiter's answer is
// from an earlier wait) returns at once instead of blocking its caller.
TEST(SinkOpen, ControlStepNeverBlocksOnADrainedSocket) {
    if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (fixed ports)";
    ORVEX::Socket::Waiter waiter;
    ZARNITH::ClosingSink<RecordingSink> sink(recorderSetting(), waiter);
    std::uint16_t ctrl = 0, stream = 0;
    ASSERT_TRUE(sink.open(ctrl, stream));
    UdpPeer peer;
    ASSERT_TRUE(peer.sendTo(ctrl, message64(0x04, 0, 0)));
    ASSERT_EQ(waiter.wait(ORVEX::Clock::fromSeconds(1)), ORVEX::WaitResult::Ready);
    (void)sink.controlLoop();
    ASSERT_TRUE(peer.receive(1000ms));
    std::atomic<bool> returned{false};
    std::thread second([&] {
        (void)sink.controlLoop();  // the same readiness again, nothing queued
        returned = true;
    });
    const bool prompt = eventually([&] { return returned.load(); }, 2000ms);
    if (!prompt) peer.sendTo(ctrl, message64(0x04, 0, 0));  // unblock it to end the test
    second.join();
    EXPECT_TRUE(prompt);
}

TEST(SinkOpen, PhaseStatus) {
    ORVEX::Socket::Waiter waiter;
    struct Case {
        std::uint8_t control, invert;
        bool setInvert;
        std::uint16_t opened, after;
    };
    const Case cases[] = {{1, 0, true, 0x0180, 0x0100}, {1, 1, false, 0x0100, 0x0180}, {0, 0, true, 0, 0}};
    for (const Case& c : cases) {
        auto setting = recorderSetting();
        setting.phaseControl = c.control;
        setting.phaseInvert = c.invert;
        ZARNITH::ClosingSink<RecordingSink> sink(setting, waiter);
        std::uint16_t ctrl = 0, stream = 0;
        ASSERT_TRUE(sink.open(ctrl, stream));
        EXPECT_EQ(sink.getBaseStatus(), c.opened);
        sink.setPhaseInvert(c.setInvert);
        EXPECT_EQ(sink.getBaseStatus(), c.after);
    }
}

}  // namespace
