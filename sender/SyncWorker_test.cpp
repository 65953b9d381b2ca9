// The sender worker against a scripted sink on ::1: the first cycle, the
// sequence numbers, resends, feedback, profile changes, pause, phase, word
// conversion across chunks, the disconnect stages and the time-outs.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "sender/SyncTestPeer.h"

using namespace std::chrono_literals;
using ORVEX::Clock;
using synctest::header;
using synctest::LogCapture;
using synctest::PatternSync;
using synctest::Peer;
using namespace ZARNITH;

namespace {

struct Message {
    MessageID id;
    std::uint16_t seq;
    std::uint16_t status;
    std::vector<std::uint8_t> payload;
    std::size_t datagram;
};

// The sink's two ports, played by the test.
class ScriptedSink {
public:
    // Answers the connect request with the stream port (or refuses it).
    bool accept(const Sync& sync, StatusID status = STATUS_ACCEPT | STATUS_PLAYING) {
        Receive got;
        if (!control.receiveId(CONNECT_REQ, got, sender, 3000ms)) return false;
        EXPECT_EQ(Peer::bytes(got), header(CONNECT_REQ, 0, sync.sendFormat));
        return control.send(sender, Send(CONNECT_ANS, status, stream.address.get_port(), 0, 0, 0));
    }

    // Receives on the stream port until `done` holds or the time runs out;
    // answers report requests with a rate report while `reporting`, and the
    // disconnect request while `answerDisconnect`.
    bool run(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
        const auto end = std::chrono::steady_clock::now() + limit;
        Receive got;
        ORVEX::IPAddress from;
        while (std::chrono::steady_clock::now() < end) {
            if (done()) return true;
            if (!stream.receive(got, from, 20ms)) continue;
            if (!got) continue;
            Message m{got.getMessage(), got.getOption0(), got.getStatus(),
                      std::vector<std::uint8_t>(got.get_data(), got.get_data() + got.size_data()), got.size()};
            messages.push_back(m);
            dataSource = from;
            if (m.id == STREAMDATA_SET && (m.status & STATUS_REPORT) && onReportRequest) onReportRequest(m);
            if (m.id == STREAMDATA_SET && (m.status & STATUS_REPORT) && reporting) rateReport(rateCode);
            if (m.id == DSICONNECT_REQ && answerDisconnect) stream.send(from, Send(DSICONNECT_ANS, STATUS_PLAYING));
        }
        return done();
    }
    void rateReport(std::uint16_t code, std::uint16_t level = 0, std::uint16_t target = 0) {
        stream.send(dataSource,
                    Send(STREAMREPORT_SET, STATUS_ACCEPT | STATUS_REPORT | reportStatus, code, level, target, 0));
    }
    void resendRequest(std::uint16_t first, std::uint16_t received) {
        stream.send(dataSource, Send(STREAMREPORT_SET, STATUS_PLAYING | STATUS_RESEND, 0, first, received, 0));
    }
    std::size_t count(MessageID id) const {
        return static_cast<std::size_t>(
            std::count_if(messages.begin(), messages.end(), [&](const Message& m) { return m.id == id; }));
    }
    // Payload bytes of the data messages in the order of their sequence
    // numbers, each taken once (resends dropped).
    std::vector<std::uint8_t> stream_bytes() const {
        std::vector<std::uint8_t> out;
        std::uint16_t expected = 0;
        for (const Message& m : messages) {
            if (m.id != STREAMDATA_SET || m.seq != expected) continue;
            out.insert(out.end(), m.payload.begin(), m.payload.end());
            ++expected;
        }
        return out;
    }

    Peer control;
    Peer stream;
    ORVEX::IPAddress sender;
    ORVEX::IPAddress dataSource;
    std::vector<Message> messages;
    bool reporting = true;
    bool answerDisconnect = true;
    std::uint16_t rateCode = 0x8000;
    StatusID reportStatus = STATUS_PLAYING;
    std::function<void(const Message&)> onReportRequest;
};

// Bytes of silence before the stream's audio starts.
std::size_t silenceBefore(const std::vector<std::uint8_t>& bytes, std::uint8_t mute) {
    return static_cast<std::size_t>(
        std::find_if(bytes.begin(), bytes.end(), [mute](std::uint8_t b) { return b != mute; }) - bytes.begin());
}

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::start(7);
        ASSERT_TRUE(sink.control.ok && sink.stream.ok);
    }
    void TearDown() override { sync.close(); }

    // Opens, configures a 32-bit stereo stream and connects.
    void connect(const Profile& profile, int mode = Sync::THRED_NONE, Clock info = Clock::fromMilliseconds(10),
                 StatusID status = STATUS_ACCEPT | STATUS_PLAYING) {
        ASSERT_TRUE(sync.open(static_cast<Sync::THRED_MODE>(mode), info, 0, "t", 0, -1, -1, 0));
        if (sync.sendFormat == 0) sync.sendFormat = sync.requestedFormat = synctest::pcm32Stereo48k();
        sync.profiles[0] = profile;
        sync.profileCount = std::max(sync.profileCount, 1);
        sync.sinkAddress = sink.control.address;
        ASSERT_TRUE(sync.connect(-1));
        ASSERT_TRUE(sink.accept(sync, status));
        ASSERT_TRUE(sync.connectWait());
        ASSERT_EQ(sync.state.load(), 2);
    }
    bool waitState(int wanted, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (sync.state.load() == wanted) return true;
            std::this_thread::sleep_for(1ms);
        }
        return sync.state.load() == wanted;
    }
    std::size_t dataCount() const { return sink.count(STREAMDATA_SET); }
    // A source that never ends: the same one-message chunk again and again.
    void endlessMessages() {
        sync.endless = true;
        sync.track = PatternSync::pattern(384);
        sync.chunkBytes = 384;
    }

    ScriptedSink sink;
    PatternSync sync;
};

// Messages per cycle, in order: the data messages cut after each one that
// ends a cycle; a last cycle still under way is left out.
std::vector<std::size_t> cycleLengths(const std::vector<Message>& messages) {
    std::vector<std::size_t> lengths;
    std::size_t open = 0;
    for (const Message& m : messages) {
        if (m.id != STREAMDATA_SET) continue;
        ++open;
        if (m.status & STATUS_CYCLEEND) {
            lengths.push_back(open);
            open = 0;
        }
    }
    return lengths;
}

TEST_F(WorkerTest, FirstCycleIsSilenceThenTheStreamFollowsInSequence) {
    sync.track = PatternSync::pattern(384 * 40);
    sync.chunkBytes = 1000;  // chunks that do not fit the messages
    connect(synctest::fixProfile(1000, 2, 48));
    // The loop starts before play() is called, so it logs that it is not playing.
    ASSERT_TRUE(LogCapture::instance().waitFor("redy to play loop start", 2000ms));
    EXPECT_GE(LogCapture::instance().find("redy to play loop start0"), 0);
    sync.play();
    ASSERT_TRUE(sink.run([&] { return dataCount() >= 30; }));
    // The first cycle, built ahead, is silence with sequence numbers 0 and 1.
    ASSERT_GE(sink.messages.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        const Message& m = sink.messages[i];
        EXPECT_EQ(m.id, STREAMDATA_SET);
        EXPECT_EQ(m.seq, i);
        EXPECT_EQ(m.payload, std::vector<std::uint8_t>(384, 0));
    }
    std::uint16_t seq = 0;
    for (const Message& m : sink.messages) {
        if (m.id != STREAMDATA_SET) continue;
        EXPECT_EQ(m.seq, seq++);
        EXPECT_EQ(m.payload.size(), 384u);
    }
    // Two messages a cycle; a cycle that starts late (a legal event on a busy
    // machine) sends twice its messages and skips the next deadline, and
    // logs that it was late. Only the last message of a cycle ends it.
    const std::vector<std::size_t> cycles = cycleLengths(sink.messages);
    ASSERT_GE(cycles.size(), 10u);
    std::size_t bursts = 0;
    for (std::size_t i = 0; i < cycles.size(); ++i) {
        EXPECT_TRUE(cycles[i] == 2 || cycles[i] == 4) << "cycle " << i << " of " << cycles[i] << " messages";
        if (cycles[i] == 4) ++bursts;
    }
    EXPECT_LE(bursts, static_cast<std::size_t>(LogCapture::instance().count("over time ")));

    const std::vector<std::uint8_t> got = sink.stream_bytes();
    ASSERT_GE(got.size(), 768u + 384u * 20);
    // Silence until play() takes effect, then the track.
    const std::size_t start = silenceBefore(got, 0);
    EXPECT_GE(start, 768u);
    EXPECT_EQ(start % 384, 0u);
    ASSERT_GE(got.size(), start + 384u * 20);
    EXPECT_TRUE(std::equal(got.begin() + static_cast<long>(start), got.begin() + static_cast<long>(start) + 384 * 20,
                           sync.track.begin()));
    EXPECT_GE(LogCapture::instance().find("wth start  FEEDBACK:1  Info=10"), 0);
    EXPECT_GE(LogCapture::instance().find("Worker Thread Priority change HIGH"), 0);
}

// A cycle of two seconds with 40 messages: the first cycle, built ahead,
// keeps one entry per message, so its sequence numbers run 0 .. 39.
TEST_F(WorkerTest, FirstCycleLongerThanASecondKeepsEveryMessage) {
    connect(synctest::fixProfile(2000000, 40, 48));
    ASSERT_TRUE(sink.run([&] { return dataCount() >= 40; }));
    std::uint16_t seq = 0;
    for (const Message& m : sink.messages) {
        if (m.id != STREAMDATA_SET) continue;
        EXPECT_EQ(m.seq, seq++);
        EXPECT_EQ(m.payload, std::vector<std::uint8_t>(384, 0));
    }
    EXPECT_GE(seq, 40);
}

TEST_F(WorkerTest, ResendRequestSendsEveryMissingMessageFirstOldestFirst) {
    endlessMessages();
    connect(synctest::fixProfile(2000, 4, 48));
    sync.play();
    ASSERT_TRUE(sink.run([&] { return dataCount() >= 40; }));
    const std::uint16_t newest = sink.messages.back().seq;
    const std::uint16_t first = static_cast<std::uint16_t>(newest - 2);
    const std::size_t before = sink.messages.size();
    sink.resendRequest(first, newest + 1);
    ASSERT_TRUE(sink.run([&] { return sink.messages.size() >= before + 40; }));

    // The messages from `first` on come again, in order, oldest first, each
    // as sent before with room for two more bytes.
    std::size_t at = before;
    while (at < sink.messages.size() &&
           !(sink.messages[at].seq == first && sink.messages[at].datagram == 16u + 384u + 8u)) {
        ++at;
    }
    ASSERT_LE(at + 3, sink.messages.size());
    for (std::uint16_t k = 0; k < 3; ++k) {
        const Message& again = sink.messages[at + k];
        EXPECT_EQ(again.seq, static_cast<std::uint16_t>(first + k));
        EXPECT_EQ(again.datagram, 16u + 384u + 8u);
        const auto original = std::find_if(sink.messages.begin(), sink.messages.begin() + static_cast<long>(before),
                                           [&](const Message& m) { return m.seq == again.seq; });
        ASSERT_NE(original, sink.messages.begin() + static_cast<long>(before));
        EXPECT_EQ(again.payload, original->payload);
        EXPECT_EQ(original->datagram, 16u + 384u);
    }
    const std::string expected = "   count resend " + std::to_string(first) + "   " + std::to_string(newest + 1) + " ";
    EXPECT_GE(LogCapture::instance().find(expected), 0);
}

TEST_F(WorkerTest, ResendRequestOutsideTheRingEndsTheConnection) {
    endlessMessages();
    connect(synctest::fixProfile(1000, 1, 48));  // a ring of 1024 messages
    sync.play();
    ASSERT_TRUE(sink.run([&] { return dataCount() >= 5; }));
    const std::uint16_t newest = sink.messages.back().seq;
    sink.resendRequest(static_cast<std::uint16_t>(newest + 100), newest);
    EXPECT_TRUE(waitState(0, 3000ms));
    EXPECT_TRUE(LogCapture::instance().waitFor("   count error ", 1000ms));
    EXPECT_TRUE(LogCapture::instance().waitFor("wth end", 1000ms));
}

TEST_F(WorkerTest, SilentSinkEndsTheConnectionAfterTheAnswerTimeOut) {
    sink.reporting = false;
    connect(synctest::fixProfile(1000, 1, 48), Sync::THRED_NONE, Clock::fromMilliseconds(200));
    // 8 x 200 ms = 1.6 s without a word from the sink.
    ASSERT_TRUE(sink.run([&] { return sync.state.load() == 0; }, 10000ms));
    ASSERT_TRUE(LogCapture::instance().waitFor("   timeout ", 1000ms));
    const auto lines = LogCapture::instance().lines();
    const int at = LogCapture::instance().find("   timeout ");
    const long silentUs = std::stol(lines[static_cast<std::size_t>(at)].substr(11));
    EXPECT_GE(silentUs, 1600000);
    EXPECT_EQ(sink.count(DSICONNECT_REQ), 0u);
}

TEST_F(WorkerTest, PauseSendsSilenceWithoutTakingChunksAndResumesWhereItStopped) {
    sync.track = PatternSync::pattern(384 * 400);
    sync.chunkBytes = 384;
    connect(synctest::fixProfile(1000, 1, 48));
    const std::vector<std::uint8_t> silent(384, 0);
    auto silentFrom = [&](std::size_t from) {
        for (std::size_t i = from; i < sink.messages.size(); ++i)
            if (sink.messages[i].id == STREAMDATA_SET && sink.messages[i].payload == silent) return i;
        return sink.messages.size();
    };
    sync.play();
    ASSERT_TRUE(sink.run([&] { return dataCount() >= 20 && sink.messages.back().payload != silent; }));
    sync.stop();
    // A message of silence after the stop was built once the worker saw it:
    // from then on it takes no chunk.
    const std::size_t stoppedAt = sink.messages.size();
    ASSERT_TRUE(sink.run([&] { return silentFrom(stoppedAt) < sink.messages.size(); }));
    const int calls = sync.calls.load();
    const std::size_t pausedFrom = silentFrom(stoppedAt);
    ASSERT_TRUE(sink.run([&] { return sink.messages.size() >= pausedFrom + 30; }));
    EXPECT_EQ(sync.calls.load(), calls);
    for (std::size_t i = pausedFrom; i < sink.messages.size(); ++i) {
        if (sink.messages[i].id != STREAMDATA_SET) continue;
        EXPECT_EQ(sink.messages[i].payload, std::vector<std::uint8_t>(384, 0));
    }
    sync.play();
    ASSERT_TRUE(sink.run([&] { return sync.calls.load() > calls + 20; }));
    // Without the silence, the stream is the track from its start, unbroken.
    std::vector<std::uint8_t> audio;
    std::uint16_t expected = 0;
    for (const Message& m : sink.messages) {
        if (m.id != STREAMDATA_SET || m.seq != expected++) continue;
        if (m.payload != std::vector<std::uint8_t>(384, 0)) audio.insert(audio.end(), m.payload.begin(), m.payload.end());
    }
    ASSERT_GE(audio.size(), 384u * 30);
    EXPECT_TRUE(std::equal(audio.begin(), audio.begin() + 384 * 30, sync.track.begin()));
}

TEST_F(WorkerTest, EndOfStreamRunsTheDisconnectStagesInOrder) {
    sync.track = PatternSync::pattern(384 * 50);
    sync.chunkBytes = 500;
    connect(synctest::fixProfile(1000, 1, 48));
    sync.play();
    ASSERT_TRUE(sink.run([&] { return sync.state.load() == 0; }, 10000ms));
    EXPECT_TRUE(LogCapture::instance().waitFor("wth end", 1000ms));

    // final message, then a report request, then the sink's report, then the
    // disconnect request, answered.
    const int final = LogCapture::instance().find("buffer Final ");
    ASSERT_GE(final, 0);
    EXPECT_GT(LogCapture::instance().find("discone flgset"), -1);
    EXPECT_EQ(LogCapture::instance().find("DSICONNECT_REQ ERROR "), -1);
    EXPECT_EQ(LogCapture::instance().find("buffer timeout "), -1);
    ASSERT_EQ(sink.count(DSICONNECT_REQ), 1u);
    EXPECT_EQ(sink.messages.back().id, DSICONNECT_REQ);
    // Silence, the whole track, silence.
    const std::vector<std::uint8_t> got = sink.stream_bytes();
    const std::size_t start = silenceBefore(got, 0);
    EXPECT_GE(start, 384u);
    ASSERT_GE(got.size(), start + sync.track.size());
    EXPECT_TRUE(std::equal(sync.track.begin(), sync.track.end(), got.begin() + static_cast<long>(start)));
    EXPECT_TRUE(std::all_of(got.begin() + static_cast<long>(start + sync.track.size()), got.end(),
                            [](std::uint8_t b) { return b == 0; }));
    // The last data message before the disconnect request asked for the report.
    auto lastData = std::find_if(sink.messages.rbegin(), sink.messages.rend(),
                                 [](const Message& m) { return m.id == STREAMDATA_SET && (m.status & STATUS_REPORT); });
    ASSERT_NE(lastData, sink.messages.rend());
}

TEST_F(WorkerTest, ResendRequestAfterTheFinalMessageIsServedBeforeTheDisconnect) {
    sync.track = PatternSync::pattern(384 * 30);
    sync.chunkBytes = 384;
    connect(synctest::fixProfile(1000, 1, 48));
    bool asked = false;
    std::uint16_t firstMissing = 0;
    sink.reporting = false;
    sink.onReportRequest = [&](const Message& m) {
        // At the first report request after the final message (the one after
        // the track's last), claim the last two track messages and the final
        // one were lost.
        std::size_t audio = 0;
        std::uint16_t lastAudio = 0;
        for (const Message& d : sink.messages) {
            if (d.id == STREAMDATA_SET && d.datagram == 16u + 384u &&
                d.payload != std::vector<std::uint8_t>(384, 0)) {
                ++audio;
                lastAudio = d.seq;
            }
        }
        const auto finalSeq = static_cast<std::uint16_t>(lastAudio + 1);
        if (!asked && audio == 30 && static_cast<std::int16_t>(m.seq - finalSeq) > 0) {
            asked = true;
            firstMissing = static_cast<std::uint16_t>(lastAudio - 1);
            sink.resendRequest(firstMissing, m.seq);
        } else {
            sink.rateReport(0x8000);
        }
    };
    sync.play();
    ASSERT_TRUE(sink.run([&] { return sync.state.load() == 0; }, 10000ms));
    ASSERT_TRUE(asked);
    // The requested messages went out again before the disconnect request.
    const auto disconnectAt = std::find_if(sink.messages.begin(), sink.messages.end(),
                                           [](const Message& m) { return m.id == DSICONNECT_REQ; });
    ASSERT_NE(disconnectAt, sink.messages.end());
    // The three messages went out again, and a report was asked for after them.
    int resent = 0;
    bool requestAfter = false;
    for (auto it = sink.messages.begin(); it != disconnectAt; ++it) {
        if (it->id != STREAMDATA_SET) continue;
        if (it->datagram == 16u + 384u + 8u && static_cast<std::uint16_t>(it->seq - firstMissing) < 3) ++resent;
        if (resent == 3 && it->datagram == 16u + 384u && (it->status & STATUS_REPORT)) requestAfter = true;
    }
    EXPECT_EQ(resent, 3);
    EXPECT_TRUE(requestAfter);
    EXPECT_EQ(LogCapture::instance().find("DSICONNECT_REQ ERROR "), -1);
}

TEST_F(WorkerTest, DisconnectWhilePausedEndsAtTheChunkInHand) {
    endlessMessages();
    connect(synctest::fixProfile(1000, 1, 48));
    sync.play();
    ASSERT_TRUE(sink.run([&] { return dataCount() >= 10; }));
    sync.stop();
    auto done = std::async(std::launch::async, [&] { sync.disconnect(); });
    ASSERT_TRUE(sink.run([&] { return sync.state.load() == 0; }, 10000ms));
    done.get();
    EXPECT_GE(LogCapture::instance().find("buffer disconnect "), 0);
    EXPECT_GE(LogCapture::instance().find("discone done"), 0);
    EXPECT_EQ(sink.count(DSICONNECT_REQ), 1u);
}

TEST_F(WorkerTest, UnansweredDisconnectIsTriedFourTimes) {
    sync.track = PatternSync::pattern(384 * 5);
    sync.chunkBytes = 384;
    sink.answerDisconnect = false;
    connect(synctest::fixProfile(1000, 1, 48));
    sync.play();
    ASSERT_TRUE(sink.run([&] { return sync.state.load() == 0; }, 10000ms));
    EXPECT_EQ(sink.count(DSICONNECT_REQ), 4u);
    EXPECT_TRUE(LogCapture::instance().waitFor("DSICONNECT_REQ ERROR ", 1000ms));
}

// The control law on reports: the logged sample, average and control value,
// and the cycle or frames it gives.
TEST_F(WorkerTest, ReportsSteerTheFixedSizeCycleAndTheFractionalFrames) {
    struct Case {
        std::uint16_t code;
        bool fixedSize;
        const char* line;
    };
    const Case cases[] = {
        {0x2000, true, "info rcv 1  0.0000  0.0000  0.0000 cy=1000000000"},
        {0x1000, true, "info rcv 1 -0.5000 -0.5000  0.0299 cy=970031739"},
        {0xE000, true, "info rcv 2 -0.5000 -0.5000  0.0299 cy=970031739"},
        {0x1000, false, "info rcv 1 -0.5000 -0.5000  0.0299 fs=49.4384"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        sync.close();
        sink.messages.clear();
        LogCapture::instance().clear();
        endlessMessages();
        sink.rateCode = c.code;
        Profile p = synctest::fixProfile(1000, 1, 48);
        if (c.fixedSize) {
            p.packetSize = 384;
            p.mode = Profile::MODE_VAR;
        }
        connect(p);
        sync.play();
        EXPECT_TRUE(sink.run([&] { return LogCapture::instance().find("info rcv ") >= 0; }));
        const int at = LogCapture::instance().find("info rcv ");
        ASSERT_GE(at, 0);
        EXPECT_EQ(LogCapture::instance().lines()[static_cast<std::size_t>(at)], c.line);
    }
}

TEST_F(WorkerTest, LateCyclesBurstChangeProfileAndRecover) {
    endlessMessages();
    sync.profiles[1] = synctest::fixProfile(10000, 1, 160);
    sync.profileCount = 2;
    sync.delayMs = 3;  // every message waits for its chunk: each 1 ms cycle is late
    connect(synctest::fixProfile(1000, 1, 48), Sync::THRED_NONE, Clock::fromMilliseconds(5));
    sync.play();
    ASSERT_TRUE(sink.run([&] { return LogCapture::instance().find("over time change profile 0 to 1") >= 0; },
                         10000ms));
    EXPECT_GE(LogCapture::instance().count("over time "), 20);
    // A late cycle sends twice its messages: some of them do not end a cycle.
    EXPECT_TRUE(std::any_of(sink.messages.begin(), sink.messages.end(), [](const Message& m) {
        return m.id == STREAMDATA_SET && (m.status & STATUS_CYCLEEND) == 0;
    }));
    sync.delayMs = 0;
    EXPECT_TRUE(sink.run([&] { return LogCapture::instance().find("over time recover profile 1 to 0") >= 0; },
                         20000ms));
}

TEST_F(WorkerTest, LateCyclesWithoutFastFeedbackKeepTheSchedule) {
    endlessMessages();
    sync.delayMs = 3;
    sync.latency = 3000;  // above 200 ms the flag is kept
    connect(synctest::fixProfile(1000, 1, 48), Sync::NOFASTFEEDBACK);
    sync.play();
    ASSERT_TRUE(sink.run([&] { return LogCapture::instance().count("over time ") >= 10; }, 10000ms));
    EXPECT_GE(LogCapture::instance().find("wth start  FEEDBACK:1 NOFASTFEEDBACK  Info=10"), 0);
    for (const Message& m : sink.messages) {
        if (m.id == STREAMDATA_SET) {
            EXPECT_NE(m.status & STATUS_CYCLEEND, 0) << m.seq;
        }
    }
}

TEST_F(WorkerTest, SinkPhaseInversionComplementsTheStream) {
    sync.track = PatternSync::pattern(384 * 10);
    sync.chunkBytes = 384;
    sink.reportStatus = STATUS_PLAYING | STATUS_PHASECONTROL;
    connect(synctest::fixProfile(1000, 1, 48), Sync::THRED_NONE, Clock::fromMilliseconds(10),
            STATUS_ACCEPT | STATUS_PLAYING | STATUS_PHASECONTROL);
    sync.play();
    ASSERT_TRUE(sink.run([&] { return sync.state.load() == 0; }, 10000ms));
    const std::vector<std::uint8_t> got = sink.stream_bytes();
    // Inverted integer silence is complemented like the stream: the first
    // cycle (48 frames) at least, and everything after the track.
    const std::size_t start = silenceBefore(got, 0xFF);
    EXPECT_GE(start, 384u);
    ASSERT_GE(got.size(), start + sync.track.size());
    for (std::size_t i = 0; i < sync.track.size(); ++i) {
        ASSERT_EQ(got[start + i], static_cast<std::uint8_t>(~sync.track[i])) << i;
    }
    EXPECT_TRUE(std::all_of(got.begin() + static_cast<long>(start + sync.track.size()), got.end(),
                            [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_GE(LogCapture::instance().find("Play Phase Invert"), 0);
}

// Every blocking wait mode and every pacing of the profile carries the
// track unchanged: fixed or fractional frames, several messages per cycle,
// random cycles with their scaled frames.
TEST_F(WorkerTest, ModesAndProfilesKeepTheStreamExact) {
    Profile random = synctest::fixProfile(2000, 1, 96);
    random.mode = Profile::MODE_RANDOM;
    random.cycleMin = Clock::fromMicroseconds(1000);
    Profile fractional = synctest::fixProfile(1000, 3, 16);
    fractional.framesQ14 = 16 * 16384 + 5461;  // 16.33 frames per message
    Profile fixedSize = synctest::fixProfile(1000, 2, 24);
    fixedSize.packetSize = 192;
    fixedSize.mode = Profile::MODE_VAR;
    struct Case {
        const char* what;
        int mode;
        Profile profile;
    };
    const Case cases[] = {
        {"socket non-blocking", Sync::SOCKETNOBLOCK, synctest::fixProfile(1000, 2, 24)},
        {"short sleeps spun", Sync::NOSHORTSLEEP, synctest::fixProfile(1000, 1, 48)},
        {"yield per cycle", Sync::YIELDCYCLE, synctest::fixProfile(1000, 1, 48)},
        {"yield per wait", Sync::YIELDWAIT | Sync::FEEDBACK, synctest::fixProfile(1000, 1, 48)},
        {"random cycles", Sync::THRED_NONE, random},
        {"fractional frames", Sync::THRED_NONE, fractional},
        {"fixed size", Sync::THRED_NONE, fixedSize},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sync.close();
        sink.messages.clear();
        sync.track = PatternSync::pattern(8 * 4000);
        sync.position = 0;
        sync.chunkBytes = 1000;
        connect(c.profile, c.mode);
        sync.play();
        ASSERT_TRUE(sink.run([&] { return sync.state.load() == 0; }, 20000ms));
        const std::vector<std::uint8_t> got = sink.stream_bytes();
        const std::size_t start = silenceBefore(got, 0);
        ASSERT_GE(got.size(), start + sync.track.size());
        EXPECT_TRUE(std::equal(sync.track.begin(), sync.track.end(), got.begin() + static_cast<long>(start)));
        EXPECT_TRUE(std::all_of(got.begin() + static_cast<long>(start + sync.track.size()), got.end(),
                                [](std::uint8_t b) { return b == 0; }));
        EXPECT_EQ(sink.count(DSICONNECT_REQ), 1u);
    }
    EXPECT_GE(LogCapture::instance().find("wth start NOSHORTSLEEP  FEEDBACK:1  Info=10"), 0);
    EXPECT_GE(LogCapture::instance().find("wth start  FEEDBACK:8  Info=10"), 0);
}

TEST_F(WorkerTest, WordConverterSeesWholeWordsAcrossChunksOfAnySize) {
    // DSD in 32-bit words, little-endian at the host, big-endian on the wire.
    const FormatConfigure host(CH2 | DSD1 | DSD_LSB | DSD_LITTLE | DSD_WORD32 | BASE_44100 | MULTI_64);
    const FormatConfigure wire(CH2 | DSD1 | DSD_LSB | DSD_BIG | DSD_WORD32 | BASE_44100 | MULTI_64);
    sync.requestedFormat = host;
    sync.sendFormat = wire;
    sync.converter = &Sync::memcpySyncByteSwap32;
    sync.track = PatternSync::pattern(8 * 2000);
    sync.chunkBytes = 7;
    Profile p = synctest::fixProfile(1000, 1, 88);
    p.framesQ14 = 1445068;  // 88.2 frames per message
    connect(p);
    sync.play();
    ASSERT_TRUE(sink.run([&] { return sync.state.load() == 0; }, 10000ms));
    const std::vector<std::uint8_t> got = sink.stream_bytes();
    // At least the first cycle (88 frames) of silence, then every word swapped.
    const std::size_t start = silenceBefore(got, 0x69);
    EXPECT_GE(start, 704u);
    EXPECT_EQ(start % 8, 0u);
    ASSERT_GE(got.size(), start + sync.track.size());
    for (std::size_t i = 0; i < sync.track.size(); ++i) {
        const std::size_t word = i & ~std::size_t{3};
        ASSERT_EQ(got[start + i], sync.track[word + 3 - (i & 3)]) << i;
    }
    EXPECT_TRUE(std::all_of(got.begin() + static_cast<long>(start + sync.track.size()), got.end(),
                            [](std::uint8_t b) { return b == 0x69; }));
}

}  // namespace
