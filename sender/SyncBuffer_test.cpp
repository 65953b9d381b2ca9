// The buffer ring: sizing, appending, seeking, counting, handing blocks to
// the worker, the silence fallbacks, the end-of-stream rule and the producer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/SysLog.h"
#include "sender/SenderTestLog.h"
#include "sender/SyncBuffer.h"
#include "tests/support/Sanitizers.h"

namespace ZARNITH {
namespace {

using sendertest::LogCapture;

// The ring with its cursors and slots in view.
class RingProbe : public SyncBuffer {
public:
    using SyncBuffer::blockBytes;
    using SyncBuffer::disconnectWhenEmpty;
    using SyncBuffer::preDisconnect;
    using SyncBuffer::readCursor;
    using SyncBuffer::ring;
    using SyncBuffer::silenceBlock;
    using SyncBuffer::sizeSilence;
    using SyncBuffer::stopAck;
    using SyncBuffer::stopRequest;
    using SyncBuffer::writeCursor;
};

constexpr std::uint64_t kPcm32Stereo48k = CH2 | PCM32 | BASE_48000 | MULTI_1;
constexpr std::uint64_t kPcm16Stereo44k = CH2 | PCM16 | BASE_44100 | MULTI_1;
constexpr std::uint64_t kDsd64Lsb = CH2 | DSD1 | DSD_LSB | DSD_LITTLE | DSD_WORD32 | BASE_44100 | MULTI_64;
constexpr std::uint64_t kDsd64Msb = CH2 | DSD1 | DSD_MSB | DSD_BIG | DSD_WORD32 | BASE_44100 | MULTI_64;

ORVEX::Buffer chunk(std::uint8_t value, std::size_t size) { return ORVEX::Buffer(size, value); }
ORVEX::Buffer bytesOf(ORVEX::BufferCS_const view) { return ORVEX::Buffer(view.data, view.data + view.size); }

// No worker runs in these tests: they make its connection's transitions themselves.
void standInConnected(RingProbe& r) {
    r.state.beginConnect();
    r.state.accepted();
}

// An emptied ring of `blocks` one-frame blocks in 16-bit stereo at 44.1 kHz
// (requestedFormat), on a connection.
bool emptyAndConnected(RingProbe& r, unsigned long blocks, bool waitMode) {
    r.requestedFormat = kPcm16Stereo44k;
    if (!r.setupBuffer(1, blocks, waitMode, FormatConfigure(0))) return false;
    r.seek(10);
    standInConnected(r);
    return r.buffer_empty();
}

// ---- The ring's positions: one table of cases ----

struct RingCase {
    const char* name;
    std::function<void(RingProbe&)> act;
    std::size_t slots;
    std::size_t read;
    std::size_t write;
    unsigned long count;
};

// Ring of n blocks of 480 frames of 32-bit stereo plus `chunks` chunks.
void sized(RingProbe& r, unsigned long n, int chunks) {
    ASSERT_TRUE(r.setupBuffer(480, n, false, kPcm32Stereo48k));
    for (int i = 0; i < chunks; ++i) {
        ORVEX::Buffer c = chunk(static_cast<std::uint8_t>(i + 1), 100);
        ASSERT_TRUE(r.addStream(c.view()));
    }
}

TEST(SyncBufferRing, PositionsAndCounts) {
    const RingCase cases[] = {
        {"setup of one block", [](RingProbe& r) { sized(r, 1, 0); }, 2, 1, 0, 1},
        {"three chunks appended", [](RingProbe& r) { sized(r, 1, 3); }, 5, 1, 0, 4},
        {"seek past the end empties", [](RingProbe& r) { sized(r, 1, 2); r.seek(10); }, 4, 0, 0, 0},
        {"seek back on a full ring stays", [](RingProbe& r) { sized(r, 1, 2); r.seek(-1); }, 4, 1, 0, 3},
        {"seek on an empty ring stays", [](RingProbe& r) { sized(r, 1, 2); r.seek(10); r.seek(5); }, 4, 0, 0, 0},
        {"seek forward then back", [](RingProbe& r) { sized(r, 1, 4); r.seek(3); r.seek(-2); }, 6, 2, 0, 4},
        {"seek back stops at the full ring", [](RingProbe& r) { sized(r, 1, 4); r.seek(2); r.seek(-9); }, 6, 1, 0, 5},
        {"most negative seek is bounded", [](RingProbe& r) { sized(r, 1, 2); r.seek(2); r.seek(LONG_MIN); }, 4, 1, 0, 3},
        {"largest seek is bounded", [](RingProbe& r) { sized(r, 1, 2); r.seek(LONG_MAX); }, 4, 0, 0, 0},
        {"seek 0 moves nothing", [](RingProbe& r) { sized(r, 1, 2); r.seek(1); r.seek(0); }, 4, 2, 0, 2},
        {"seek_front queues every slot but one", [](RingProbe& r) { sized(r, 2, 3); r.seek(4); r.seek_front(); }, 6, 1, 0, 5},
        {"read 3 write 1 of 5 counts 3",
         [](RingProbe& r) { sized(r, 1, 3); r.seek(2); r.writeStreamDone(true); }, 5, 3, 1, 3},
        {"cursor wraps to slot 0", [](RingProbe& r) { sized(r, 1, 2); r.seek(3); }, 4, 0, 0, 0},
        {"setup again restarts in silence", [](RingProbe& r) { sized(r, 1, 3); sized(r, 2, 0); }, 3, 1, 0, 2},
        {"unsized ring counts 0", [](RingProbe&) {}, 0, 0, 0, 0},
        {"unsized ring: seeks are no-ops", [](RingProbe& r) { r.seek(3); r.seek(-3); r.seek_front(); }, 0, 0, 0, 0},
        {"unsized ring drops chunks",
         [](RingProbe& r) { ORVEX::Buffer c = chunk(1, 8); EXPECT_FALSE(r.addStream(c.view())); }, 0, 0, 0, 0},
        {"unsized ring: producer commit is a no-op", [](RingProbe& r) { r.writeStreamDone(true); }, 0, 0, 0, 0},
        {"no blocks refused", [](RingProbe& r) { EXPECT_FALSE(r.setupBuffer(480, 0, false, kPcm32Stereo48k)); }, 0, 0, 0, 0},
        {"no frames refused", [](RingProbe& r) { EXPECT_FALSE(r.setupBuffer(0, 1, false, kPcm32Stereo48k)); }, 0, 0, 0, 0},
        {"empty chunk refused",
         [](RingProbe& r) { sized(r, 1, 1); EXPECT_FALSE(r.addStream(ORVEX::BufferCS_const())); }, 3, 1, 0, 2},
        {"chunk refused while connected",
         [](RingProbe& r) {
             sized(r, 1, 1);
             standInConnected(r);
             ORVEX::Buffer c = chunk(9, 8);
             EXPECT_FALSE(r.addStream(c.view()));
             EXPECT_FALSE(r.setupBuffer(480, 3, false, kPcm32Stereo48k));
             r.state.ended();
         },
         3, 1, 0, 2},
    };
    LogCapture log;
    for (const RingCase& c : cases) {
        SCOPED_TRACE(c.name);
        RingProbe ring;
        c.act(ring);
        EXPECT_EQ(ring.ring.size(), c.slots);
        if (c.slots != 0) {
            EXPECT_EQ(ring.readCursor.load(), c.read);
            EXPECT_EQ(ring.writeCursor.load(), c.write);
        }
        EXPECT_EQ(ring.getLastBufferCount(), c.count);
    }
    EXPECT_TRUE(log.has("SyncBuffer addStream refused: no format"));
    EXPECT_TRUE(log.has("SyncBuffer addStream refused: connection in use"));
}

// A seek pauses a playing connection before it moves the cursor, also a
// seek by 0, which moves nothing; playback stays paused.
TEST(SyncBufferRing, SeekPausesPlaybackAlsoWhenItMovesNothing) {
    struct Case {
        long n;
        std::size_t read;
    };
    const Case cases[] = {{0, 2}, {1, 3}, {-1, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        RingProbe ring;
        sized(ring, 1, 3);
        ring.seek(1);
        ring.playing = true;
        ring.seek(c.n);
        EXPECT_FALSE(ring.playing.load());
        EXPECT_EQ(ring.readCursor.load(), c.read);
    }
}

TEST(SyncBufferRing, SilenceThenChunksInOrderAsViews) {
    // The worker gets each silent slot as the whole block of the format's
    // mute byte, all of them views of the one block of silence.
    RingProbe dsd;
    ASSERT_TRUE(dsd.setupBuffer(10, 2, false, kDsd64Lsb));
    EXPECT_EQ(dsd.blockBytes, 80u);
    ASSERT_TRUE(dsd.sizeSilence());
    ORVEX::BufferCS_const out;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(dsd.getNewStream(out));
        EXPECT_EQ(out.data, dsd.silenceBlock.data());
        EXPECT_EQ(bytesOf(out), chunk(0x69, 80));
    }
    EXPECT_TRUE(dsd.buffer_empty());

    RingProbe ring;
    ASSERT_TRUE(ring.setupBuffer(480, 1, false, kPcm32Stereo48k));
    EXPECT_EQ(ring.blockBytes, 3840u);
    const ORVEX::Buffer chunks[] = {chunk(1, 7), chunk(2, 5000), chunk(3, 1)};
    for (const ORVEX::Buffer& c : chunks) ASSERT_TRUE(ring.addStream(c.view()));
    // Growing must move the slots, not copy them: the first chunk's bytes stay put.
    const std::uint8_t* firstChunk = ring.ring[2].bytes.data();
    ORVEX::Buffer more = chunk(4, 3);
    for (int i = 0; i < 64; ++i) ASSERT_TRUE(ring.addStream(more.view()));
    EXPECT_EQ(ring.ring[2].bytes.data(), firstChunk);
    ASSERT_TRUE(ring.sizeSilence());

    // The silence block, then the chunks in order, each as a view of its slot.
    ASSERT_TRUE(ring.getNewStream(out));
    EXPECT_EQ(out.data, ring.silenceBlock.data());
    EXPECT_EQ(bytesOf(out), chunk(0, 3840));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(ring.getNewStream(out));
        EXPECT_EQ(out.data, ring.ring[2 + i].bytes.data());
        EXPECT_EQ(bytesOf(out), chunks[i]);
    }
    EXPECT_EQ(ring.getLastBufferCount(), 64u);
    // Played again from the front: the same bytes in the same order.
    ring.seek_front();
    ASSERT_TRUE(ring.getNewStream(out));
    EXPECT_EQ(bytesOf(out), chunk(0, 3840));
    ASSERT_TRUE(ring.getNewStream(out));
    EXPECT_EQ(bytesOf(out), chunks[0]);
}

// Bytes the ring holds for its blocks: the slots' and the silence block's storage.
std::size_t heldBytes(const RingProbe& ring) {
    std::size_t held = ring.silenceBlock.capacity();
    for (const auto& slot : ring.ring) held += slot.bytes.capacity();
    return held;
}

// 10 ms of the largest format a sender could stream (16 channels of 64-bit
// samples at 48 kHz x 512) is a block of 31 MB: setting up a ring for it costs
// no block memory at all, and a ring set up again lets go of its chunks and of
// a silence block of another size. The connection's sizing gives all silent
// slots one block, which the worker then gets whole.
TEST(SyncBufferRing, SilenceHoldsNoBytesUntilAConnectionSizesIt) {
    constexpr std::uint64_t kLargest = CH16 | PCM64 | BASE_48000 | MULTI_512;
    constexpr std::uint64_t kBlock = 16 * 8 * 245760;
    RingProbe ring;
    ASSERT_TRUE(ring.setupBuffer(480, 1, false, kPcm32Stereo48k));
    ORVEX::Buffer c = chunk(1, 100000);
    ASSERT_TRUE(ring.addStream(c.view()));
    ASSERT_TRUE(ring.sizeSilence());
    ASSERT_GT(heldBytes(ring), 100000u);

    ASSERT_TRUE(ring.setupBuffer(245760, 3, false, kLargest));
    EXPECT_EQ(ring.blockBytes, kBlock);
    EXPECT_EQ(ring.getLastBufferCount(), 3u);
    EXPECT_EQ(heldBytes(ring), 0u);

    ASSERT_TRUE(ring.sizeSilence());
    EXPECT_EQ(heldBytes(ring), kBlock);
    ORVEX::BufferCS_const out;
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(ring.getNewStream(out));
        ASSERT_EQ(out.size, kBlock);
        EXPECT_EQ(out.data, ring.silenceBlock.data());
        EXPECT_TRUE(std::all_of(out.data, out.data + out.size, [](std::uint8_t b) { return b == 0; }));
    }
    EXPECT_EQ(ring.getLastBufferCount(), 0u);
    // The same format again keeps the block; nothing more is taken.
    ASSERT_TRUE(ring.setupBuffer(245760, 1, false, kLargest));
    EXPECT_EQ(heldBytes(ring), kBlock);
    ASSERT_TRUE(ring.sizeSilence());
    EXPECT_EQ(heldBytes(ring), kBlock);
}

// A block of silence the process cannot hold fails the connect with a log
// line, before any worker starts.
TEST(SyncBufferRing, ConnectWithoutMemoryForItsSilenceFailsCleanly) {
#if defined(TM_ASAN) || defined(TM_TSAN)
    GTEST_SKIP() << "the sanitizer runtime ends the process on an allocation it cannot serve "
                    "instead of reporting it to the caller";
#endif
    LogCapture log;
    RingProbe ring;
    // 2^62 bytes: below the byte vector's limit, beyond any address space.
    ASSERT_TRUE(ring.setupBuffer(1UL << 55, 1, false, CH16 | PCM64 | BASE_48000 | MULTI_1));
    EXPECT_FALSE(ring.connect(false, -1));
    EXPECT_TRUE(log.has("SyncBuffer no memory for its silence 4611686018427387904"));
    EXPECT_EQ(ring.state.load(), SyncState::IDLE);
    EXPECT_FALSE(ring.worker.joinable());
    EXPECT_EQ(heldBytes(ring), 0u);
}

// ---- The worker's view of an empty ring: one table of cases ----

struct EmptyCase {
    const char* name;
    std::uint64_t requested;  // requestedFormat
    bool sized;               // ring set up (in requestedFormat) and played empty
    bool stopRequest;
    bool result;
    std::uint64_t bytes;
    std::uint8_t fill;
    const char* log;
};

TEST(SyncBufferRing, EmptyRingSilence) {
    const EmptyCase cases[] = {
        {"10 ms of 16-bit stereo 44.1 kHz", kPcm16Stereo44k, true, false, true, 1764, 0,
         "SyncBuffer not enough mute data return 1764"},
        {"10 ms of DSD64 LSB first", kDsd64Lsb, true, false, true, 7056, 0x69,
         "SyncBuffer not enough mute data return 7056"},
        {"10 ms of DSD64 MSB first", kDsd64Msb, true, false, true, 7056, 0x96,
         "SyncBuffer not enough mute data return 7056"},
        // 98.304 MHz x 32 bits x 2 channels passes 32 bits.
        {"10 ms of a rate beyond 32-bit byte arithmetic", CH2 | PCM32 | BASE_48000 | MULTI_2048, true, false, true,
         7864320, 0, "SyncBuffer not enough mute data return 7864320"},
        {"unsized ring still gets silence", kPcm16Stereo44k, false, false, true, 1764, 0,
         "SyncBuffer not enough mute data return 1764"},
        {"stop: one block of silence", kDsd64Msb, true, true, true, 80, 0x96, nullptr},
        {"stop on an unsized ring: 10 ms", kPcm16Stereo44k, false, true, true, 1764, 0, nullptr},
        {"rate reading 0: refused, no empty block", CH2 | PCM16 | BASE_8000, true, false, false, 0, 0,
         "SyncBuffer no silence for format 4294967810"},
        {"no rate bits: refused", CH2 | PCM16, false, false, false, 0, 0, nullptr},
    };
    for (const EmptyCase& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        RingProbe ring;
        ring.requestedFormat = c.requested;
        if (c.sized) {
            ASSERT_TRUE(ring.setupBuffer(10, 1, false, FormatConfigure(0)));
            ring.seek(1);
        }
        ring.stopRequest = c.stopRequest;
        ORVEX::BufferCS_const out;
        EXPECT_EQ(ring.getNewStream(out), c.result);
        ASSERT_EQ(out.size, c.bytes);
        EXPECT_EQ(ORVEX::Buffer(out.data, out.data + out.size), chunk(c.fill, c.bytes));
        if (c.log != nullptr) {
            EXPECT_TRUE(log.has(c.log));
        }
        EXPECT_EQ(ring.stopAck.load(), c.stopRequest);
        EXPECT_EQ(ring.getLastBufferCount(), 0u);
    }
}

TEST(SyncBufferRing, EndOfStreamRequestsTheDisconnectOnce) {
    RingProbe ring;
    ring.requestedFormat = kPcm16Stereo44k;
    ASSERT_TRUE(ring.setupBuffer(441, 1, false, FormatConfigure(0)));
    ASSERT_TRUE(ring.sizeSilence());
    standInConnected(ring);
    ring.pre_disconnect(true);
    ORVEX::BufferCS_const out;
    // The queued block still goes out; then the end.
    ASSERT_TRUE(ring.getNewStream(out));
    EXPECT_EQ(out.size, 1764u);
    EXPECT_FALSE(ring.getNewStream(out));
    EXPECT_EQ(out.data, nullptr);
    EXPECT_EQ(out.size, 0u);
    EXPECT_EQ(ring.state.load(), SyncState::DISCONNECT_REQUESTED);
    EXPECT_FALSE(ring.disconnectWhenEmpty.load());
    // On a connection again, the end asks for no second disconnect.
    ring.state.ended();
    standInConnected(ring);
    EXPECT_FALSE(ring.getNewStream(out));
    EXPECT_EQ(ring.state.load(), SyncState::CONNECTED);
    // Armed without the request: the end, the state untouched.
    ring.pre_disconnect(false);
    EXPECT_FALSE(ring.getNewStream(out));
    EXPECT_EQ(ring.state.load(), SyncState::CONNECTED);
    // play disarms.
    ring.play();
    EXPECT_TRUE(ring.getNewStream(out));
    ring.state.ended();
}

// A worker that empties the ring while disconnect arms the end must find the
// disconnect already requested (state 3), else it would end without the
// disconnect exchange. The log hook runs the worker's step right after the
// end is armed, on the application thread.
TEST(SyncBufferRing, DisconnectIsRequestedBeforeTheEndIsArmed) {
    LogCapture log;
    RingProbe ring;
    ASSERT_TRUE(emptyAndConnected(ring, 1, false));
    bool result = true;
    int stateSeen = -1;
    log.onLine = [&](const std::string& line) {
        if (line != "SyncBuffer::disconnect") return;
        ORVEX::BufferCS_const out;
        result = ring.getNewStream(out);
        stateSeen = ring.state.load();
    };
    ring.disconnect();
    log.onLine = nullptr;
    EXPECT_FALSE(result);
    EXPECT_EQ(stateSeen, SyncState::DISCONNECT_REQUESTED);
    EXPECT_TRUE(log.has("discone flgset"));
    ring.state.ended();
}

TEST(SyncBufferRing, SkipsEmptySlotsOfAProducer) {
    RingProbe ring;
    ASSERT_TRUE(emptyAndConnected(ring, 4, false));
    ring.setStream(ORVEX::BufferCS_const());
    ORVEX::Buffer c = chunk(5, 12);
    ring.setStream(c.view());
    ORVEX::BufferCS_const out;
    ASSERT_TRUE(ring.getNewStream(out));
    EXPECT_EQ(ORVEX::Buffer(out.data, out.data + out.size), c);
    EXPECT_TRUE(ring.buffer_empty());
    ring.state.ended();
}

TEST(SyncBufferRing, WaitModeHandsOutALateBlockOrGivesUp) {
    LogCapture log;
    RingProbe ring;
    ASSERT_TRUE(emptyAndConnected(ring, 2, true));
    ORVEX::Buffer late = chunk(7, 16);
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ring.setStream(late.view());
    });
    ORVEX::BufferCS_const out;
    EXPECT_TRUE(ring.getNewStream(out));
    producer.join();
    EXPECT_EQ(ORVEX::Buffer(out.data, out.data + out.size), late);
    EXPECT_TRUE(log.hasPrefix("SyncBuffer not enough "));
    EXPECT_FALSE(log.has("SyncBuffer not enough Timeout"));

    // No producer: a bounded wait, then the end.
    EXPECT_FALSE(ring.getNewStream(out));
    EXPECT_EQ(out.size, 0u);
    EXPECT_TRUE(log.has("SyncBuffer not enough Timeout"));

    // An end armed during the wait is seen.
    std::thread arm([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ring.pre_disconnect(true);
    });
    EXPECT_FALSE(ring.getNewStream(out));
    arm.join();
    EXPECT_EQ(ring.state.load(), SyncState::DISCONNECT_REQUESTED);
    ring.state.ended();
}

// ---- The producer model ----

class CountingProducer : public RingProbe {
public:
    void notifyStreamDone(ORVEX::Buffer& slot, bool resumed) override {
        if (handed.size() < ring.size()) handed.push_back(slot);
        slot.assign(8, static_cast<std::uint8_t>(++fills));
        if (resumed) ++resumes;
    }
    std::atomic<int> fills{0};
    std::atomic<int> resumes{0};
    std::vector<ORVEX::Buffer> handed;  // the first slots as handed over (buffer thread)
};

TEST(SyncBufferRing, ProducerRefillsFreedSlotsAndStops) {
    LogCapture log;
    CountingProducer ring;
    ASSERT_TRUE(emptyAndConnected(ring, 3, false));
    ASSERT_TRUE(ring.startBufferWorker());
    // Stand in for the worker: take blocks, report each cycle.
    std::vector<std::uint8_t> seen;
    ORVEX::BufferCS_const out;
    while (seen.size() < 10) {
        if (ring.buffer_empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        ASSERT_TRUE(ring.getNewStream(out));
        ASSERT_EQ(out.size, 8u);
        seen.push_back(out.data[0]);
        ring.getNewStreamCmp();
    }
    for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i + 1);
    EXPECT_GE(ring.resumes.load(), 1);
    // Stop: the worker side drains the ring and acknowledges.
    std::thread drain([&] {
        ORVEX::BufferCS_const o;
        while (!ring.stopAck.load()) {
            EXPECT_TRUE(ring.getNewStream(o));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    ring.stop();
    drain.join();
    EXPECT_FALSE(ring.playing.load());
    ring.state.ended();
    ring.close();
    EXPECT_TRUE(log.has("done BufferWorker"));
    // Each slot that held silence reached the producer as a block of silence.
    ASSERT_EQ(ring.handed.size(), 4u);
    for (const ORVEX::Buffer& slot : ring.handed) EXPECT_EQ(slot, chunk(0, 4));
}

TEST(SyncBufferRing, StopWithoutAWorkerDoesNotHang) {
    RingProbe ring;
    ASSERT_TRUE(ring.setupBuffer(480, 1, false, kPcm32Stereo48k));
    ring.stop();
    EXPECT_TRUE(ring.stopRequest.load());
    EXPECT_FALSE(ring.playing.load());
}

}  // namespace
}  // namespace ZARNITH
