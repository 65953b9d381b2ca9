// The stream receiver against a scripted sender over ::1: delivery in order,
// resend requests, old datagrams, the sequence wrap, reports, disconnects,
// the time-out, foreign datagrams and the header-less mode.
#include <gtest/gtest.h>

#include <memory>

#include "sink/SinkTestKit.h"
#include "tests/support/TestSupport.h"

using namespace sinktest;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t ControlPort = 19644;
constexpr std::uint16_t StreamPort = 19645;

Bytes data(std::uint16_t sequence, std::uint16_t status, const Bytes& payload) {
    return message(0x0a, status, sequence, 0, 0, 0, payload);
}

Bytes pattern(std::uint16_t sequence, std::size_t size = 20) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(sequence * 7 + i);
    return b;
}

class SinkStream : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (fixed ports 19642-19645)";
        sink = std::make_unique<ZARNITH::ClosingSink<RecordingSink>>(recorderSetting(), waiter);
        std::uint16_t ctrl = 0, stream = 0;
        ASSERT_TRUE(sink->open(ctrl, stream));
        driver = std::make_unique<SinkDriver>(*sink, waiter);
        ASSERT_TRUE(settlePreConnect(ControlPort));
    }
    void TearDown() override {
        driver.reset();
        sink.reset();
    }

    // Connects and waits until the data phase has begun (startStream ran).
    void connect(std::uint16_t id = 0x08, const Bytes& payload = {}) {
        const int started = sink->starts;
        auto answer = sender.ask(ControlPort, message64(id, 0, Pcm16At44k, payload));
        ASSERT_TRUE(answer);
        ASSERT_EQ(header(*answer).status, 0x0003);
        answerHeader = header(*answer);
        ASSERT_TRUE(eventually([&] { return sink->starts == started + 1; }));
        EXPECT_TRUE(sink->isStreaming());
    }

    std::vector<Bytes> payloads() {
        std::vector<Bytes> out;
        for (auto& d : sink->deliveries()) out.push_back(d.payload);
        return out;
    }

    // Everything the sink sends back before it answers an echo request sent
    // behind the datagrams so far. The stream thread handles the stream port's
    // datagrams in order, so whatever they caused has left by then: no window
    // to guess, on a fast machine or a slow one. `answered` gets the time the
    // echo answer came.
    std::vector<Header> answersBeforeEcho(std::chrono::steady_clock::time_point* answered = nullptr) {
        std::vector<Header> out;
        EXPECT_TRUE(sender.sendTo(StreamPort, message(0x4c, 0)));
        const auto end = std::chrono::steady_clock::now() + 5000ms;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            auto b = sender.receive(std::max(left, 0ms));
            if (!b) {
                ADD_FAILURE() << "no echo answer";
                return out;
            }
            if (header(*b).id == 0x4d) break;
            out.push_back(header(*b));
        }
        if (answered != nullptr) *answered = std::chrono::steady_clock::now();
        return out;
    }

    ORVEX::Socket::Waiter waiter;
    std::unique_ptr<ZARNITH::ClosingSink<RecordingSink>> sink;
    std::unique_ptr<SinkDriver> driver;
    UdpPeer sender;
    Header answerHeader;
};

TEST_F(SinkStream, RunsAtRealTimePriorityAndDeliversInOrderByTheLengthCode) {
    connect();
    EXPECT_EQ(sink->schedPolicy, SCHED_FIFO);
    EXPECT_EQ(sink->schedPriority, 99);
    // Message 1 comes as a resend does: two extra bytes behind its padded length.
    Bytes resendForm = data(1, 0, pattern(1, 5));
    resendForm.resize(resendForm.size() + 8, 0xEE);
    ASSERT_TRUE(sender.sendTo(StreamPort, data(0, 0, pattern(0))));
    ASSERT_TRUE(sender.sendTo(StreamPort, resendForm));
    ASSERT_TRUE(sender.sendTo(StreamPort, data(2, 0, {})));
    ASSERT_TRUE(eventually([&] { return sink->deliveryCount() == 3; }));
    const auto got = payloads();
    EXPECT_EQ(got[0], pattern(0));
    EXPECT_EQ(got[1], pattern(1, 5)) << "the payload size comes from the length code";
    EXPECT_TRUE(got[2].empty());
    EXPECT_TRUE(answersBeforeEcho().empty()) << "nothing asked, nothing sent";
}

TEST_F(SinkStream, GapGivesOneResendRequestPerTenMillisecondsThenTakesTheResends) {
    connect();
    for (std::uint16_t s : {0, 1}) ASSERT_TRUE(sender.sendTo(StreamPort, data(s, 0, pattern(s))));
    // 3 to 6 back to back: one request (expected 2, received 3), the rest inside
    // 10 ms. The sink handles them between the first send and the echo answer,
    // so a descheduled thread on either side can only widen that span; one more
    // request per 10 ms of it is allowed.
    const auto burstStart = std::chrono::steady_clock::now();
    for (std::uint16_t s : {3, 4, 5, 6}) ASSERT_TRUE(sender.sendTo(StreamPort, data(s, 0, pattern(s))));
    std::chrono::steady_clock::time_point handled;
    const auto first = answersBeforeEcho(&handled);
    const std::size_t allowed = 1 + static_cast<std::size_t>((handled - burstStart) / 10ms);
    ASSERT_GE(first.size(), 1u);
    ASSERT_LE(first.size(), std::min<std::size_t>(allowed, 4));
    EXPECT_EQ(first[0].id, 0x0b);
    EXPECT_EQ(first[0].status, 0x000A) << "base (playing) | resend";
    EXPECT_EQ(first[0].o[0], 0);
    EXPECT_EQ(first[0].o[1], 2);
    EXPECT_EQ(first[0].o[2], 3);
    EXPECT_EQ(first[0].o[3], 0);
    for (const Header& h : first) EXPECT_EQ(h.o[1], 2) << "every request names the first missing one";
    EXPECT_EQ(sink->deliveryCount(), 2u) << "out-of-order datagrams are not delivered";

    // 10 ms after the last request, the next out-of-order datagram asks again.
    std::this_thread::sleep_until(handled + 11ms);
    ASSERT_TRUE(sender.sendTo(StreamPort, data(7, 0, pattern(7))));
    const auto second = answersBeforeEcho();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].o[1], 2);
    EXPECT_EQ(second[0].o[2], 7);

    // The resends from 2 on are taken; a repeat and an old one are dropped.
    for (std::uint16_t s = 2; s <= 7; ++s) ASSERT_TRUE(sender.sendTo(StreamPort, data(s, 0, pattern(s))));
    ASSERT_TRUE(sender.sendTo(StreamPort, data(7, 0, pattern(99))));
    ASSERT_TRUE(sender.sendTo(StreamPort, data(1, 0, pattern(98))));
    ASSERT_TRUE(sender.sendTo(StreamPort, data(8, 0, pattern(8))));
    EXPECT_TRUE(answersBeforeEcho().empty()) << "nothing is missing any more";
    const auto got = payloads();
    ASSERT_EQ(got.size(), 9u);
    for (std::uint16_t s = 0; s <= 8; ++s) EXPECT_EQ(got[s], pattern(s)) << s;
    EXPECT_EQ(sink->resendCount(), first.size() + second.size());
}

TEST_F(SinkStream, FirstDatagramMustBeSequenceZero) {
    connect();
    ASSERT_TRUE(sender.sendTo(StreamPort, data(5, 0, pattern(5))));
    auto request = answersBeforeEcho();
    ASSERT_EQ(request.size(), 1u);
    EXPECT_EQ(request[0].o[1], 0);
    EXPECT_EQ(request[0].o[2], 5);
    EXPECT_EQ(sink->deliveryCount(), 0u);
    ASSERT_TRUE(sender.sendTo(StreamPort, data(0, 0, pattern(0))));
    EXPECT_TRUE(eventually([&] { return sink->deliveryCount() == 1; }));
}

TEST_F(SinkStream, SequenceWrapsFrom65535ToZero) {
    connect();
    // 65536 + 5 datagrams, paced by what the sink has delivered; whatever the
    // sink asks for again (a datagram lost to a full socket buffer) is resent.
    const std::uint32_t total = 65541;
    std::uint32_t sent = 0;
    auto send = [&](std::uint32_t s) {
        return sender.sendTo(StreamPort, data(static_cast<std::uint16_t>(s), 0, {static_cast<std::uint8_t>(s)}));
    };
    while (sent < total) {
        const std::uint32_t burst = std::min<std::uint32_t>(total - sent, 64);
        for (std::uint32_t i = 0; i < burst; ++i, ++sent) ASSERT_TRUE(send(sent));
        ASSERT_TRUE(eventually(
            [&] {
                for (const Bytes& b : sender.drain(std::chrono::milliseconds(0))) {
                    const Header h = header(b);
                    if (h.id != 0x0b || !(h.status & 0x0008)) continue;
                    const std::uint32_t from = sent - static_cast<std::uint16_t>(sent - h.o[1]);
                    for (std::uint32_t s = from; s < sent; ++s) send(s);
                }
                return sink->deliveryCount() == sent;
            },
            10000ms))
            << sent;
    }
    const auto got = sink->deliveries();
    ASSERT_EQ(got.size(), total);
    for (std::uint32_t s = 65530; s < total; ++s) EXPECT_EQ(got[s].payload, Bytes{static_cast<std::uint8_t>(s)}) << s;
    // After the wrap, 65535 is old and 6 is a gap from 5.
    ASSERT_TRUE(sender.sendTo(StreamPort, data(65535, 0, {1})));
    ASSERT_TRUE(sender.sendTo(StreamPort, data(6, 0, {1})));
    auto request = answersBeforeEcho();
    ASSERT_EQ(request.size(), 1u);
    EXPECT_EQ(request[0].o[1], 5);
    EXPECT_EQ(request[0].o[2], 6);
}

TEST_F(SinkStream, ReportFlagsAndPreparedRateReports) {
    connect();
    ASSERT_TRUE(sender.sendTo(StreamPort, data(0, 0x0020, pattern(0))));
    ASSERT_TRUE(eventually([&] { return sink->deliveryCount() == 1; }));
    driver->run([] {});  // the connect step has ended, and its notices with it
    const int eventsBefore = sink->events;
    ASSERT_TRUE(sender.sendTo(StreamPort, data(1, 0x0040, pattern(1))));
    ASSERT_TRUE(eventually([&] { return sink->deliveryCount() == 2; }));
    EXPECT_TRUE(answersBeforeEcho().empty()) << "no report without updateStreamRate";
    const auto got = sink->deliveries();
    EXPECT_TRUE(got[0].reportWanted);
    EXPECT_FALSE(got[1].reportWanted);
    EXPECT_EQ(sink->events, eventsBefore + 1) << "a cycle end notifies";

    // 44.1 kHz, 16 bits, 2 channels: 1764 bytes are 10 ms, 100 units.
    sink->rateCurrent = 4900;
    sink->rateTarget = 5000;
    ASSERT_TRUE(sink->updateStreamRate(1764));
    ASSERT_TRUE(sender.sendTo(StreamPort, data(2, 0, pattern(2))));
    ASSERT_TRUE(sender.sendTo(StreamPort, data(3, 0, pattern(3))));
    auto reports = answersBeforeEcho();
    ASSERT_EQ(reports.size(), 1u) << "exactly one report per preparation";
    EXPECT_EQ(reports[0].id, 0x0b);
    EXPECT_EQ(reports[0].status, 0x0023);
    EXPECT_EQ(reports[0].o[0], 0x8000);
    EXPECT_EQ(reports[0].o[1], 5000);
    EXPECT_EQ(reports[0].o[2], 5000);

    sink->rateCurrent = 2500;
    ASSERT_TRUE(sink->updateStreamRate(0));
    ASSERT_TRUE(sender.sendTo(StreamPort, data(4, 0, pattern(4))));
    reports = answersBeforeEcho();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].o[0], 0xE000);
    EXPECT_EQ(reports[0].o[1], 2500);
}

TEST_F(SinkStream, DisconnectRequestIsAnsweredAfterTheApplicationAndLateRepeatsFromTheSenderOnly) {
    connect();
    ASSERT_TRUE(sender.sendTo(StreamPort, data(0, 0, pattern(0))));
    ASSERT_TRUE(eventually([&] { return sink->deliveryCount() == 1; }));
    ASSERT_TRUE(sender.sendTo(StreamPort, message(0x0c, 0)));
    auto answer = sender.receiveId(0x0d, 1000ms);
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, message(0x0d, 0x0000));
    EXPECT_EQ(sink->disconnects, 1);
    EXPECT_EQ(sink->disconnectCause, static_cast<int>(ZARNITH::Sink::EndCause::Request));
    EXPECT_EQ(sink->getState(), ZARNITH::Sink::IDLE);
    EXPECT_EQ(sink->getBaseStatus(), 0);

    // A repeat from the sender is answered in the idle phase; from another port it is dropped.
    ASSERT_TRUE(sender.sendTo(StreamPort, message(0x0c, 0)));
    auto late = sender.receive(1000ms);
    ASSERT_TRUE(late);
    EXPECT_EQ(*late, message(0x0d, 0x0000));
    UdpPeer other;
    ASSERT_TRUE(other.sendTo(StreamPort, message(0x0c, 0)));
    EXPECT_FALSE(other.receive(200ms));
    EXPECT_EQ(sink->disconnects, 1) << "disconnectStream runs once per connection";
}

TEST_F(SinkStream, SilenceEndsTheConnectionAfterHalfASecondWithoutAMessage) {
    connect();
    ASSERT_TRUE(sender.sendTo(StreamPort, data(0, 0, pattern(0))));
    ASSERT_TRUE(eventually([&] { return sink->deliveryCount() == 1; }));
    const auto lastSent = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] { return sink->disconnects == 1; }, 3000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - lastSent, 450ms);
    EXPECT_EQ(sink->disconnectCause, static_cast<int>(ZARNITH::Sink::EndCause::Timeout));
    EXPECT_TRUE(eventually([&] { return sink->getState() == ZARNITH::Sink::IDLE; }));
    EXPECT_EQ(sink->getBaseStatus() & 0x0002, 0);
    EXPECT_TRUE(sender.drain(200ms).empty()) << "a time-out sends nothing to the sender";
    // The sink takes the next connection.
    connect();
}

TEST_F(SinkStream, IgnoresForeignAndEmptyDatagramsAndKeepsReceiving) {
    connect();
    UdpPeer stranger;
    ASSERT_TRUE(stranger.sendTo(StreamPort, data(0, 0, pattern(50))));
    ASSERT_TRUE(stranger.sendTo(StreamPort, message(0x0c, 0)));
    ASSERT_TRUE(sender.sendTo(StreamPort, Bytes{}));
    ASSERT_TRUE(sender.sendTo(StreamPort, Bytes{1, 2, 3}));
    // A header whose length code claims 9 payload bytes that never came.
    ASSERT_TRUE(sender.sendTo(StreamPort, Bytes{0x64, 0, 0x27, 0, 0x0a, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(sender.sendTo(StreamPort, message(0x4c, 0)));
    auto echo = sender.receive(1000ms);
    ASSERT_TRUE(echo);
    EXPECT_EQ(*echo, message(0x4d, 0x0002));
    EXPECT_FALSE(stranger.receive(100ms));
    ASSERT_TRUE(sender.sendTo(StreamPort, data(0, 0, pattern(0))));
    ASSERT_TRUE(eventually([&] { return sink->deliveryCount() == 1; }));
    EXPECT_EQ(payloads()[0], pattern(0));
    EXPECT_EQ(sink->getState(), ZARNITH::Sink::CONNECTED);
    EXPECT_TRUE(sink->isRunning());
}

TEST_F(SinkStream, DoneStreamRefusalEndsTheConnectionWithItsOneNotice) {
    connect();
    sink->doneResult = false;
    ASSERT_TRUE(sender.sendTo(StreamPort, data(0, 0, pattern(0))));
    ASSERT_TRUE(eventually([&] { return sink->disconnects == 1; }));
    EXPECT_TRUE(eventually([&] { return !sink->isRunning(); }));
    EXPECT_EQ(sink->getState(), ZARNITH::Sink::IDLE);
    EXPECT_EQ(sink->getBaseStatus(), 0);
    auto refused = sender.ask(ControlPort, message64(0x08, 0, Pcm16At44k));
    ASSERT_TRUE(refused);
    EXPECT_EQ(*refused, message(0x09, 0x0000)) << "no stream thread, no connection";
}

TEST_F(SinkStream, CloseDuringAConnectionEndsItOnceAndTellsTheSender) {
    connect();
    ASSERT_TRUE(sender.sendTo(StreamPort, data(0, 0, pattern(0))));
    ASSERT_TRUE(eventually([&] { return sink->deliveryCount() == 1; }));
    driver.reset();
    sink->close();
    EXPECT_EQ(sink->disconnects, 1);
    EXPECT_EQ(sink->disconnectCause, static_cast<int>(ZARNITH::Sink::EndCause::Local));
    EXPECT_TRUE(sender.receiveId(0x0d, 500ms));
}

TEST_F(SinkStream, LocalStopDisconnectsAndHoldsTheSenderOff) {
    connect();
    ASSERT_TRUE(sender.sendTo(StreamPort, data(0, 0, pattern(0))));
    ASSERT_TRUE(eventually([&] { return sink->deliveryCount() == 1; }));
    driver->run([&] { sink->stop(5, false); });
    EXPECT_EQ(sink->disconnects, 1);
    EXPECT_EQ(sink->disconnectCause, static_cast<int>(ZARNITH::Sink::EndCause::Local));
    EXPECT_TRUE(sender.receiveId(0x0d, 500ms));
    auto held = sender.ask(ControlPort, message64(0x04, 0, 0));
    ASSERT_TRUE(held);
    EXPECT_EQ(*held, message(0x04, 0x0000));
}

TEST_F(SinkStream, HeaderlessModeWithItsSevenBitTrailer) {
    Bytes start(8, 0);
    connect(0x48, start);
    EXPECT_EQ(answerHeader.id, 0x49);
    EXPECT_EQ(answerHeader.o[0], StreamPort);
    const std::uint16_t msPort = answerHeader.o[1];
    ASSERT_NE(msPort, 0);
    auto ms = [](std::uint8_t sequence, bool report, const Bytes& payload) {
        Bytes b = payload;
        b.push_back(static_cast<std::uint8_t>((sequence & 0x7F) | (report ? 0x80 : 0)));
        return b;
    };
    ASSERT_TRUE(sender.sendTo(msPort, ms(0, true, pattern(0))));
    ASSERT_TRUE(sender.sendTo(msPort, ms(1, false, pattern(1))));
    ASSERT_TRUE(eventually([&] { return sink->deliveryCount() == 2; }));
    // Sequence 3 instead of 2: a resend request from the stream port.
    ASSERT_TRUE(sender.sendTo(msPort, ms(3, false, pattern(3))));
    std::uint16_t from = 0;
    auto request = sender.receive(500ms, &from);
    ASSERT_TRUE(request);
    EXPECT_EQ(from, StreamPort);
    EXPECT_EQ(*request, message(0x0b, 0x000A, 0, 2, 3, 0));
    // Header messages on the stream port are not data here.
    ASSERT_TRUE(sender.sendTo(StreamPort, data(2, 0, pattern(2))));
    ASSERT_TRUE(sender.sendTo(msPort, ms(2, false, pattern(2))));
    ASSERT_TRUE(eventually([&] { return sink->deliveryCount() == 3; }));
    const auto got = sink->deliveries();
    EXPECT_EQ(got[0].payload, pattern(0));
    EXPECT_TRUE(got[0].reportWanted);
    EXPECT_FALSE(got[1].reportWanted);
    EXPECT_EQ(got[2].payload, pattern(2));
    // 128 on wraps to trailer 0 again.
    for (std::uint16_t s = 3; s < 131; ++s) ASSERT_TRUE(sender.sendTo(msPort, ms(static_cast<std::uint8_t>(s), false, {1})));
    EXPECT_TRUE(eventually([&] { return sink->deliveryCount() == 131; }));

    ASSERT_TRUE(sender.sendTo(StreamPort, message(0x0c, 0)));
    EXPECT_TRUE(sender.receiveId(0x0d, 1000ms));
    EXPECT_EQ(sink->disconnects, 1);
    // A second header-less connection binds the same port again.
    connect(0x48, start);
    EXPECT_EQ(answerHeader.o[1], msPort);
}

TEST_F(SinkStream, HeaderlessStartTimeIsConvertedThroughTheClockTable) {
    // The local target's clock record for ::1: its clock runs 1000 ps ahead.
    Bytes record(26, 0);
    record[0] = 0xE8;
    record[1] = 0x03;
    record[8 + 15] = 1;
    // The control port takes its datagrams in order: the record is stored
    // before the connect below is handled.
    ASSERT_TRUE(sender.sendTo(ControlPort, message(0x800c, 0, 0, 0, 0, 0, record)));
    Bytes start(8, 0);
    start[0] = 0x10;
    start[1] = 0x27;  // 10000 ps in the sender's clock
    connect(0x48, start);
    EXPECT_EQ(sink->startTime, 9000u);
    ASSERT_TRUE(sender.sendTo(StreamPort, message(0x0c, 0)));
    ASSERT_TRUE(sender.receiveId(0x0d, 1000ms));
    connect(0x08, start);
    EXPECT_EQ(sink->startTime, 0u) << "a plain connect carries no start time";
}

TEST_F(SinkStream, CloseInHeaderlessModeDoesNotHang) {
    connect(0x48, {});
    driver.reset();
    sink->close();
    EXPECT_EQ(sink->disconnects, 1);
}

// How the stream thread ends, seen in the log: close() is a clean end, idle or
// in the middle of a connection of either mode; errDisconnect is the
// application's error and ends the thread through "worker_str error".
TEST(SinkStreamEnd, CloseIsACleanEndAndErrDisconnectIsNot) {
    if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (fixed ports 19640-19645)";
    LogListener log;
    ASSERT_TRUE(log.ok());
    struct Case {
        const char* what;
        std::uint16_t connectId;  // 0: no connection
        bool errDisconnect;
        std::size_t workerErrors, errExits;
        int disconnects;
    };
    const Case cases[] = {
        {"close while idle", 0, false, 0, 0, 0},
        {"close while connected", 0x08, false, 0, 0, 1},
        {"close while connected header-less", 0x48, false, 0, 0, 1},
        {"errDisconnect while idle", 0, true, 1, 0, 0},
        {"errDisconnect while connected", 0x08, true, 1, 1, 1},
    };
    for (const Case& c : cases) {
        (void)log.lines(0ms);  // what the previous case left
        std::vector<std::string> seen;
        auto see = [&](std::chrono::milliseconds window) {
            for (auto& line : log.lines(window)) seen.push_back(line);
        };
        ORVEX::Socket::Waiter waiter;
        ZARNITH::ClosingSink<RecordingSink> sink(recorderSetting(), waiter);
        std::uint16_t ctrl = 0, stream = 0;
        ASSERT_TRUE(sink.open(ctrl, stream)) << c.what;
        {
            SinkDriver driver(sink, waiter);
            ASSERT_TRUE(settlePreConnect(ctrl)) << c.what;
            UdpPeer sender;
            // The stream thread has begun its idle wait.
            ASSERT_TRUE(eventually([&] {
                see(0ms);
                return LogListener::count(seen, "wt start") > 0;
            })) << c.what;
            if (c.connectId != 0) {
                auto answer = sender.ask(ctrl, message64(c.connectId, 0, Pcm16At44k));
                ASSERT_TRUE(answer) << c.what;
                ASSERT_EQ(header(*answer).status, 0x0003) << c.what;
                ASSERT_TRUE(eventually([&] { return sink.isStreaming(); })) << c.what;
            }
            if (c.errDisconnect) {
                sink.errDisconnect();
                ASSERT_TRUE(eventually([&] {
                    see(0ms);
                    return LogListener::count(seen, "worker_str error") > 0;
                })) << c.what;
            }
        }
        sink.close();
        see(200ms);
        EXPECT_EQ(LogListener::count(seen, "Sink close"), 1u) << c.what;
        EXPECT_EQ(LogListener::count(seen, "worker_str error"), c.workerErrors) << c.what;
        EXPECT_EQ(LogListener::count(seen, "streamWorker err exit"), c.errExits) << c.what;
        EXPECT_EQ(sink.disconnects, c.disconnects) << c.what;
    }
}

}  // namespace
