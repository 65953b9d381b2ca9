// The sender with its buffer ring against the real sink endpoint, run as the
// zarnith-capture-sink program: the whole handshake and stream on ::1, and
// end to end between two network namespaces over a veth pair with a share of
// the stream datagrams dropped by nftables. The captured file must be
// silence, the track (converted where the sink needs it) and silence, byte
// for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Clock.h"
#include "foundation/IPAddress.h"
#include "protocol/FormatConfigure.h"
#include "protocol/SysLogZarnith.h"
#include "sender/SyncBuffer.h"
#include "tests/support/TestSupport.h"

using namespace std::chrono_literals;
using ORVEX::Clock;
using namespace ZARNITH;

namespace {

constexpr unsigned ControlPort = 19644;  // capture sink, port id 1
constexpr unsigned StreamPort = 19645;

const FormatConfigure Pcm32(CH2 | PCM32 | BASE_48000 | MULTI_1);
const FormatConfigure DsdLittle(CH2 | DSD1 | DSD_LSB | DSD_LITTLE | DSD_WORD32 | BASE_44100 | MULTI_64);
// The sink takes DSD64 LSB first in big-endian words only.
constexpr std::uint64_t DsdBigMask = CH2 | DSD1 | DSD_LSB | DSD_BIG | DSD_WORD32 | BASE_44100 | MULTI_64;

std::vector<std::uint8_t> patternTrack(std::size_t bytes) {
    std::vector<std::uint8_t> v(bytes);
    std::uint32_t x = 12345;
    for (auto& b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    // A start that is no silence byte of any format, so the track is found.
    for (std::size_t i = 0; i < 8 && i < v.size(); ++i) v[i] = 0x11;
    return v;
}

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What the sink should have received for a track in the host's format.
std::vector<std::uint8_t> onTheWire(const std::vector<std::uint8_t>& track, bool swapWords) {
    if (!swapWords) return track;
    std::vector<std::uint8_t> out(track.size());
    for (std::size_t i = 0; i < track.size(); ++i) out[i] = track[(i & ~std::size_t{3}) + 3 - (i & 3)];
    return out;
}

// Silence, then exactly the expected bytes, then silence.
::testing::AssertionResult silenceTrackSilence(const std::vector<std::uint8_t>& captured,
                                               const std::vector<std::uint8_t>& expected, std::uint8_t mute,
                                               std::size_t leadingAtLeast) {
    const auto start = static_cast<std::size_t>(
        std::find_if(captured.begin(), captured.end(), [mute](std::uint8_t b) { return b != mute; }) -
        captured.begin());
    if (start < leadingAtLeast)
        return ::testing::AssertionFailure() << "leading silence " << start << " < " << leadingAtLeast;
    if (captured.size() < start + expected.size())
        return ::testing::AssertionFailure() << "captured " << captured.size() << " bytes, track ends at "
                                             << start + expected.size();
    const auto mismatch = std::mismatch(expected.begin(), expected.end(), captured.begin() + static_cast<long>(start));
    if (mismatch.first != expected.end())
        return ::testing::AssertionFailure() << "first difference at track byte " << (mismatch.first - expected.begin())
                                             << " of " << expected.size();
    const auto tail = captured.begin() + static_cast<long>(start + expected.size());
    if (!std::all_of(tail, captured.end(), [mute](std::uint8_t b) { return b == mute; }))
        return ::testing::AssertionFailure() << "non-silence after the track";
    return ::testing::AssertionSuccess();
}

// The capture sink as a child process, optionally inside a namespace.
class CaptureSink {
public:
    bool start(const std::string& ns, std::uint64_t formats, const std::string& prefix) {
        prefix_ = prefix;
        std::vector<std::string> argv{tmtest::binPath("zarnith-capture-sink")};
        if (formats != 0) {
            argv.push_back("--formats");
            argv.push_back(std::to_string(formats));
        }
        argv.push_back(prefix);
        if (!ns.empty()) argv = tmtest::NetnsPair::inNs(ns, argv);
        return process.start(argv);
    }
    // Waits for the end line of the first connection.
    std::string endLine(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            const std::string out = process.output();
            const auto at = out.find("connection=1 ");
            if (at != std::string::npos) {
                const auto eol = out.find('\n', at);
                if (eol != std::string::npos) return out.substr(at, eol - at);
            }
            std::this_thread::sleep_for(20ms);
        }
        return std::string();
    }
    std::vector<std::uint8_t> captured() const { return readFile(prefix_ + ".1.raw"); }
    void stop() {
        process.signal(SIGTERM);
        (void)process.wait(5000ms);
    }

    tmtest::ChildProcess process;

private:
    std::string prefix_;
};

// Plays a whole track from the ring to the sink and waits for the end.
class Player {
public:
    // Inquiry (retried while the sink starts), settlement, a 1 ms Fix profile,
    // the ring holding the track, prepare, connect.
    ::testing::AssertionResult connect(const ORVEX::IPAddress& sinkAddress, unsigned ifIndex, FormatConfigure host,
                                       const std::vector<std::uint8_t>& track, std::uint64_t blockFrames) {
        if (!sync.open(Sync::THRED_NONE, Clock::fromMilliseconds(100), static_cast<unsigned short>(ifIndex),
                       "sender-test", 0x5445535453454E44UL, -1, -1, 0))
            return ::testing::AssertionFailure() << "open";
        bool asked = false;
        for (int i = 0; i < 100 && !asked; ++i) {
            asked = sync.setSink(sinkAddress, Clock(), false);
            if (!asked) std::this_thread::sleep_for(100ms);
        }
        if (!asked) return ::testing::AssertionFailure() << "sink inquiry";
        if (!sync.setSinkConfigure(host)) return ::testing::AssertionFailure() << "format settlement";
        if (!sync.configTransferFix(Clock::fromMilliseconds(1), 0)) return ::testing::AssertionFailure() << "profile";
        const std::uint64_t block = blockFrames * host.getWid() * host.getChannel();
        leadingSilence = block * LeadingBlocks;
        if (!sync.setupBuffer(blockFrames, LeadingBlocks, false, host)) return ::testing::AssertionFailure() << "ring";
        for (std::size_t at = 0; at < track.size(); at += block) {
            const std::size_t n = std::min<std::size_t>(block, track.size() - at);
            if (!sync.addStream(ORVEX::BufferCS_const(track.data() + at, n)))
                return ::testing::AssertionFailure() << "addStream";
        }
        sync.seek_front();
        if (!sync.connectPrepare()) return ::testing::AssertionFailure() << "prepare";
        if (!sync.connect(false, -1)) return ::testing::AssertionFailure() << "connect";
        (void)sync.connectWait();
        if (sync.state.load() != 2) return ::testing::AssertionFailure() << "state " << sync.state.load();
        sync.play();
        sync.pre_disconnect(true);
        return ::testing::AssertionSuccess();
    }
    bool waitIdle(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (sync.state.load() == 0) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    static constexpr unsigned long LeadingBlocks = 10;
    SyncBuffer sync;
    std::uint64_t leadingSilence = 0;
};

std::string tempPrefix(const std::string& name) {
    return "/tmp/" + tmtest::uniqueName(name);
}

TEST(SenderSink, PlaysATrackToTheCaptureSinkOnLoopback) {
    if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own for the sink's fixed ports";
    SysLogZarnith::zarnith_log = 6;
    const std::string prefix = tempPrefix("cap");
    CaptureSink sink;
    ASSERT_TRUE(sink.start("", 0, prefix));
    const std::vector<std::uint8_t> track = patternTrack(384 * 3000);  // 3 s
    Player player;
    ORVEX::IPAddress address;
    ASSERT_TRUE(address.set_V6_str("::1"));
    address.set_port(ControlPort);
    ASSERT_TRUE(player.connect(address, 0, Pcm32, track, 480));
    // What the real sink answered to the inquiry.
    EXPECT_EQ(static_cast<std::uint64_t>(player.sync.sendFormat), static_cast<std::uint64_t>(Pcm32));
    EXPECT_EQ(player.sync.hwLatency, 200);
    EXPECT_EQ(player.sync.latency, 1000);
    EXPECT_EQ(player.sync.packDataSize, 1428);
    EXPECT_EQ(player.sync.packDataCount, 0xFFFF);
    EXPECT_EQ(player.sync.profileMaker.sinkCycleMin, 333);
    EXPECT_EQ(player.sync.profileMaker.sinkCycleMax, 1000);
    EXPECT_NE(static_cast<std::uint64_t>(player.sync.sincSupportPCM) & PCM32, 0u);
    ASSERT_TRUE(player.waitIdle(30000ms));
    const std::string line = sink.endLine(5000ms);
    sink.stop();
    EXPECT_NE(line.find("client=sender-test "), std::string::npos) << line;
    EXPECT_NE(line.find("end=request"), std::string::npos) << line;
    char format[32];
    std::snprintf(format, sizeof(format), "format=0x%016llx", static_cast<unsigned long long>(Pcm32));
    EXPECT_NE(line.find(format), std::string::npos) << line;
    EXPECT_TRUE(silenceTrackSilence(sink.captured(), track, 0, player.leadingSilence));
    std::remove((prefix + ".1.raw").c_str());
}

// Pausing sends silence and leaves the ring alone; playing again goes on
// with the next block. The captured stream is the track with silence around
// and inside it (the track holds no silence byte, so every one is a pause).
TEST(SenderSink, PauseSendsSilenceWithoutConsumingTheRing) {
    if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own for the sink's fixed ports";
    const std::string prefix = tempPrefix("pause");
    CaptureSink sink;
    ASSERT_TRUE(sink.start("", 0, prefix));
    std::vector<std::uint8_t> track = patternTrack(384 * 2000);  // 2 s
    std::replace(track.begin(), track.end(), std::uint8_t{0}, std::uint8_t{1});
    Player player;
    ORVEX::IPAddress address;
    ASSERT_TRUE(address.set_V6_str("::1"));
    address.set_port(ControlPort);
    ASSERT_TRUE(player.connect(address, 0, Pcm32, track, 480));
    std::this_thread::sleep_for(500ms);
    player.sync.Sync::stop();  // the pause of a seek
    std::this_thread::sleep_for(50ms);  // the block in hand goes out
    const unsigned long queued = player.sync.getLastBufferCount();
    EXPECT_GT(queued, 0u);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(player.sync.getLastBufferCount(), queued);
    EXPECT_EQ(player.sync.state.load(), 2);
    player.sync.play();
    player.sync.pre_disconnect(true);
    ASSERT_TRUE(player.waitIdle(30000ms));
    (void)sink.endLine(5000ms);
    sink.stop();

    const std::vector<std::uint8_t> captured = sink.captured();
    std::size_t k = 0;
    std::size_t pauses = 0;
    bool inSilence = true;
    for (std::uint8_t b : captured) {
        if (b == 0) {
            if (!inSilence && k < track.size()) ++pauses;
            inSilence = true;
            continue;
        }
        inSilence = false;
        ASSERT_LT(k, track.size()) << "audio after the track";
        ASSERT_EQ(b, track[k]) << "track byte " << k;
        ++k;
    }
    EXPECT_EQ(k, track.size());
    EXPECT_EQ(pauses, 1u);
    std::remove((prefix + ".1.raw").c_str());
}

struct LossCase {
    const char* name;
    unsigned perMille;  // datagrams to the stream port dropped, per thousand
    bool dsd;
};

void PrintTo(const LossCase& c, std::ostream* os) { *os << c.name; }

class SenderSinkLoss : public ::testing::TestWithParam<LossCase> {};

// 30 s of a patterned track between two namespaces, link-local, with loss.
TEST_P(SenderSinkLoss, TrackArrivesBitExact) {
    const LossCase c = GetParam();
    tmtest::NetnsPair net;
    if (!net.ok()) GTEST_SKIP() << net.reason();
    if (c.perMille > 0) {
        const std::string nft = "ip netns exec " + net.nsB() + " nft ";
        ASSERT_EQ(tmtest::shell(nft + "'add table inet tmloss'"), 0);
        ASSERT_EQ(tmtest::shell(nft + "'add chain inet tmloss input { type filter hook input priority 0; }'"), 0);
        ASSERT_EQ(tmtest::shell(nft + "'add rule inet tmloss input udp dport " + std::to_string(StreamPort) +
                                " numgen random mod 1000 < " + std::to_string(c.perMille) + " drop'"),
                  0);
    }
    SysLogZarnith::zarnith_log = 6;
    const std::string prefix = tempPrefix("loss");
    CaptureSink sink;
    ASSERT_TRUE(sink.start(net.nsB(), c.dsd ? DsdBigMask : 0, prefix));

    const FormatConfigure host = c.dsd ? DsdLittle : Pcm32;
    const std::uint64_t bytesPerSecond = host.getSpeed() * host.getBits() * host.getChannel() / 8;
    const std::vector<std::uint8_t> track = patternTrack(static_cast<std::size_t>(bytesPerSecond * 30));
    Player player;
    {
        tmtest::ScopedNetns inA(net.nsA());
        ASSERT_TRUE(inA.ok());
        ORVEX::IPAddress address;
        ASSERT_TRUE(address.set_V6_str("fe80::2"));
        address.set_port(ControlPort);
        address.ifIndex = net.ifIndexA();
        // The ring's blocks are 10 ms of audio: 480 frames, or 882 DSD words per channel.
        ASSERT_TRUE(player.connect(address, net.ifIndexA(), host, track, c.dsd ? 882 : 480));
    }
    if (c.dsd) {
        EXPECT_EQ(static_cast<std::uint64_t>(player.sync.sendFormat), DsdBigMask);
    }
    ASSERT_TRUE(player.waitIdle(120000ms));
    const std::string line = sink.endLine(5000ms);
    sink.stop();
    if (c.perMille == 0) {
        EXPECT_NE(line.find("end=request"), std::string::npos) << line;
    } else {
        // A lost disconnect request leaves the sink without datagrams for the
        // sender's whole 0.5 s retry window, as long as the sink's own time-out:
        // the sink may then end by time-out, with every byte already received.
        EXPECT_TRUE(line.find("end=request") != std::string::npos ||
                    line.find("end=timeout") != std::string::npos) << line;
    }
    if (c.perMille > 0) {
        EXPECT_EQ(line.find("resend_requests=0 "), std::string::npos) << "no loss seen: " << line;
    }
    std::printf("%s: %s\n", c.name, line.c_str());
    EXPECT_TRUE(silenceTrackSilence(sink.captured(), onTheWire(track, c.dsd), c.dsd ? 0x69 : 0, player.leadingSilence));
    std::remove((prefix + ".1.raw").c_str());
}

INSTANTIATE_TEST_SUITE_P(Loss, SenderSinkLoss,
                         ::testing::Values(LossCase{"pcm32_loss0", 0, false}, LossCase{"pcm32_loss05", 5, false},
                                           LossCase{"pcm32_loss1", 10, false}, LossCase{"dsd64_loss0", 0, true},
                                           LossCase{"dsd64_loss05", 5, true}, LossCase{"dsd64_loss1", 10, true}),
                         [](const ::testing::TestParamInfo<LossCase>& info) { return std::string(info.param.name); });

}  // namespace
