// Answers leave from the address that was asked. The capture sink program runs
// in a namespace whose veth end has two global addresses on the one link; a
// scripted peer and this system's sender, in the other namespace, ask it
// through each of them. A sender takes an answer only from exactly the address
// it asked, so every answer's source must be that address (the platform alone
// would pick one of the two for every answer).
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/IPAddress.h"
#include "protocol/FormatConfigure.h"
#include "tests/support/SenderSinkRig.h"
#include "tests/support/TestSupport.h"
#include "tests/support/ZarnithWire.h"

using namespace std::chrono_literals;
using tmtest::Bytes;
using tmtest::header;
using tmtest::message;
using tmtest::message64;

namespace {

constexpr std::uint16_t ControlPort = 19644;  // capture sink, port id 1
constexpr std::uint16_t StreamPort = 19645;
constexpr const char* PeerAddress = "fd00:5::1";
// Two addresses of one prefix on the sink's link: left to itself, the
// platform would answer the peer from one of them whichever was asked.
constexpr const char* SinkAddresses[] = {"fd00:5::7", "fd00:5::8"};
// CH2, PCM32, 48000 x 1.
constexpr std::uint64_t Pcm32At48k = 0x02 | 0x800 | (0x000CULL << 32);

std::string text(const sockaddr_in6& a) {
    char buffer[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &a.sin6_addr, buffer, sizeof buffer);
    return std::string(buffer) + " port " + std::to_string(ntohs(a.sin6_port));
}

std::string text(const char* address, std::uint16_t port) {
    sockaddr_in6 a{};
    ::inet_pton(AF_INET6, address, &a.sin6_addr);
    a.sin6_port = htons(port);
    return text(a);
}

class SinkAddress : public ::testing::Test {
protected:
    void SetUp() override {
        if (!net.ok()) GTEST_SKIP() << net.reason();
        const std::string inA = "ip netns exec " + net.nsA() + " ";
        const std::string inB = "ip netns exec " + net.nsB() + " ";
        ASSERT_EQ(tmtest::shell(inA + "ip -6 addr add " + PeerAddress + "/64 dev " + net.linkA() + " nodad"), 0);
        for (const char* address : SinkAddresses)
            ASSERT_EQ(tmtest::shell(inB + "ip -6 addr add " + address + "/64 dev " + net.linkB() + " nodad"), 0);
        prefix = tmtest::tempPrefix("addr");
        ASSERT_TRUE(sink.start(net.nsB(), 0, prefix));
        {
            tmtest::ScopedNetns inNsA(net.nsA());
            ASSERT_TRUE(inNsA.ok());
            peer = std::make_unique<tmtest::UdpPeer>(0, PeerAddress);
        }
        ASSERT_TRUE(peer->ok());
        // The sink has started and both addresses carry datagrams (whatever
        // the answers' source).
        for (const char* address : SinkAddresses)
            ASSERT_TRUE(tmtest::eventually(
                [&] { return peer->ask(ControlPort, message64(0x04, 0, 0), 50ms, address).has_value(); }, 10000ms))
                << address << "\n" << sink.process.output();
    }
    void TearDown() override {
        sink.stop();
        if (!prefix.empty()) tmtest::shell("rm -f " + prefix + ".*.raw");
    }

    // The next datagram with message id `id`, and where it came from.
    std::optional<std::pair<Bytes, sockaddr_in6>> next(std::uint16_t id, std::chrono::milliseconds limit = 2000ms) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            sockaddr_in6 from{};
            auto b = peer->receive(left, &from);
            if (!b) return std::nullopt;
            if (header(*b).id == id) return std::make_pair(*b, from);
        }
    }

    tmtest::NetnsPair net;
    tmtest::CaptureSinkProcess sink;
    std::string prefix;
    std::unique_ptr<tmtest::UdpPeer> peer;
};

TEST_F(SinkAddress, ControlAnswersLeaveFromTheAskedAddress) {
    struct Case {
        const char* what;
        Bytes request;
        std::uint16_t answerId;
    };
    const Case cases[] = {
        {"format inquiry", message64(0x04, 0, 0), 0x05},
        {"parameters", message64(0x14, 0, 0), 0x15},
        {"latency", message(0x06, 0, 300), 0x07},
        {"data size", message(0x0e, 0, 0, 0, 0, 0, {1, 2, 3}), 0x0f},
        {"pre-format", message64(0x12, 0, 0x02 | 0x100 | (1000ULL << 16) | (0x000CULL << 32)), 0x13},
        {"client name", message64(0x18, 1, 0, tmtest::text("peer")), 0x19},
        {"refused connect (two channel codes)", message64(0x08, 0, Pcm32At48k | 0x01), 0x09},
        {"unit list", message(0x34, 0, 0), 0x35},
        {"icon", message(0x42, 0, 1), 0x43},
        {"synchro information", message(0x4a, 0), 0x4b},
        {"unsupported code, echoed", message(0x26, 0), 0x26},
    };
    for (const char* address : SinkAddresses) {
        for (const Case& c : cases) {
            ASSERT_TRUE(peer->sendTo(ControlPort, c.request, address)) << c.what;
            auto answer = next(c.answerId);
            ASSERT_TRUE(answer) << address << ": " << c.what;
            EXPECT_EQ(text(answer->second), text(address, ControlPort)) << c.what;
        }
    }
}

// A connection through each address in turn: the connect answer, the rate
// report, the resend request, the echo answer and both disconnect answers
// (in the data phase and, repeated, in the idle phase) leave from the address
// that the sender sends to.
TEST_F(SinkAddress, StreamAnswersLeaveFromTheAddressTheStreamGoesTo) {
    for (const char* address : SinkAddresses) {
        SCOPED_TRACE(address);
        ASSERT_TRUE(peer->sendTo(ControlPort, message64(0x08, 0, Pcm32At48k), address));
        auto connected = next(0x09);
        ASSERT_TRUE(connected);
        ASSERT_EQ(header(connected->first).status & 1, 1);
        EXPECT_EQ(text(connected->second), text(address, ControlPort));
        ASSERT_EQ(header(connected->first).o[0], StreamPort);

        struct Step {
            const char* what;
            Bytes datagram;
            std::uint16_t answerId;
            std::uint16_t answerStatusBit;
        };
        const Step steps[] = {
            {"rate report asked by the first message", message(0x0a, 0x0020, 0, 0, 0, 0, {1, 2, 3, 4}), 0x0b, 0x0020},
            {"resend request for a gap", message(0x0a, 0, 2, 0, 0, 0, {1, 2, 3, 4}), 0x0b, 0x0008},
            {"stream echo", message(0x4c, 0), 0x4d, 0},
            {"disconnect", message(0x0c, 0), 0x0d, 0},
            {"late disconnect repeat, idle", message(0x0c, 0), 0x0d, 0},
        };
        for (const Step& s : steps) {
            ASSERT_TRUE(peer->sendTo(StreamPort, s.datagram, address)) << s.what;
            auto answer = next(s.answerId);
            ASSERT_TRUE(answer) << s.what;
            EXPECT_EQ(header(answer->first).status & s.answerStatusBit, s.answerStatusBit) << s.what;
            EXPECT_EQ(text(answer->second), text(address, StreamPort)) << s.what;
        }
    }
}

// This system's sender asks the sink through each address in turn (so also
// through the one the platform would not have answered from), connects and
// streams a track, which arrives byte for byte.
TEST_F(SinkAddress, TheSenderStreamsThroughEitherAddress) {
    const ZARNITH::FormatConfigure format(Pcm32At48k);
    const std::vector<std::uint8_t> track = tmtest::patternTrack(384000);  // 1 s
    unsigned connection = 0;
    for (const char* sinkAddress : SinkAddresses) {
        SCOPED_TRACE(sinkAddress);
        ++connection;
        tmtest::Player player;
        {
            tmtest::ScopedNetns inNsA(net.nsA());
            ASSERT_TRUE(inNsA.ok());
            ORVEX::IPAddress address;
            ASSERT_TRUE(address.set_V6_str(sinkAddress));
            address.set_port(ControlPort);
            ASSERT_TRUE(player.connect(address, net.ifIndexA(), format, track, 480));
        }
        ASSERT_TRUE(player.waitIdle(60000ms));
        const std::string line = sink.endLine(5000ms, connection);
        EXPECT_NE(line.find("end=request"), std::string::npos) << line;
        EXPECT_TRUE(tmtest::silenceTrackSilence(sink.captured(connection), track, 0, player.leadingSilence));
    }
}

}  // namespace
