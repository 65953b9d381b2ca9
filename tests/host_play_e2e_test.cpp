// The host plays, end to end: two network namespaces joined by a veth pair
// with link-local addresses; the host in one, zarnith-capture-sink (or a
// second host and its recorder) in the other; a scripted controller
// (tests/controller.py) beside the host. Each host's log datagrams are read
// on [::1]:19640 inside its namespace.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/host_test_rig.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace hostrig;

// Pcm32x48k: 2 channels of 32-bit PCM at 48 kHz, 384000 bytes a second.
constexpr std::size_t BytesPerSecond = 384000;
constexpr std::size_t ChunkBytes = BytesPerSecond / 10;     // 100 ms a chunk
constexpr std::size_t LeadingSilence = BytesPerSecond / 100;  // the ring's 10 ms block ahead of the track

// A track of whole chunks whose bytes are never 0 (so silence stands apart)
// and never repeat in a short period (so a shifted copy does not match).
std::string patternTrack(std::size_t seconds, std::uint32_t seed) {
    std::string track(seconds * BytesPerSecond, '\0');
    std::uint32_t x = seed | 1;
    for (std::size_t i = 0; i < track.size(); i += 4) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        const std::uint32_t w = x | 0x01010101u;
        for (int b = 0; b < 4; ++b) track[i + b] = static_cast<char>((w >> (8 * b)) & 0xFF);
    }
    return track;
}

// The chunks of `track` in the order a capture holds them, silence skipped;
// -1 for bytes that are no whole chunk of the track.
std::vector<int> chunkSequence(const std::string& capture, const std::string& track) {
    std::map<std::string, int> byHead;
    for (std::size_t c = 0; c * ChunkBytes < track.size(); ++c) byHead[track.substr(c * ChunkBytes, 32)] = static_cast<int>(c);
    std::vector<int> out;
    std::size_t at = 0;
    while (at < capture.size()) {
        if (capture[at] == '\0') {
            ++at;
            continue;
        }
        const auto it = byHead.find(capture.substr(at, 32));
        if (it == byHead.end() || capture.compare(at, ChunkBytes, track, it->second * ChunkBytes, ChunkBytes) != 0) {
            out.push_back(-1);
            return out;
        }
        out.push_back(it->second);
        at += ChunkBytes;
    }
    return out;
}

// Runs of consecutive chunk numbers: {first, last} each.
std::vector<std::pair<int, int>> runsOf(const std::vector<int>& sequence) {
    std::vector<std::pair<int, int>> runs;
    for (int c : sequence) {
        if (!runs.empty() && runs.back().second + 1 == c)
            runs.back().second = c;
        else
            runs.push_back({c, c});
    }
    return runs;
}

std::string describe(const std::vector<std::pair<int, int>>& runs) {
    std::ostringstream s;
    for (const auto& [a, b] : runs) s << a << ".." << b << " ";
    return s.str();
}

class CaptureProcess {
public:
    bool start(const std::string& ns, const std::string& prefix, unsigned portId) {
        prefix_ = prefix;
        return process.start(NetnsPair::inNs(
            ns, {tmtest::binPath("zarnith-capture-sink"), "--port-id", std::to_string(portId), prefix}));
    }
    // The closing line of connection n, once printed.
    std::string lineOf(unsigned n, Ms timeout = 10000ms) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        do {
            std::istringstream out(process.output());
            std::string line;
            while (std::getline(out, line))
                if (line.rfind("connection=" + std::to_string(n) + " ", 0) == 0) return line;
            std::this_thread::sleep_for(20ms);
        } while (std::chrono::steady_clock::now() < end);
        return std::string();
    }
    std::string file(unsigned n) const { return readFile(prefix_ + "." + std::to_string(n) + ".raw"); }

    tmtest::ChildProcess process;
    std::string prefix_;
};

// Two namespaces, a temporary directory, a host and a capture sink.
class PlayRig : public NetnsRig {
protected:
    static std::vector<std::string> uploadSteps(const std::string& path) {
        return {"newtrack:" + hex(Pcm32x48k), "chunks:" + path + ":" + hex(Pcm32x48k) + ":" +
                                                  std::to_string(ChunkBytes) + ":0:0"};
    }
    // The "Connect" line for a sink in the other namespace.
    static std::string connectTo(const std::string& address, unsigned port, unsigned ifIndex) {
        return "send:Connect=" + address + "," + std::to_string(port) + " " + std::to_string(ifIndex);
    }

    // Starts a host in ns A and a capture sink in ns B.
    void startHostAndCapture(const std::string& settings) {
        hostA = std::make_unique<HostProcess>(net->nsA(), directory, "hostA");
        ASSERT_TRUE(hostA->start(settings)) << hostA->process.output();
        ASSERT_TRUE(capture.start(net->nsB(), directory + "/cap", 1));
    }
    std::string connectCapture() const { return connectTo("fe80::2", 19644, net->ifIndexA()); }

    // A captured stream: silence (at least the ring's leading block), the
    // whole track, then only silence.
    static void expectTrackByteForByte(const std::string& captured, const std::string& track) {
        const std::size_t first = captured.find_first_not_of('\0');
        ASSERT_NE(first, std::string::npos) << "nothing but silence captured";
        EXPECT_GE(first, LeadingSilence) << "the ring's leading silence comes first";
        ASSERT_GE(captured.size() - first, track.size()) << "captured " << captured.size() << " bytes";
        EXPECT_TRUE(captured.compare(first, track.size(), track) == 0) << "the track differs";
        EXPECT_EQ(captured.find_first_not_of('\0', first + track.size()), std::string::npos)
            << "only silence after the track";
    }

    std::unique_ptr<HostProcess> hostA;
    CaptureProcess capture;
};

// ---- playing a track -------------------------------------------------------

class HostPlay : public PlayRig {
protected:
    // Uploads, connects and waits for the end of the playback.
    // `lossy`: datagrams to the sink's stream port are dropped on the way.
    void playWholeTrack(const std::string& track, bool lossy = false) {
        const std::string path = writeTrack("track.raw", track);
        std::vector<std::string> steps{"register", "wait:Status=Disconnect:10"};
        for (const auto& s : uploadSteps(path)) steps.push_back(s);
        steps.insert(steps.end(), {"register", "wait:Status=Disconnect:10", connectCapture(),
                                   "wait:Status=Play:30", "wait:Status=Disconnect:120"});
        ControllerRun controller;
        ASSERT_TRUE(controller.start(net->nsA(), hostA->port, steps));
        ASSERT_TRUE(controller.finish(200000ms)) << controller.process.output() << hostA->log.dump();

        const std::vector<long> remaining = controller.lastTimes();
        ASSERT_GE(remaining.size(), 20u) << controller.process.output();
        for (std::size_t i = 1; i < remaining.size(); ++i) EXPECT_LT(remaining[i], remaining[i - 1]);
        EXPECT_LE(remaining.front(), static_cast<long>(track.size() / ChunkBytes));
        EXPECT_LE(remaining.back(), 5);

        const std::string line = capture.lineOf(1);
        ASSERT_FALSE(line.empty()) << capture.process.output();
        EXPECT_NE(line.find("format=0x0000000c00000802 client=TolvenmarkHost "), std::string::npos) << line;
        if (lossy) {
            // A lost disconnect request leaves the sink without datagrams for
            // the sender's whole 0.5 s retry window, as long as the sink's own
            // time-out: the sink may then end by time-out, every byte received.
            EXPECT_TRUE(line.find(" end=request") != std::string::npos ||
                        line.find(" end=timeout") != std::string::npos) << line;
        } else {
            EXPECT_NE(line.find(" end=request"), std::string::npos) << "the disconnect exchange ends it: " << line;
        }
        expectTrackByteForByte(capture.file(1), track);
        captureLine = line;
    }
    std::string captureLine;
};

TEST_F(HostPlay, TwentySecondTrackArrivesByteForByte) {
    ASSERT_NO_FATAL_FAILURE(startHostAndCapture("CycleTime=2000\n"));
    ASSERT_NO_FATAL_FAILURE(playWholeTrack(patternTrack(20, 0x1234567)));
    // The fixed profile of the configured cycle, the worker at real-time
    // priority (the default thread mode), the end by the played-out ring.
    EXPECT_TRUE(hostA->log.waitFor("configTransfer Fix", 0ms)) << hostA->log.dump();
    EXPECT_TRUE(hostA->log.waitFor("is_connect", 0ms));
    EXPECT_TRUE(hostA->log.waitFor("fs=96.0000", 0ms)) << "96 frames a cycle: 2 ms at 48 kHz";
    EXPECT_TRUE(hostA->log.waitFor("Worker Thread Priority change CRITICAL", 0ms));
    EXPECT_TRUE(hostA->log.waitFor("buffer Final ", 0ms));
    EXPECT_EQ(hostA->log.count("   timeout "), 0u);
    EXPECT_EQ(hostA->stop(), 0);
}

TEST_F(HostPlay, TwentySecondTrackSurvivesOnePercentLoss) {
    if (!net->dropInput(net->nsB(), 19645, 1)) GTEST_SKIP() << "nftables is not available";
    ASSERT_NO_FATAL_FAILURE(startHostAndCapture("FlexCycle=enable\nInfoCycle=50000\nLatencyBuffer=30000\n"));
    ASSERT_NO_FATAL_FAILURE(playWholeTrack(patternTrack(20, 0xBEEF), true));
    const std::size_t at = captureLine.find("resend_requests=");
    ASSERT_NE(at, std::string::npos);
    EXPECT_GT(std::atol(captureLine.c_str() + at + 16), 0) << "datagrams were lost and resent: " << captureLine;
    EXPECT_TRUE(hostA->log.waitFor("configTransfer Var", 0ms)) << hostA->log.dump();
    EXPECT_TRUE(hostA->log.waitFor(" Info=50", 0ms)) << "reports asked for every 50 ms";
    EXPECT_TRUE(hostA->log.waitFor("request=30000us", 0ms)) << "the latency buffer is asked for";
    EXPECT_GT(hostA->log.count("   count resend "), 0u);
    EXPECT_EQ(hostA->stop(), 0);
}

TEST_F(HostPlay, PausePlayAndEverySeekForm) {
    ASSERT_NO_FATAL_FAILURE(startHostAndCapture(""));
    const std::string track = patternTrack(12, 0xC0FFEE);
    const std::string path = writeTrack("track.raw", track);
    std::vector<std::string> steps{"register"};
    for (const auto& s : uploadSteps(path)) steps.push_back(s);
    steps.insert(steps.end(),
                 {connectCapture(), "wait:Status=Play:30", "sleep:1",
                  // Pause holds the position; Play goes on from there.
                  "send:Pause", "wait:Status=Pause:5", "sleep:0.5", "send:Play", "wait:Status=Play:5", "sleep:0.5",
                  // Each seek pauses, and playback resumes by itself half a second later.
                  "send:Seek=+10", "wait:Status=Pause:5", "wait:Status=Play:5", "sleep:0.5",
                  "send:Seek=Front", "wait:Status=Pause:5", "wait:Status=Play:5", "sleep:0.5",
                  "send:Seek=40", "wait:Status=Pause:5", "wait:Status=Play:5", "sleep:0.5",
                  "send:Seek=-3", "wait:Status=Pause:5", "wait:Status=Play:5", "sleep:0.5",
                  // A seek by n + 1 = 0: paused and resumed, the place kept.
                  "send:Seek=-1", "wait:Status=Pause:5", "wait:Status=Play:5", "sleep:0.5",
                  "send:Seek=Quit", "wait:Status=Disconnect:10"});
    ControllerRun controller;
    ASSERT_TRUE(controller.start(net->nsA(), hostA->port, steps));
    ASSERT_TRUE(controller.finish(120000ms)) << controller.process.output() << hostA->log.dump();
    EXPECT_EQ(hostA->log.count("SEEK:"), 6u);
    // "Seek=-1" paused the playback before it resumed.
    const double minusOne = controller.stepTime("send:Seek=-1");
    ASSERT_GT(minusOne, 0);
    const double paused = controller.timeOf("Status=Pause", minusOne);
    EXPECT_GT(paused, minusOne) << controller.process.output();
    EXPECT_GT(controller.timeOf("Status=Play", paused), paused) << controller.process.output();

    ASSERT_FALSE(capture.lineOf(1).empty()) << capture.process.output();
    const std::vector<int> sequence = chunkSequence(capture.file(1), track);
    ASSERT_FALSE(sequence.empty());
    ASSERT_NE(sequence.back(), -1) << "the capture holds whole chunks of the track and silence only";
    const auto runs = runsOf(sequence);
    // 0.. (the pause keeps the place), +10 skips 11 chunks, Front restarts at
    // 0, 40 starts at chunk 40, -3 goes back one chunk behind the last played,
    // -1 keeps the place.
    ASSERT_EQ(runs.size(), 5u) << describe(runs);
    EXPECT_EQ(runs[0].first, 0) << describe(runs);
    EXPECT_EQ(runs[1].first, runs[0].second + 12) << describe(runs);
    EXPECT_EQ(runs[2].first, 0) << describe(runs);
    EXPECT_EQ(runs[3].first, 40) << describe(runs);
    EXPECT_EQ(runs[4].first, runs[3].second - 1) << describe(runs);
    EXPECT_LT(runs[4].second, static_cast<int>(track.size() / ChunkBytes) - 1) << "Quit skips the rest";
    EXPECT_NE(capture.lineOf(1).find(" end=request"), std::string::npos);
    EXPECT_EQ(hostA->stop(), 0);
}

TEST_F(HostPlay, LoopAndQuitMarkersInBothOrders) {
    ASSERT_NO_FATAL_FAILURE(startHostAndCapture(""));
    const std::string track = patternTrack(3, 0xABCDEF);  // 30 chunks
    const std::string path = writeTrack("track.raw", track);
    const std::string chunks = "chunks:" + path + ":" + hex(Pcm32x48k) + ":" + std::to_string(ChunkBytes) + ":";
    // Loop tag after chunk 10, quit tag after chunk 20: playback rewinds at
    // the loop tag again and again, until a seek to the end stops it.
    std::vector<std::string> steps{"register", "newtrack:" + hex(Pcm32x48k), chunks + "0:10", "tag:" + LoopTag,
                                   chunks + "10:10", "tag:" + QuitTag, chunks + "20:0", connectCapture(),
                                   "wait:Status=Play:30", "sleep:4", "send:Seek=Quit", "wait:Status=Disconnect:10",
                                   // Quit tag first: reaching it only logs, and the track plays to its end.
                                   "newtrack:" + hex(Pcm32x48k), chunks + "0:10", "tag:" + QuitTag,
                                   chunks + "10:10", "tag:" + LoopTag, chunks + "20:0", connectCapture(),
                                   "wait:Status=Play:30", "wait:Status=Disconnect:20"};
    ControllerRun controller;
    ASSERT_TRUE(controller.start(net->nsA(), hostA->port, steps));
    ASSERT_TRUE(controller.finish(120000ms)) << controller.process.output() << hostA->log.dump();

    ASSERT_FALSE(capture.lineOf(2).empty()) << capture.process.output();
    auto loops = runsOf(chunkSequence(capture.file(1), track));
    // A seek to the end right after a rewind leaves the last chunk queued
    // (seek by the track's length from the block of silence ahead of it).
    if (!loops.empty() && loops.back() == std::make_pair(29, 29)) loops.pop_back();
    ASSERT_GE(loops.size(), 3u) << describe(loops);
    for (std::size_t i = 0; i < loops.size(); ++i) {
        const auto& [first, last] = loops[i];
        EXPECT_EQ(first, 0) << describe(loops);
        // The remaining count reaches the loop tag while the chunk before it
        // is taken; the rewind lets the block in hand finish. The seek to the
        // end usually comes while the host waits to resume after a rewind,
        // but on a busy machine it may cut the last run short.
        if (i + 1 < loops.size()) {
            EXPECT_GE(last, 8) << describe(loops);
        }
        EXPECT_LE(last, 14) << "rewound at the loop tag, never near the quit tag: " << describe(loops);
    }
    const auto quit = runsOf(chunkSequence(capture.file(2), track));
    ASSERT_EQ(quit.size(), 1u) << describe(quit);
    EXPECT_EQ(quit[0], std::make_pair(0, 29)) << "the whole track once";

    const long second = hostA->log.indexOf("is_connect", hostA->log.indexOf("is_connect") + 1);
    ASSERT_GT(second, 0);
    const long firstQuit = hostA->log.indexOf("Quit:");
    const long firstLoop = hostA->log.indexOf("Loop:");
    EXPECT_GE(firstLoop, 0);
    EXPECT_LT(firstLoop, second);
    EXPECT_EQ(hostA->log.indexOf("Loop:", second), -1) << "no rewind once the quit tag is passed";
    EXPECT_GT(hostA->log.indexOf("Quit:", second), second);
    // The first run logs "Quit:" only after the seek to the end (remaining 0).
    EXPECT_GT(firstQuit, hostA->log.indexOf("SEEK:"));
    EXPECT_EQ(hostA->stop(), 0);
}

TEST_F(HostPlay, FormatFrameDuringPlaybackEndsTheConnectionFirst) {
    ASSERT_NO_FATAL_FAILURE(startHostAndCapture(""));
    const std::string track = patternTrack(10, 0x5150);
    const std::string path = writeTrack("track.raw", track);
    std::vector<std::string> steps{"register"};
    for (const auto& s : uploadSteps(path)) steps.push_back(s);
    steps.insert(steps.end(), {connectCapture(), "wait:Status=Play:30", "sleep:1", "format:" + hex(Pcm32x48k),
                               "wait:Tag=0:0:reset:10", "wait:DataStack=0:10", "wait:Status=Disconnect:10"});
    ControllerRun controller;
    ASSERT_TRUE(controller.start(net->nsA(), hostA->port, steps));
    ASSERT_TRUE(controller.finish(120000ms)) << controller.process.output() << hostA->log.dump();

    const std::string line = capture.lineOf(1);
    EXPECT_NE(line.find(" end=request"), std::string::npos) << "ended by the disconnect exchange: " << line;
    // The connection had ended before the ring was replaced: what arrived is
    // the track's beginning in whole chunks.
    const auto runs = runsOf(chunkSequence(capture.file(1), track));
    ASSERT_EQ(runs.size(), 1u) << describe(runs);
    EXPECT_EQ(runs[0].first, 0);
    EXPECT_LT(runs[0].second, 90);
    // The ring refuses a new size while a connection runs: the reset above
    // shows that the worker had ended first.
    EXPECT_GE(hostA->log.indexOf("wth end"), 0);
    EXPECT_EQ(hostA->log.count("setupBuffer refused"), 0u);
    EXPECT_EQ(hostA->log.count("buffer timeout"), 0u);
    EXPECT_EQ(hostA->stop(), 0);
}

TEST_F(HostPlay, SigtermWhilePlayingEndsWithTheDisconnectExchange) {
    ASSERT_NO_FATAL_FAILURE(startHostAndCapture(""));
    const std::string track = patternTrack(10, 0x7777);
    const std::string path = writeTrack("track.raw", track);
    std::vector<std::string> steps{"register"};
    for (const auto& s : uploadSteps(path)) steps.push_back(s);
    steps.insert(steps.end(), {connectCapture(), "wait:Status=Play:30", "sleep:1"});
    ControllerRun controller;
    ASSERT_TRUE(controller.start(net->nsA(), hostA->port, steps));
    ASSERT_TRUE(controller.finish(120000ms)) << controller.process.output() << hostA->log.dump();

    EXPECT_EQ(hostA->stop(10000ms), 0) << hostA->log.dump();
    const std::string line = capture.lineOf(1);
    EXPECT_NE(line.find(" end=request"), std::string::npos) << "the disconnect exchange, not a time-out: " << line;
    const auto runs = runsOf(chunkSequence(capture.file(1), track));
    ASSERT_EQ(runs.size(), 1u) << describe(runs);
    EXPECT_LT(runs[0].second, 90) << "the rest of the track is not played out first";
}

TEST_F(HostPlay, AFailedConnectIsNotReportedAndTheNextOnePlays) {
    ASSERT_NO_FATAL_FAILURE(startHostAndCapture(""));
    const std::string track = patternTrack(1, 0x4242);
    std::vector<std::string> steps{"register"};
    for (const auto& s : uploadSteps(writeTrack("track.raw", track))) steps.push_back(s);
    steps.insert(steps.end(),
                 {// No sink on that port; a malformed index; neither connects nor drops the controller.
                  connectTo("fe80::2", 19700, net->ifIndexA()), "send:Connect=fe80::2,19644 " +
                  std::to_string(net->ifIndexA()) + "x", "read:1", "register", "wait:Status=Disconnect:10",
                  connectCapture(), "wait:Status=Play:30", "wait:Status=Disconnect:20"});
    ControllerRun controller;
    ASSERT_TRUE(controller.start(net->nsA(), hostA->port, steps));
    ASSERT_TRUE(controller.finish(60000ms)) << controller.process.output() << hostA->log.dump();
    EXPECT_EQ(hostA->log.count("is_connect"), 1u) << hostA->log.dump();
    EXPECT_EQ(controller.received().front().line, "Tag=0:0:reset");
    const double firstPlay = controller.timeOf("Status=Play");
    EXPECT_GT(firstPlay, controller.stepTime("read:1")) << "nothing played before the good connect";
    expectTrackByteForByte(capture.file(1), track);
    EXPECT_EQ(hostA->stop(), 0);
}

// Each settings key that shapes a connection, seen acting in the host's log.
TEST_F(HostPlay, SettingsShapeTheConnection) {
    struct Case {
        const char* settings;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    const Case cases[] = {
        {"ThredMode=0\nInfoCycle=200000\n",
         {"configTransfer Fix", "Worker Thread Priority change HIGH", " Info=200"},
         {"Worker Thread Priority change CRITICAL"}},
        {"FlexCycle=random\nCycleMinTime=1000\nCycleTime=4000\n",
         {"configTransfer Random"},
         {"error configTransfer Var"}},
        {"FlexCycle=random\n", {"configTransfer Random", "error configTransfer Var", "configTransferAuto"}, {}},
        {"TargetProfileLimitTime=5000\n", {"configTransfer profile", "configTransferAuto  limit5000"}, {"configTransfer Fix"}},
        {"ThredMode=17\nCpuSend=1\nCpuOther=0-1\n",
         {"Main Thread CPU set 0,2", "wth start CRITICAL OCCUPIED", "Worker Thread CPU change 1",
          "Debug Thread CPU set 0,2"},
         {}},
    };
    const std::string track = patternTrack(1, 0x99);
    const std::string path = writeTrack("track.raw", track);
    unsigned connection = 0;
    capture.start(net->nsB(), directory + "/cap", 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        HostProcess host(net->nsA(), directory, "host" + std::to_string(connection));
        ASSERT_TRUE(host.start(c.settings)) << host.process.output();
        std::vector<std::string> steps{"register"};
        for (const auto& s : uploadSteps(path)) steps.push_back(s);
        steps.insert(steps.end(), {connectCapture(), "wait:Status=Play:30", "wait:Status=Disconnect:20"});
        ControllerRun controller;
        ASSERT_TRUE(controller.start(net->nsA(), host.port, steps));
        ASSERT_TRUE(controller.finish(60000ms)) << controller.process.output() << host.log.dump();
        ++connection;
        const std::string line = capture.lineOf(connection);
        EXPECT_NE(line.find(" end=request"), std::string::npos) << line;
        expectTrackByteForByte(capture.file(connection), track);
        for (const auto& p : c.present) EXPECT_TRUE(host.log.waitFor(p, 0ms)) << p << "\n" << host.log.dump();
        for (const auto& a : c.absent) EXPECT_EQ(host.log.count(a), 0u) << a;
        EXPECT_EQ(host.stop(), 0);
    }
}

// ---- one host plays into another host's recorder ----------------------------

class HostRecorder : public PlayRig {};

TEST_F(HostRecorder, ARecordingReplacesTheTrackWithSilenceAndTheRecorderTag) {
    // Host A and a capture sink (port id 2) in namespace A, host B with its
    // recorder in namespace B.
    hostA = std::make_unique<HostProcess>(net->nsA(), directory, "hostA");
    ASSERT_TRUE(hostA->start("")) << hostA->process.output();
    HostProcess hostB(net->nsB(), directory, "hostB");
    ASSERT_TRUE(hostB.start("")) << hostB.process.output();
    ASSERT_TRUE(capture.start(net->nsA(), directory + "/cap", 2));
    const std::string toCapture = connectTo("fe80::1", 19646, net->ifIndexB());
    const std::string cue = directory + "/b-plays";

    // B plays a track of its own to the capture sink when A's sender connects
    // to its recorder: that playback ends, and B's track becomes the recording.
    const std::string trackB = patternTrack(20, 0xB0B);
    std::vector<std::string> stepsB{"register"};
    for (const auto& s : uploadSteps(writeTrack("trackB.raw", trackB))) stepsB.push_back(s);
    stepsB.insert(stepsB.end(), {toCapture, "wait:Status=Play:30", "wait:Tag=0:0:reset:120",
                                 "wait:Status=Disconnect:20", "wait:Tag=1:2:Recorder:120",
                                 // The recorded track: its tags, then played to the capture sink.
                                 "register", "wait:Tag=0:0:reset:10", "wait:Tag=1:2:Recorder:10",
                                 "wait:Status=Disconnect:10", toCapture, "wait:Status=Play:30",
                                 "wait:Status=Disconnect:30"});
    ControllerRun controllerB;
    ASSERT_TRUE(controllerB.start(net->nsB(), hostB.port, stepsB));

    const std::string trackA = patternTrack(30, 0xA0A);
    std::vector<std::string> stepsA{"register"};
    for (const auto& s : uploadSteps(writeTrack("trackA.raw", trackA))) stepsA.push_back(s);
    stepsA.insert(stepsA.end(), {"waitfile:" + cue + ":120", connectTo("fe80::2", 19644, net->ifIndexA()),
                                 "wait:Status=Play:30", "wait:Status=Disconnect:120"});
    ControllerRun controllerA;
    ASSERT_TRUE(controllerA.start(net->nsA(), hostA->port, stepsA));

    ASSERT_TRUE(hostB.log.waitFor("is_connect", 120000ms)) << controllerB.process.output();
    std::ofstream(cue) << "go";
    ASSERT_TRUE(controllerA.finish(200000ms)) << controllerA.process.output() << hostA->log.dump();
    ASSERT_TRUE(controllerB.finish(100000ms)) << controllerB.process.output() << hostB.log.dump();

    // A's recording stayed connected for its whole length and ended by the
    // played-out ring, not by a time-out of the recorder.
    EXPECT_GT(controllerA.timeOf("Status=Disconnect", controllerA.timeOf("Status=Play")), 0);
    EXPECT_TRUE(hostA->log.waitFor("buffer Final ", 0ms)) << hostA->log.dump();
    EXPECT_EQ(hostA->log.count("DSICONNECT_REQ ERROR"), 0u) << "the recorder answered the disconnect";
    EXPECT_EQ(hostA->log.count("   timeout "), 0u);
    EXPECT_GT(hostA->log.count("info rcv "), 100u) << "the recorder answers every report request";
    EXPECT_TRUE(hostB.log.waitFor("DisConnect Request", 0ms)) << "the recorder saw the sender's end";

    // B's playback to the capture sink was ended with the disconnect exchange
    // when the recording began, and B's controller saw it in order.
    const std::string first = capture.lineOf(1);
    EXPECT_NE(first.find(" end=request"), std::string::npos) << first;
    const auto runs = runsOf(chunkSequence(capture.file(1), trackB));
    ASSERT_EQ(runs.size(), 1u) << describe(runs);
    EXPECT_EQ(runs[0].first, 0);
    const double reset = controllerB.timeOf("Tag=0:0:reset", controllerB.timeOf("Status=Play"));
    EXPECT_GT(reset, 0);
    EXPECT_GT(controllerB.timeOf("Tag=1:2:Recorder"), reset);

    // B's track now holds the two seconds of silence the recorder stored
    // (behind the ring's own 10 ms block), nothing of the streamed audio.
    const std::string second = capture.lineOf(2);
    ASSERT_FALSE(second.empty()) << capture.process.output();
    const std::string recorded = capture.file(2);
    EXPECT_EQ(recorded.find_first_not_of('\0'), std::string::npos) << "silence only";
    EXPECT_GE(recorded.size(), 2 * BytesPerSecond + LeadingSilence);
    EXPECT_LT(recorded.size(), 3 * BytesPerSecond) << "two seconds and the silence around a connection";
    EXPECT_TRUE(hostB.log.waitFor("tag:2 [Recorder]", 0ms)) << hostB.log.dump();

    EXPECT_EQ(hostA->stop(), 0);
    EXPECT_EQ(hostB.stop(), 0);
}


// The end of a recording is not appended while the host's own sender plays
// the ring: it waits until that connection has ended, and is not lost.
TEST_F(HostRecorder, TheEndOfARecordingWaitsWhileTheHostPlaysTheRing) {
    hostA = std::make_unique<HostProcess>(net->nsA(), directory, "hostA");
    ASSERT_TRUE(hostA->start("")) << hostA->process.output();
    HostProcess hostB(net->nsB(), directory, "hostB");
    ASSERT_TRUE(hostB.start("")) << hostB.process.output();
    ASSERT_TRUE(capture.start(net->nsA(), directory + "/cap", 2));
    const std::string cue = directory + "/a-ended";

    // B plays the new recording's track to the capture sink and pauses, so
    // that its connection is still up when A's stream ends.
    std::vector<std::string> stepsB{"register", "wait:Status=Disconnect:10", "wait:Tag=0:0:reset:120",
                                    connectTo("fe80::1", 19646, net->ifIndexB()), "wait:Status=Play:30",
                                    "send:Pause", "wait:Status=Pause:10", "waitfile:" + cue + ":120",
                                    "read:1", "send:Play", "wait:Tag=1:2:Recorder:20", "read:0.5"};
    ControllerRun controllerB;
    ASSERT_TRUE(controllerB.start(net->nsB(), hostB.port, stepsB));
    // B's controller is registered before A's sender can start the recording.
    ASSERT_TRUE(controllerB.waitForLine("Status=Disconnect", 60000ms)) << controllerB.process.output();

    std::vector<std::string> stepsA{"register"};
    for (const auto& s : uploadSteps(writeTrack("trackA.raw", patternTrack(4, 0xA1)))) stepsA.push_back(s);
    stepsA.insert(stepsA.end(), {connectTo("fe80::2", 19644, net->ifIndexA()), "wait:Status=Play:30",
                                 "wait:Status=Disconnect:60"});
    ControllerRun controllerA;
    ASSERT_TRUE(controllerA.start(net->nsA(), hostA->port, stepsA));
    ASSERT_TRUE(controllerA.finish(100000ms)) << controllerA.process.output() << hostA->log.dump();
    ASSERT_TRUE(hostB.log.waitFor("Recoder end of recording", 10000ms)) << hostB.log.dump();
    std::ofstream(cue) << "go";
    ASSERT_TRUE(controllerB.finish(60000ms)) << controllerB.process.output() << hostB.log.dump();

    // Nothing was appended while B's connection held the ring; the end ran
    // once it had ended, with the whole closing piece.
    const double paused = controllerB.timeOf("Status=Pause");
    ASSERT_GT(paused, 0) << controllerB.process.output();
    EXPECT_GT(controllerB.timeOf("Status=Disconnect", paused), 0) << controllerB.process.output();
    EXPECT_GT(controllerB.timeOf("Tag=1:2:Recorder"), controllerB.stepTime("send:Play"))
        << "no end of the recording while B's connection was up: " << controllerB.process.output();
    const long endSeen = hostB.log.indexOf("Recoder end of recording");
    const long workerEnd = hostB.log.indexOf("wth end", endSeen);
    EXPECT_GT(workerEnd, endSeen);
    EXPECT_GT(hostB.log.indexOf("tag:2 [Recorder]"), workerEnd) << hostB.log.dump();
    EXPECT_EQ(hostB.log.count("Rcv Frame refused while connected"), 0u);

    EXPECT_EQ(hostA->stop(), 0);
    EXPECT_EQ(hostB.stop(), 0);
}


// A controller's new track replaces a recording still running; the end of
// that recording then belongs to no track and must not land in the upload.
TEST_F(HostRecorder, AnUploadDuringARecordingKeepsItsTrackWhole) {
    hostA = std::make_unique<HostProcess>(net->nsA(), directory, "hostA");
    ASSERT_TRUE(hostA->start("")) << hostA->process.output();
    HostProcess hostB(net->nsB(), directory, "hostB");
    ASSERT_TRUE(hostB.start("")) << hostB.process.output();
    ASSERT_TRUE(capture.start(net->nsA(), directory + "/cap", 2));
    const std::string cue = directory + "/a-ended";

    const std::string trackB = patternTrack(2, 0xB2);
    std::vector<std::string> stepsB{"register", "wait:Status=Disconnect:10", "wait:Tag=0:0:reset:120"};
    for (const auto& s : uploadSteps(writeTrack("trackB.raw", trackB))) stepsB.push_back(s);
    stepsB.insert(stepsB.end(), {"waitfile:" + cue + ":120", "read:1", "register", "wait:Status=Disconnect:10",
                                 connectTo("fe80::1", 19646, net->ifIndexB()), "wait:Status=Play:30",
                                 "wait:Status=Disconnect:30"});
    ControllerRun controllerB;
    ASSERT_TRUE(controllerB.start(net->nsB(), hostB.port, stepsB));
    // B's controller is registered before A's sender can start the recording.
    ASSERT_TRUE(controllerB.waitForLine("Status=Disconnect", 60000ms)) << controllerB.process.output();

    std::vector<std::string> stepsA{"register"};
    for (const auto& s : uploadSteps(writeTrack("trackA.raw", patternTrack(5, 0xA2)))) stepsA.push_back(s);
    stepsA.insert(stepsA.end(), {connectTo("fe80::2", 19644, net->ifIndexA()), "wait:Status=Play:30",
                                 "wait:Status=Disconnect:60"});
    ControllerRun controllerA;
    ASSERT_TRUE(controllerA.start(net->nsA(), hostA->port, stepsA));
    ASSERT_TRUE(controllerA.finish(100000ms)) << controllerA.process.output() << hostA->log.dump();
    ASSERT_TRUE(hostB.log.waitFor("Recoder end dropped", 10000ms)) << hostB.log.dump();
    std::ofstream(cue) << "go";
    ASSERT_TRUE(controllerB.finish(60000ms)) << controllerB.process.output() << hostB.log.dump();

    EXPECT_FALSE(controllerB.sawLine("Tag=1:2:Recorder")) << controllerB.process.output();
    EXPECT_EQ(hostB.log.count("[Recorder]"), 0u);
    expectTrackByteForByte(capture.file(1), trackB);

    EXPECT_EQ(hostA->stop(), 0);
    EXPECT_EQ(hostB.stop(), 0);
}

}  // namespace
