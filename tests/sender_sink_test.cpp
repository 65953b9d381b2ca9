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
#include "tests/support/SenderSinkRig.h"
#include "tests/support/TestSupport.h"

using namespace std::chrono_literals;
using ORVEX::Clock;
using namespace ZARNITH;
using tmtest::CaptureSinkProcess;
using tmtest::Player;
using tmtest::onTheWire;
using tmtest::patternTrack;
using tmtest::silenceTrackSilence;
using tmtest::tempPrefix;

namespace {

constexpr unsigned ControlPort = 19644;  // capture sink, port id 1
constexpr unsigned StreamPort = 19645;

const FormatConfigure Pcm32(CH2 | PCM32 | BASE_48000 | MULTI_1);
const FormatConfigure DsdLittle(CH2 | DSD1 | DSD_LSB | DSD_LITTLE | DSD_WORD32 | BASE_44100 | MULTI_64);
// The sink takes DSD64 LSB first in big-endian words only.
constexpr std::uint64_t DsdBigMask = CH2 | DSD1 | DSD_LSB | DSD_BIG | DSD_WORD32 | BASE_44100 | MULTI_64;

TEST(SenderSink, PlaysATrackToTheCaptureSinkOnLoopback) {
    if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own for the sink's fixed ports";
    SysLogZarnith::zarnith_log = 6;
    const std::string prefix = tempPrefix("cap");
    CaptureSinkProcess sink;
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
    CaptureSinkProcess sink;
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
    CaptureSinkProcess sink;
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
