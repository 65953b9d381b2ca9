#include "sender/SyncBuffer.h"

#include <chrono>
#include <list>
#include <new>
#include <stdexcept>
#include <system_error>

#include "foundation/SysLog.h"
#include "foundation/ThreadPriority.h"

namespace ZARNITH {

using ORVEX::SysLog::LEVEL_ERROR;
using ORVEX::SysLog::LEVEL_INFO;
using ORVEX::SysLog::LEVEL_WARNING;

namespace {
constexpr std::chrono::milliseconds step10ms(10);
}  // namespace

SyncBuffer::~SyncBuffer() {
    // The worker calls our overrides: it must be gone before our fields are.
    Sync::close();
    if (bufferThread.joinable()) bufferThread.join();
    ring.clear();
}

// ---- Worker side ----

ORVEX::BufferCS_const SyncBuffer::silence(ORVEX::Buffer& block, std::uint64_t size, std::uint8_t mute) {
    if (block.size() != size || (size != 0 && block[0] != mute)) block.assign(size, mute);
    return block.view();
}

std::uint64_t SyncBuffer::tenMillisecondBytes() const {
    const FormatConfigure f = requestedFormat;
    // 64-bit: rate x bits x channels passes 32 bits for high formats.
    std::uint64_t bytes = f.getSpeed() * f.getBits() * f.getChannel() / 8 / 100;
    const std::uint64_t frame = f.getWid() * f.getChannel();
    if (frame != 0) bytes -= bytes % frame;
    return bytes;
}

bool SyncBuffer::getNewStream(ORVEX::BufferCS_const& out) {
    const std::size_t slots = ring.size();
    bool waitNoted = false;
    std::chrono::steady_clock::time_point waitBegan;
    for (;;) {
        // 1. A queued block: a view of its slot, or of the block of silence
        // for a silent slot (connect has sized it; a caller without a
        // connection gets an empty view, one slot per call all the same).
        // Empty slots (a producer's empty commit) are passed over.
        if (slots != 0) {
            std::size_t r = readCursor.load();
            const std::size_t w = writeCursor.load();
            while (r != w && r < slots) {
                const Slot& slot = ring[r];
                r = nextSlot(r);
                readCursor.store(r);
                if (slot.silent || !slot.bytes.empty()) {
                    out = slot.silent ? silenceBlock.view() : slot.bytes.view();
                    return true;
                }
            }
        }
        // 2. End of stream armed. disconnectWhenEmpty is written before
        // preDisconnect, so an armed end is always seen whole.
        if (preDisconnect.load()) {
            out = ORVEX::BufferCS_const();
            if (disconnectWhenEmpty.exchange(false)) disconnect_flgset();
            return false;
        }
        // 3. Stop requested: acknowledge once, hand out one block of silence.
        if (stopRequest.load()) {
            if (!stopAck.exchange(true)) stopCondition.notify_all();
            std::uint64_t size = blockBytes;
            if (size == 0) size = tenMillisecondBytes();
            if (size == 0) break;
            out = silence(stopSilence, size, requestedFormat.getMuteByte());
            return true;
        }
        // 4. Wait mode: wait for the producer in 10 ms steps.
        if (waitMode.load() && slots != 0) {
            if (!waitNoted) {
                waitNoted = true;
                waitBegan = std::chrono::steady_clock::now();
            }
            {
                std::unique_lock<std::mutex> lock(ringMutex);
                ringCondition.wait_for(lock, step10ms, [this] { return !buffer_empty(); });
            }
            const auto waited =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - waitBegan);
            if (!buffer_empty()) {
                LEVEL_WARNING << "SyncBuffer not enough " << static_cast<long>(waited.count());
                continue;
            }
            if (waited.count() >= static_cast<long>(waitModeLimitMs)) {
                LEVEL_WARNING << "SyncBuffer not enough Timeout";
                out = ORVEX::BufferCS_const();
                return false;
            }
            continue;
        }
        // 5. Nothing queued: 10 ms of silence; the ring is not touched.
        stopCondition.notify_all();
        const std::uint64_t size = tenMillisecondBytes();
        if (size == 0) break;
        out = silence(fallbackSilence, size, requestedFormat.getMuteByte());
        LEVEL_WARNING << "SyncBuffer not enough mute data return " << static_cast<unsigned long>(size);
        return true;
    }
    // A format whose rate reads 0 has no silence to offer; an empty block
    // handed out as data would make the worker ask again forever.
    LEVEL_ERROR << "SyncBuffer no silence for format " << static_cast<unsigned long>(requestedFormat);
    out = ORVEX::BufferCS_const();
    return false;
}

bool SyncBuffer::getNewStreamCmp() {
    consumed.store(true);
    stopCondition.notify_all();
    return true;
}

void SyncBuffer::notifyStreamDone(ORVEX::Buffer&, bool) {}

bool SyncBuffer::startBufferWorker() {
    if (bufferThread.joinable()) bufferThread.join();
    try {
        bufferThread = std::thread(&SyncBuffer::thread_buffer_func, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

// ---- Application side ----

bool SyncBuffer::setupBuffer(unsigned long frames, unsigned long n, bool wait, FormatConfigure format) {
    if (state.connectionRuns()) {
        LEVEL_WARNING << "SyncBuffer setupBuffer refused: connection in use";
        return false;
    }
    if (n == 0) {
        LEVEL_WARNING << "SyncBuffer setupBuffer refused: no blocks";
        return false;
    }
    const FormatConfigure f = static_cast<std::uint64_t>(format) != 0 ? format : requestedFormat;
    const std::uint64_t bytes = f.getWid() * f.getChannel() * static_cast<std::uint64_t>(frames);
    if (bytes == 0) {
        LEVEL_WARNING << "SyncBuffer setupBuffer refused: empty block";
        return false;
    }
    blockBytes = bytes;
    blockMute = f.getMuteByte();
    // Silence costs nothing here: the slots let go of their bytes, and the
    // block they show is sized by the next connect.
    if (!silenceFits()) silenceBlock = ORVEX::Buffer();
    ring.resize(n + 1);
    for (Slot& slot : ring) slot = Slot{ORVEX::Buffer(), true};
    writeCursor.store(0);
    readCursor.store(1);
    waitMode.store(wait);
    consumed.store(false);
    return true;
}

bool SyncBuffer::addStream(ORVEX::BufferCS_const data) {
    if (ring.empty()) {
        LEVEL_WARNING << "SyncBuffer addStream refused: no format";
        return false;
    }
    if (state.connectionRuns()) {
        LEVEL_WARNING << "SyncBuffer addStream refused: connection in use";
        return false;
    }
    if (data.size == 0 || data.data == nullptr) {
        LEVEL_WARNING << "SyncBuffer addStream refused: empty chunk";
        return false;
    }
    // Growing the vector moves the slots (their bytes stay where they are).
    ring.push_back(Slot{ORVEX::Buffer(data.data, data.data + data.size), false});
    writeCursor.store(0);
    readCursor.store(1);
    return true;
}

unsigned long SyncBuffer::getLastBufferCount() const {
    const std::size_t slots = ring.size();
    if (slots == 0) return 0;
    const std::size_t r = readCursor.load();
    const std::size_t w = writeCursor.load();
    if (r == w) return 0;
    return static_cast<unsigned long>((w + slots - r) % slots);
}

void SyncBuffer::pauseForSeek() {
    if (!playing.load()) return;
    Sync::stop();
    // The worker finishes the block in hand and then sends silence.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void SyncBuffer::seek(long n) {
    // A playing connection pauses first, also for a seek by 0 that moves nothing.
    pauseForSeek();
    if (ring.empty() || n == 0) return;
    std::size_t r = readCursor.load();
    const std::size_t w = writeCursor.load();
    // Magnitude without overflow for the most negative n.
    std::uint64_t steps = n > 0 ? static_cast<std::uint64_t>(n) : 0 - static_cast<std::uint64_t>(n);
    if (n > 0) {
        while (steps-- > 0 && r != w) r = nextSlot(r);
    } else {
        const std::size_t full = nextSlot(w);
        while (steps-- > 0 && r != full) r = previousSlot(r);
    }
    readCursor.store(r);
}

void SyncBuffer::seek_front() {
    if (ring.empty()) return;
    pauseForSeek();
    writeCursor.store(0);
    readCursor.store(1);
}

bool SyncBuffer::connect(bool startBuffer, int cpu) {
    // A connection that still runs keeps its flags (its armed end above all).
    if (refuseWhileActive()) return false;
    if (!sizeSilence()) return false;
    // Cleared before the worker starts, so it never sees the last
    // connection's flags.
    stopRequest.store(false);
    stopAck.store(false);
    preDisconnect.store(false);
    disconnectWhenEmpty.store(false);
    if (!Sync::connect(cpu)) return false;
    if (startBuffer && !startBufferWorker()) {
        LEVEL_ERROR << "Buffer Worker Start Error";
        Sync::close();
        if (bufferThread.joinable()) bufferThread.join();
        return false;
    }
    return true;
}

void SyncBuffer::play() {
    LEVEL_INFO << "SyncBuffer::play";
    stopRequest.store(false);
    stopAck.store(false);
    preDisconnect.store(false);
    Sync::play();
    stopCondition.notify_all();
}

void SyncBuffer::stop() {
    LEVEL_INFO << "SyncBuffer::stop";
    stopRequest.store(true);
    // Only a running worker acknowledges; without one the wait would not end.
    while (!stopAck.load() && state.connectionRuns()) {
        std::unique_lock<std::mutex> lock(stopMutex);
        stopCondition.wait_for(lock, step10ms, [this] { return stopAck.load(); });
    }
    Sync::stop();
}

void SyncBuffer::pre_disconnect(bool whenEmpty) {
    LEVEL_INFO << "SyncBuffer::pre_disconnect";
    // Order matters: a worker that finds the ring empty and the end armed
    // must also see whether to request the disconnect.
    disconnectWhenEmpty.store(whenEmpty);
    preDisconnect.store(true);
}

void SyncBuffer::disconnect() {
    LEVEL_INFO << "SyncBuffer::pre_disconnect";
    // The disconnect is requested before the end is armed: a worker that empties the
    // ring in between then ends with the disconnect exchange.
    disconnect_flgset();
    disconnectWhenEmpty.store(false);
    preDisconnect.store(true);
    LEVEL_INFO << "SyncBuffer::disconnect";
    Sync::disconnect();
    if (bufferThread.joinable()) bufferThread.join();
}

void SyncBuffer::endConnection() {
    const SyncState::Value s = state.load();
    if (s == SyncState::CONNECTED || s == SyncState::DISCONNECT_REQUESTED) {
        // Stopped, the worker ends after the block in hand instead of
        // playing out the whole ring.
        Sync::stop();
        disconnect();
    }
    close();
}

void SyncBuffer::close() {
    Sync::close();
    if (bufferThread.joinable()) bufferThread.join();
}

bool SyncBuffer::silenceFits() const {
    return silenceBlock.size() == blockBytes && (blockBytes == 0 || silenceBlock[0] == blockMute);
}

bool SyncBuffer::sizeSilence() {
    if (silenceFits()) return true;
    // setupBuffer has released a block that no longer fits: this is the only one.
    try {
        silenceBlock = ORVEX::Buffer(blockBytes, blockMute);
        return true;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    LEVEL_ERROR << "SyncBuffer no memory for its silence " << static_cast<unsigned long>(blockBytes);
    return false;
}

// ---- Producer side ----

ORVEX::Buffer& SyncBuffer::producerSlot(std::size_t index) {
    Slot& slot = ring[index];
    if (slot.silent) {
        slot.bytes.assign(blockBytes, blockMute);
        slot.silent = false;
    }
    return slot.bytes;
}

bool SyncBuffer::checkStreamStart() const {
    if (ring.empty()) return false;
    return readCursor.load() != nextSlot(writeCursor.load());
}

bool SyncBuffer::buffer_empty() const {
    if (ring.empty()) return true;
    return readCursor.load() == writeCursor.load();
}

ORVEX::Buffer& SyncBuffer::writeStreamStart(bool& stop) {
    stop = false;
    if (ring.empty()) {
        stop = true;
        return scratchSlot;
    }
    for (;;) {
        if (checkStreamStart()) return producerSlot(writeCursor.load());
        {
            std::unique_lock<std::mutex> lock(stopMutex);
            stopCondition.wait_for(lock, step10ms, [this] { return checkStreamStart(); });
        }
        const SyncState::Value s = state.load();
        if (s == SyncState::IDLE || (SyncState::connectionRuns(s) && (preDisconnect.load() || stopRequest.load()))) {
            stop = true;
            return producerSlot(writeCursor.load());
        }
    }
}

void SyncBuffer::writeStreamDone(bool commit) {
    if (!commit || ring.empty()) return;
    writeCursor.store(nextSlot(writeCursor.load()));
    if (waitMode.load()) ringCondition.notify_all();
}

void SyncBuffer::setStream(ORVEX::BufferCS_const data) {
    bool stop = false;
    ORVEX::Buffer& slot = writeStreamStart(stop);
    if (stop) return;
    slot.assign(data.data, data.data + data.size);
    writeCursor.store(nextSlot(writeCursor.load()));
    if (waitMode.load()) ringCondition.notify_all();
}

void SyncBuffer::BufferWorker() {
    bool reported = false;
    for (;;) {
        while (state.connectionRuns() && !preDisconnect.load() && !stopRequest.load()) {
            bool stop = false;
            ORVEX::Buffer& slot = writeStreamStart(stop);
            if (stop) continue;
            const bool c = consumed.exchange(false);
            notifyStreamDone(slot, c && !reported);
            if (c) reported = true;
            writeCursor.store(nextSlot(writeCursor.load()));
            if (waitMode.load()) ringCondition.notify_all();
            if (!checkStreamStart()) reported = false;
        }
        if (stopRequest.load() && state.connectionRuns() && !preDisconnect.load()) {
            // Paused by stop: wait until play clears the request.
            while (stopRequest.load() && state.connectionRuns() && !preDisconnect.load()) {
                std::unique_lock<std::mutex> lock(stopMutex);
                stopCondition.wait_for(lock, step10ms, [this] { return !stopRequest.load(); });
            }
            continue;
        }
        break;
    }
    stopRequest.store(true);
    stopAck.store(true);
    LEVEL_INFO << "finish BufferWorker";
    while (state.connectionRuns()) {
        std::unique_lock<std::mutex> lock(stopMutex);
        stopCondition.wait_for(lock, step10ms, [this] { return !state.connectionRuns(); });
    }
    LEVEL_INFO << "done BufferWorker";
}

void SyncBuffer::thread_buffer_func() {
    const unsigned long self = ORVEX::ThreadPriority::getSelfThreadID();
    if (cpuOtherCount > 0 && cpuOther != -1 && (threadMode.load() & OCCUPIED) != 0) {
        ORVEX::ThreadPriority::Cpus cpus;
        cpus.first = static_cast<std::uint16_t>(cpuOther);
        cpus.count = static_cast<std::uint16_t>(cpuOtherCount);
        if (ORVEX::ThreadPriority::setCpuThread(self, std::list<ORVEX::ThreadPriority::Cpus>{cpus}))
            LEVEL_INFO << "Buffer Thread CPU set " << cpuOther << "," << cpuOtherCount;
        else
            LEVEL_WARNING << "Buffer Thread CPU set error " << cpuOther << "," << cpuOtherCount;
    }
    if (ORVEX::ThreadPriority::setPriority(self, ORVEX::ThreadPriority::HIGH))
        LEVEL_INFO << "Buffer Thread Priority set HIGH";
    else
        LEVEL_WARNING << "Buffer Thread Priority set Error";
    BufferWorker();
}

}  // namespace ZARNITH
