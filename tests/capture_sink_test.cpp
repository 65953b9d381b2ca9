// zarnith-capture-sink as a process against a scripted sender over ::1: the
// handshake answers, a stream with chosen messages dropped and reordered on
// the way (the sender resends what the sink asks for), the written file byte
// for byte, the closing lines for a requested, a timed-out and a local end,
// and the exit status on SIGTERM.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "sink/SinkTestKit.h"
#include "tests/support/TestSupport.h"

using namespace sinktest;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t ControlPort = 19644;
constexpr std::uint16_t StreamPort = 19645;
// CH2, PCM32, 48000 x 1.
constexpr std::uint64_t Format = 0x02 | 0x800 | (0x000CULL << 32);

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ScriptedSender {
public:
    explicit ScriptedSender(UdpPeer& peer) : peer_(peer) {}

    // Inquiries, pre-format, client name and connect; the stream port or 0.
    std::uint16_t connect(const std::string& name) {
        auto format = peer_.ask(ControlPort, message64(0x04, 0, 0));
        if (!format || header(*format).status != 1) return 0;
        auto latency = peer_.ask(ControlPort, message64(0x06, 0, 0));
        if (!latency) return 0;
        latencyAnswer = header(*latency);
        auto pre = peer_.ask(ControlPort, message64(0x12, 0, preFormatOf(Format, latencyAnswer.o[0])));
        if (!pre || header(*pre).status != 1) return 0;
        auto client = peer_.ask(ControlPort, message64(0x18, 1, 0, text(name)));
        if (!client || header(*client).status != 1) return 0;
        auto connect = peer_.ask(ControlPort, message64(0x08, 0, Format));
        if (!connect || (header(*connect).status & 1) == 0) return 0;
        return header(*connect).o[0];
    }

    // Sends messages [0, count) eight per millisecond; the first sending of
    // the sequences in `drop` is lost, and each pair in `swap` goes out in the
    // other order. Answers resend requests as a sender does: everything from
    // the requested sequence on, in the resend form (two bytes of room).
    void stream(std::uint16_t port, std::uint16_t count, const std::set<std::uint16_t>& drop,
                const std::set<std::uint16_t>& swapFirst) {
        for (std::uint16_t s = 0; s < count; ++s) payloads.push_back(payloadOf(s));
        std::set<std::uint16_t> dropped;
        std::uint16_t next = 0;
        while (next < count) {
            for (int slot = 0; slot < 8 && next < count; ++slot) {
                std::uint16_t s = next;
                if (swapFirst.count(next) && next + 1 < count) {
                    sendOnce(port, static_cast<std::uint16_t>(next + 1), drop, dropped);
                    sendOnce(port, next, drop, dropped);
                    next = static_cast<std::uint16_t>(next + 2);
                    continue;
                }
                sendOnce(port, s, drop, dropped);
                ++next;
            }
            sent = next;
            std::this_thread::sleep_for(1ms);
            serveRequests(port, 0ms);
        }
        // The last one asks for a report; then wait for the sink to catch up.
        send(port, static_cast<std::uint16_t>(count - 1), 0x60, true);
        serveRequests(port, 200ms);
    }

    void serveRequests(std::uint16_t port, std::chrono::milliseconds window) {
        for (const Bytes& b : peer_.drain(window)) {
            const Header h = header(b);
            if (h.id != 0x0b) continue;
            if (h.status & 0x0008) {
                ++resendRequests;
                for (std::uint16_t s = h.o[1]; s < sent; ++s) send(port, s, 0, true);
            } else {
                reports.push_back(h);
            }
        }
    }

    std::string expectedFile() const {
        std::string out;
        for (const Bytes& p : payloads) out.append(p.begin(), p.end());
        return out;
    }

    Header latencyAnswer;
    std::vector<Bytes> payloads;
    std::vector<Header> reports;
    unsigned resendRequests = 0;
    std::uint16_t sent = 0;

private:
    static Bytes payloadOf(std::uint16_t s) {
        Bytes b(1000 + (s % 3) * 8);
        std::uint32_t x = 0x9E3779B9u * (s + 1);
        for (auto& byte : b) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            byte = static_cast<std::uint8_t>(x);
        }
        return b;
    }

    void sendOnce(std::uint16_t port, std::uint16_t s, const std::set<std::uint16_t>& drop,
                  std::set<std::uint16_t>& dropped) {
        if (drop.count(s) && !dropped.count(s)) {
            dropped.insert(s);
            return;
        }
        send(port, s, (s % 50 == 49) ? 0x60 : 0x00, false);
    }

    void send(std::uint16_t port, std::uint16_t s, std::uint16_t status, bool resendForm) {
        Bytes m = message(0x0a, status, s, 0, 0, 0, payloads[s]);
        if (resendForm) m.resize(m.size() + 8, 0);
        peer_.sendTo(port, m);
    }

    UdpPeer& peer_;
};

class CaptureSink : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (fixed ports 19644, 19645)";
        char dir[] = "/tmp/capture_sinkXXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        directory = dir;
        prefix = directory + "/cap";
        ASSERT_TRUE(child.start({tmtest::binPath("zarnith-capture-sink"), "--port-id", "1", prefix}));
        UdpPeer probe;
        ASSERT_TRUE(eventually([&] { return probe.ask(ControlPort, message64(0x04, 0, 0), 50ms).has_value(); }, 5000ms))
            << child.output();
    }
    void TearDown() override {
        if (!directory.empty()) tmtest::shell("rm -rf " + directory);
    }

    // The closing line of connection n, once printed.
    std::string lineOf(unsigned n) {
        std::string found;
        eventually(
            [&] {
                std::istringstream out(child.output());
                std::string line;
                while (std::getline(out, line))
                    if (line.rfind("connection=" + std::to_string(n) + " ", 0) == 0) {
                        found = line;
                        return true;
                    }
                return false;
            },
            3000ms);
        return found;
    }

    tmtest::ChildProcess child;
    std::string directory;
    std::string prefix;
};

TEST_F(CaptureSink, WritesTheStreamByteForByteDespiteLossAndReordering) {
    UdpPeer peer;
    ScriptedSender sender(peer);
    const std::uint16_t port = sender.connect("scripted");
    ASSERT_EQ(port, StreamPort);
    EXPECT_EQ(sender.latencyAnswer.o[0], 1000);
    EXPECT_EQ(sender.latencyAnswer.o[1], 200);
    EXPECT_EQ(sender.latencyAnswer.o[2], 5000);

    sender.stream(port, 400, {0, 5, 50, 51, 52, 200, 399}, {100, 300});
    ASSERT_TRUE(peer.sendTo(port, message(0x0c, 0)));
    bool answered = false;
    for (int i = 0; i < 20 && !answered; ++i) {
        for (const Bytes& b : peer.drain(50ms))
            if (header(b).id == 0x0d) answered = true;
    }
    EXPECT_TRUE(answered);

    const std::string line = lineOf(1);
    ASSERT_FALSE(line.empty()) << child.output();
    const std::string expected = sender.expectedFile();
    std::ostringstream want;
    want << "connection=1 format=0x0000000c00000802 client=scripted messages=400 bytes=" << expected.size()
         << " resend_requests=";
    EXPECT_EQ(line.rfind(want.str(), 0), 0u) << line;
    EXPECT_NE(line.find(" end=request"), std::string::npos) << line;
    EXPECT_GE(sender.resendRequests, 5u);
    EXPECT_EQ(readFile(prefix + ".1.raw"), expected);

    ASSERT_FALSE(sender.reports.empty());
    for (const Header& r : sender.reports) {
        EXPECT_EQ(r.status, 0x0023);
        EXPECT_EQ(r.o[0], 0x8000) << "a neutral rate report";
        EXPECT_EQ(r.o[1], r.o[2]);
    }

    ASSERT_TRUE(child.signal(SIGTERM));
    ASSERT_TRUE(child.wait(5000ms));
    EXPECT_EQ(child.exitStatus(), 0);
}

TEST_F(CaptureSink, CountsConnectionsAndReportsTimeoutAndLocalEnds) {
    UdpPeer peer;
    {
        ScriptedSender sender(peer);
        const std::uint16_t port = sender.connect("first");
        ASSERT_NE(port, 0);
        sender.stream(port, 20, {}, {});
        const std::string line = lineOf(1);  // the sender falls silent: time-out
        EXPECT_NE(line.find("client=first messages=20 "), std::string::npos) << line;
        EXPECT_NE(line.find(" resend_requests=0 end=timeout"), std::string::npos) << line;
        EXPECT_EQ(readFile(prefix + ".1.raw"), sender.expectedFile());
    }
    {
        ScriptedSender sender(peer);
        const std::uint16_t port = sender.connect("second");
        ASSERT_NE(port, 0);
        sender.stream(port, 10, {}, {});
        ASSERT_TRUE(child.signal(SIGTERM));
        ASSERT_TRUE(child.wait(5000ms));
        EXPECT_EQ(child.exitStatus(), 0);
        const std::string line = lineOf(2);
        EXPECT_NE(line.find("client=second messages=10 "), std::string::npos) << line;
        EXPECT_NE(line.find(" end=local"), std::string::npos) << line;
        EXPECT_EQ(readFile(prefix + ".2.raw"), sender.expectedFile());
    }
}

TEST_F(CaptureSink, FormatMaskNarrowsWhatIsAccepted) {
    ASSERT_TRUE(child.signal(SIGINT));
    ASSERT_TRUE(child.wait(5000ms));
    EXPECT_EQ(child.exitStatus(), 0) << "SIGINT ends it cleanly too";
    tmtest::ChildProcess narrow;
    // Two channels of PCM16 at 44.1 kHz only.
    ASSERT_TRUE(narrow.start({tmtest::binPath("zarnith-capture-sink"), "--formats", "0x0000000a00000202", prefix}));
    UdpPeer peer;
    std::optional<Bytes> summary;
    ASSERT_TRUE(eventually([&] { return (summary = peer.ask(ControlPort, message64(0x04, 0, 0), 50ms)).has_value(); }, 5000ms));
    EXPECT_EQ(header(*summary).option(), 0x0000000a00000202ULL);
    auto pcm = peer.ask(ControlPort, message64(0x04, 0, 0xFF00));
    ASSERT_TRUE(pcm);
    EXPECT_EQ(header(*pcm).option(), 0x0000000a00000202ULL);
    auto dsd = peer.ask(ControlPort, message64(0x04, 0, 0x100000));
    ASSERT_TRUE(dsd);
    EXPECT_EQ(header(*dsd).option(), 0u);
    auto refused = peer.ask(ControlPort, message64(0x08, 0, Format));
    ASSERT_TRUE(refused);
    EXPECT_EQ(header(*refused).status & 1, 0) << "PCM32 is outside the mask";
    auto accepted = peer.ask(ControlPort, message64(0x08, 0, 0x0000000a00000202ULL));
    ASSERT_TRUE(accepted);
    EXPECT_EQ(header(*accepted).status & 1, 1);
    ASSERT_TRUE(narrow.signal(SIGTERM));
    ASSERT_TRUE(narrow.wait(5000ms));
    EXPECT_EQ(narrow.exitStatus(), 0);

    tmtest::ChildProcess bad;
    ASSERT_TRUE(bad.start({tmtest::binPath("zarnith-capture-sink"), "--port-id", "x", prefix}));
    ASSERT_TRUE(bad.wait(5000ms));
    EXPECT_NE(bad.exitStatus(), 0);
    EXPECT_NE(bad.output().find("usage"), std::string::npos);
}

}  // namespace
