// The buffer ring feeding the real worker, against a scripted sink on ::1:
// a track played out to its end, and a connection ended before the ring
// changes, whatever its state.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "sender/SyncBuffer.h"
#include "sender/SyncTestPeer.h"

using namespace std::chrono_literals;
using synctest::LogCapture;
using synctest::Peer;
using namespace ZARNITH;

namespace {

// The sink's control and stream ports: accepts the connection, answers
// report requests with a neutral rate report and the disconnect request.
class RingSink {
public:
    bool accept() {
        Receive got;
        if (!control.receiveId(CONNECT_REQ, got, sender, 3000ms)) return false;
        return control.send(sender, Send(CONNECT_ANS, STATUS_ACCEPT | STATUS_PLAYING, stream.address.get_port(), 0, 0, 0));
    }
    // Serves the stream until the disconnect request was answered or `stop` is set.
    void serve(std::atomic<bool>& stop, std::chrono::milliseconds limit = 20000ms) {
        const auto end = std::chrono::steady_clock::now() + limit;
        Receive got;
        ORVEX::IPAddress from;
        std::uint16_t expected = 0;
        while (!stop.load() && std::chrono::steady_clock::now() < end) {
            if (!stream.receive(got, from, 20ms) || !got) continue;
            const MessageID id = got.getMessage();
            if (id == STREAMDATA_SET) {
                if (got.getOption0() == expected) {
                    bytes.insert(bytes.end(), got.get_data(), got.get_data() + got.size_data());
                    ++expected;
                }
                if (got.getStatus() & STATUS_REPORT)
                    stream.send(from, Send(STREAMREPORT_SET, STATUS_ACCEPT | STATUS_REPORT | STATUS_PLAYING, 0x2000, 0, 0, 0));
            } else if (id == DSICONNECT_REQ) {
                ++disconnectRequests;
                stream.send(from, Send(DSICONNECT_ANS, STATUS_PLAYING));
                return;
            }
        }
    }
    Peer control;
    Peer stream;
    ORVEX::IPAddress sender;
    std::vector<std::uint8_t> bytes;  // data payloads in sequence order, once each
    int disconnectRequests = 0;
};

constexpr std::uint64_t kFormat = CH2 | PCM32 | BASE_48000 | MULTI_1;

class RingStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::start(7);
        ASSERT_TRUE(sink.control.ok && sink.stream.ok);
    }
    void TearDown() override { ring.close(); }

    // A ring of three 10 ms blocks of silence and `chunks` patterned chunks of `bytes` bytes.
    void fill(int chunks, std::size_t bytes) {
        ASSERT_TRUE(ring.setupBuffer(480, 3, false, kFormat));
        for (int c = 0; c < chunks; ++c) {
            ORVEX::Buffer chunk(bytes);
            for (std::size_t i = 0; i < bytes; ++i) chunk[i] = static_cast<std::uint8_t>(1 + (c * 7 + i) % 251);
            track.insert(track.end(), chunk.begin(), chunk.end());
            ASSERT_TRUE(ring.addStream(chunk.view()));
        }
        ring.seek_front();
    }
    void open() {
        ASSERT_TRUE(ring.open(Sync::THRED_NONE, ORVEX::Clock::fromMilliseconds(10), 0, "t", 0, -1, -1, 0));
        ring.sincSupportPCM = ~0ULL;
        ASSERT_TRUE(ring.setSinkConfigure(kFormat));
        ring.setConfigTransfer(synctest::fixProfile(1000, 1, 48));
        ring.sinkAddress = sink.control.address;
        ASSERT_TRUE(ring.connect(false, -1));
    }
    void connect() {
        open();
        ASSERT_TRUE(sink.accept());
        ASSERT_TRUE(ring.connectWait());
        ASSERT_EQ(ring.state.load(), 2);
    }

    RingSink sink;
    SyncBuffer ring;
    std::vector<std::uint8_t> track;
};

TEST_F(RingStreamTest, PlaysTheTrackInOrderAndEndsByItself) {
    // Chunk sizes that are no multiple of the message size.
    fill(40, 1001);
    connect();
    ring.play();
    ring.pre_disconnect(true);
    std::atomic<bool> stop{false};
    sink.serve(stop);
    ASSERT_EQ(sink.disconnectRequests, 1);
    ASSERT_TRUE(LogCapture::instance().waitFor("wth end", 2000ms));
    EXPECT_EQ(ring.state.load(), 0);
    EXPECT_EQ(LogCapture::instance().find("buffer timeout "), -1);
    EXPECT_GE(LogCapture::instance().find("buffer Final "), 0);
    // Silence (the worker's first cycles and the ring's three blocks, which
    // the connect sized), the track, silence.
    const auto& got = sink.bytes;
    const std::size_t start =
        static_cast<std::size_t>(std::find_if(got.begin(), got.end(), [](std::uint8_t b) { return b != 0; }) - got.begin());
    EXPECT_GE(start, 3 * 3840u);
    ASSERT_GE(got.size(), start + track.size());
    EXPECT_TRUE(std::equal(track.begin(), track.end(), got.begin() + static_cast<long>(start)));
    EXPECT_TRUE(std::all_of(got.begin() + static_cast<long>(start + track.size()), got.end(),
                            [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(ring.getLastBufferCount(), 0u);
}

// A connect while a connection streams is refused and leaves that connection
// alone: its armed end still ends it when the ring runs empty.
TEST_F(RingStreamTest, RefusedConnectKeepsTheRunningConnectionsArmedEnd) {
    fill(40, 384);
    connect();
    ring.play();
    ring.pre_disconnect(true);
    EXPECT_FALSE(ring.connect(false, -1));
    EXPECT_GE(LogCapture::instance().find("connect refused, connection active "), 0);
    std::atomic<bool> stop{false};
    sink.serve(stop, 5000ms);
    EXPECT_EQ(sink.disconnectRequests, 1);
    ASSERT_TRUE(LogCapture::instance().waitFor("wth end", 2000ms));
    EXPECT_GE(LogCapture::instance().find("buffer Final "), 0);
    EXPECT_EQ(ring.state.load(), 0);
}

TEST_F(RingStreamTest, EndConnectionEndsAPlayingStreamBeforeTheRingChanges) {
    fill(3000, 384);  // 3 s of audio
    connect();
    ring.play();
    ring.pre_disconnect(true);
    std::atomic<bool> stop{false};
    auto served = std::async(std::launch::async, [&] { sink.serve(stop); });
    // Ended while the track plays: once the worker has taken a few blocks.
    const std::uint64_t queued = ring.getLastBufferCount();
    ASSERT_TRUE(tmtest::eventually([&] { return ring.getLastBufferCount() + 10 <= queued; }, 10000ms));
    ring.endConnection();
    EXPECT_EQ(ring.state.load(), 0);
    served.wait();
    // Ended with the disconnect exchange, long before the track played out.
    EXPECT_EQ(sink.disconnectRequests, 1);
    EXPECT_GT(ring.getLastBufferCount(), 1000u);
    EXPECT_GE(LogCapture::instance().find("buffer disconnect "), 0);
    // The ring may change now.
    EXPECT_TRUE(ring.setupBuffer(480, 1, false, kFormat));
}

TEST_F(RingStreamTest, EndConnectionEndsAConnectionThatIsStillConnecting) {
    fill(10, 384);
    open();  // the sink never answers the connect request
    ASSERT_EQ(ring.state.load(), 1);
    ring.endConnection();
    EXPECT_EQ(ring.state.load(), 0);
    EXPECT_FALSE(ring.worker.joinable());
    EXPECT_TRUE(ring.setupBuffer(480, 1, false, kFormat));
}

}  // namespace
