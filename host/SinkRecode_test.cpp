// The recorder sink against a scripted sender over ::1: the formats it takes,
// its latency, the neutral rate report for every report request, the new
// track at connect, and the end of a recording handed from the stream thread
// to the main thread through the waiter.
#include "host/SinkRecode.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "sink/SinkTestKit.h"
#include "tests/support/TestSupport.h"

using namespace sinktest;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t ControlPort = 19644;
constexpr std::uint16_t StreamPort = 19645;

TEST(SinkRecodeFormats, AnswersTheFamiliesThatHoldTheWholeQuery) {
    using namespace ZARNITH;
    struct Case {
        const char* what;
        std::uint64_t query;
        std::uint64_t answer;
    };
    const std::uint64_t pcm = SinkRecode::PcmFamily;
    const std::uint64_t dsd = SinkRecode::DsdFamily;
    const Case cases[] = {
        {"an empty query lies within both", 0, pcm | dsd},
        {"PCM32 stereo 96 kHz", CH2 | PCM32 | BASE_48000 | MULTI_2, pcm},
        {"PCM32 stereo 44.1 x 16", CH2 | PCM32 | BASE_44100 | MULTI_16, pcm},
        {"DSD64 LSB little 32-bit words", CH2 | DSD1 | DSD_LSB | DSD_LITTLE | DSD_WORD32 | BASE_44100 | MULTI_64,
         dsd},
        {"DSD512 at 48 kHz base", CH2 | DSD1 | DSD_LSB | DSD_LITTLE | DSD_WORD32 | BASE_48000 | MULTI_512, dsd},
        {"shared bits only (stereo, 44.1 base)", CH2 | BASE_44100, pcm | dsd},
        {"PCM24", CH2 | PCM24 | BASE_48000 | MULTI_1, 0},
        {"PCM32 mono", CH1 | PCM32 | BASE_48000 | MULTI_1, 0},
        {"PCM32 at 44.1 x 32", CH2 | PCM32 | BASE_44100 | MULTI_32, 0},
        {"DSD MSB first", CH2 | DSD1 | DSD_MSB | DSD_LITTLE | DSD_WORD32 | BASE_44100 | MULTI_64, 0},
        {"DSD at 44.1 x 1", CH2 | DSD1 | DSD_LSB | DSD_LITTLE | DSD_WORD32 | BASE_44100 | MULTI_1, 0},
        {"bits of both families", CH2 | PCM32 | DSD1 | BASE_44100 | MULTI_1, 0},
        {"a reserved bit", CH2 | PCM32 | BASE_48000 | MULTI_1 | (1ULL << 50), 0},
    };
    ORVEX::Socket::Waiter waiter;
    SinkRecode recorder(SinkRecode::Setting::recorder(), waiter);
    for (const Case& c : cases) {
        ZARNITH::FormatID id = static_cast<ZARNITH::FormatID>(c.query);
        EXPECT_TRUE(recorder.checkFormat(id)) << c.what;
        EXPECT_EQ(static_cast<std::uint64_t>(id), c.answer) << c.what;
    }
}

// The main thread of a host in miniature: builds the recorder, waits on its
// waiter and runs the control step and the recorder's poll; test work can be
// posted to it, and it can be held in a long command.
class MainThread {
public:
    struct Calls {
        std::atomic<int> formats{0};
        std::atomic<int> streams{0};
        std::atomic<int> flushes{0};       // ends run
        std::atomic<int> flushTries{0};    // calls of recordFlush, refused ones included
        std::atomic<bool> offMainThread{false};
        std::atomic<std::uint64_t> lastFormat{0};
    };

    MainThread() {
        thread_ = std::thread([this] { body(); });
        while (!ready_) std::this_thread::sleep_for(1ms);
    }
    ~MainThread() {
        stop_ = true;
        release();
        waitMilliseconds = 5;
        UdpPeer waker;  // ends a long wait
        (void)waker.sendTo(ControlPort, message64(0x04, 0, 0));
        thread_.join();
    }

    bool opened() const { return opened_; }
    SinkRecode& recorder() { return *recorder_; }

    // Holds the main thread (as a long command would) until release().
    void hold() {
        held_ = false;
        holding_ = true;
        while (!held_) std::this_thread::sleep_for(1ms);
    }
    void release() { holding_ = false; }

    Calls calls;
    std::atomic<bool> ringBusy{false};        // recordFlush refuses while set
    std::atomic<long> waitMilliseconds{5};    // the main loop's wait

private:
    void body() {
        ORVEX::Socket::Waiter waiter;
        recorder_ = std::make_unique<SinkRecode>(SinkRecode::Setting::recorder(), waiter);
        const std::thread::id self = std::this_thread::get_id();
        recorder_->recordStream = [this, self](ORVEX::BufferCS_const) {
            if (std::this_thread::get_id() != self) calls.offMainThread = true;
            ++calls.streams;
            return true;
        };
        recorder_->recordFormat = [this, self](ZARNITH::FormatConfigure& f) {
            if (std::this_thread::get_id() != self) calls.offMainThread = true;
            calls.lastFormat = f.word;
            ++calls.formats;
            return true;
        };
        recorder_->recordFlush = [this, self](ORVEX::BufferCS_const bytes) {
            if (std::this_thread::get_id() != self) calls.offMainThread = true;
            ++calls.flushTries;
            if (bytes.size != 0) return true;  // nothing of the stream is ever handed over
            if (ringBusy) return false;
            ++calls.flushes;
            return true;
        };
        std::uint16_t control = 0, stream = 0;
        opened_ = recorder_->openRecorder(control, stream);
        ready_ = true;
        while (!stop_) {
            if (holding_) {
                held_ = true;
                while (holding_) std::this_thread::sleep_for(1ms);
                continue;
            }
            const ORVEX::WaitResult result =
                waiter.wait(ORVEX::Clock::fromMilliseconds(static_cast<std::uint64_t>(waitMilliseconds)));
            if (result == ORVEX::WaitResult::Error) continue;
            (void)recorder_->controlLoop();
            recorder_->poll();
        }
        recorder_.reset();
    }

    std::unique_ptr<SinkRecode> recorder_;
    std::thread thread_;
    std::atomic<bool> ready_{false};
    std::atomic<bool> opened_{false};
    std::atomic<bool> stop_{false};
    std::atomic<bool> holding_{false};
    std::atomic<bool> held_{false};
};

class SinkRecodeSession : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (fixed ports 19644, 19645)";
        main = std::make_unique<MainThread>();
        ASSERT_TRUE(main->opened());
    }

    // Inquiries, pre-format, client name and connect; the stream port or 0.
    std::uint16_t connect(std::uint64_t format) {
        auto pre = peer.ask(ControlPort, message64(0x12, 0, preFormatOf(format, 1000)));
        if (!pre || header(*pre).status != 1) return 0;
        auto client = peer.ask(ControlPort, message64(0x18, 1, 0, text("scripted")));
        if (!client || header(*client).status != 1) return 0;
        auto answer = peer.ask(ControlPort, message64(0x08, 0, format));
        if (!answer || (header(*answer).status & 1) == 0) return 0;
        return header(*answer).o[0];
    }

    // Data messages [first, first + count), 1000 bytes each; every tenth asks
    // for a report. Returns the reports (rate and resend) that came back.
    std::vector<Header> stream(std::uint16_t first, std::uint16_t count) {
        std::vector<Header> reports;
        const Bytes payload(1000, 0x5A);
        for (std::uint16_t s = first; s < first + count; ++s) {
            const std::uint16_t status = (s % 10 == 9) ? 0x60 : 0x00;
            peer.sendTo(StreamPort, message(0x0a, status, s, 0, 0, 0, payload));
            if (s % 10 == 9) {
                for (const Bytes& b : peer.drain(5ms))
                    if (header(b).id == 0x0b) reports.push_back(header(b));
            }
        }
        for (const Bytes& b : peer.drain(100ms))
            if (header(b).id == 0x0b) reports.push_back(header(b));
        return reports;
    }

    bool disconnectAnswered() {
        if (!peer.sendTo(StreamPort, message(0x0c, 0))) return false;
        return peer.receiveId(0x0d, 3000ms).has_value();
    }

    std::unique_ptr<MainThread> main;
    UdpPeer peer;
};

TEST_F(SinkRecodeSession, AnswersInquiriesWithItsFormatsAndLatency) {
    auto formats = peer.ask(ControlPort, message64(0x04, 0, 0));
    ASSERT_TRUE(formats);
    EXPECT_EQ(header(*formats).status & 1, 1);
    EXPECT_EQ(header(*formats).option(), SinkRecode::PcmFamily | SinkRecode::DsdFamily);
    auto pcm24 = peer.ask(ControlPort, message64(0x04, 0, 0x02 | 0x400 | (0x000CULL << 32)));
    ASSERT_TRUE(pcm24);
    EXPECT_EQ(header(*pcm24).option(), 0u);

    // Whatever the sender asks for, the recorder answers 100 ms and 20 ms.
    auto latency = peer.ask(ControlPort, message(0x06, 0, 300, 7, 9));
    ASSERT_TRUE(latency);
    EXPECT_EQ(header(*latency).o[0], 1000);
    EXPECT_EQ(header(*latency).o[1], 200);
    EXPECT_EQ(header(*latency).o[2], 5000);

    // A format outside both families is refused at connect, and no track starts.
    auto refused = peer.ask(ControlPort, message64(0x08, 0, 0x02 | 0x400 | (0x000CULL << 32)));
    ASSERT_TRUE(refused);
    EXPECT_EQ(header(*refused).status & 1, 0);
    EXPECT_EQ(main->calls.formats, 0);
}

TEST_F(SinkRecodeSession, RecordsAConnectionAndHandsItsEndToTheMainThread) {
    ASSERT_EQ(connect(Pcm32At44k), StreamPort);
    EXPECT_EQ(main->calls.formats, 1);
    EXPECT_EQ(main->calls.lastFormat, Pcm32At44k);

    // Every report request is answered with a neutral rate report.
    const std::vector<Header> reports = stream(0, 60);
    ASSERT_GE(reports.size(), 5u);
    for (const Header& r : reports) {
        EXPECT_EQ(r.status & 0x0008, 0) << "no resend request for an unbroken stream";
        EXPECT_EQ(r.o[0], 0x8000) << "neutral rate code";
        EXPECT_EQ(r.o[1], r.o[2]) << "level on target";
    }

    // The stream thread ends the connection while the main thread is busy in
    // a long command: it never waits for it, and it does not flush itself.
    main->waitMilliseconds = 60000;  // from now on only a wake-up ends a wait
    main->hold();
    EXPECT_TRUE(disconnectAnswered());
    EXPECT_TRUE(eventually([&] { return main->recorder().pendingEnds() == 1; }));
    EXPECT_EQ(main->calls.flushTries, 0);
    main->release();

    // The wake-up datagram ends the main loop's long wait; the end runs there, once.
    EXPECT_TRUE(eventually([&] { return main->calls.flushes == 1; }, 10000ms));
    EXPECT_EQ(main->recorder().pendingEnds(), 0u);
    EXPECT_EQ(main->calls.streams, 0) << "the streamed audio is not kept";
    EXPECT_FALSE(main->calls.offMainThread);
}

TEST_F(SinkRecodeSession, AnEndThatFindsTheRingInUseWaitsForIt) {
    main->ringBusy = true;
    ASSERT_EQ(connect(Pcm32At44k), StreamPort);
    (void)stream(0, 20);
    // The sender falls silent: the sink's time-out ends the connection.
    EXPECT_TRUE(eventually([&] { return main->calls.flushTries >= 2; }, 5000ms));
    EXPECT_EQ(main->calls.flushes, 0);
    EXPECT_EQ(main->recorder().pendingEnds(), 1u);

    main->ringBusy = false;
    EXPECT_TRUE(eventually([&] { return main->calls.flushes == 1; }, 5000ms));
    EXPECT_EQ(main->recorder().pendingEnds(), 0u);

    // The next connection starts a new track; its end is run once more.
    ASSERT_EQ(connect(Pcm32At44k), StreamPort);
    EXPECT_EQ(main->calls.formats, 2);
    (void)stream(0, 20);
    EXPECT_TRUE(disconnectAnswered());
    EXPECT_TRUE(eventually([&] { return main->calls.flushes == 2; }, 5000ms));
    EXPECT_FALSE(main->calls.offMainThread);
}

}  // namespace
