// The sender with a stream source: a ring of audio blocks that feeds the
// worker. The application keeps its whole in-memory track here: it sizes the
// ring once per format, appends every chunk, rewinds and seeks by moving the
// read position; the worker takes one block after another and, with the end
// armed, an empty ring ends the connection. A producer model (a buffer thread
// that refills freed slots through notifyStreamDone) is built in as well.
//
// Threads: the application thread (setup, append, seek, play, disconnect),
// the worker (getNewStream, getNewStreamCmp) and, in the producer model, the
// buffer thread. The ring's slots are resized only while no connection runs
// (idle); cursors and flags are atomics.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/Buffer.h"
#include "protocol/FormatConfigure.h"
#include "sender/Sync.h"

namespace ZARNITH {

class SyncBuffer : public Sync {
public:
    SyncBuffer() = default;
    ~SyncBuffer();
    SyncBuffer(const SyncBuffer&) = delete;
    SyncBuffer& operator=(const SyncBuffer&) = delete;

    // Worker side.
    // Hands out the next queued block as a view of its slot (no copy); an
    // empty ring yields the end of stream (armed), silence (stop), a wait
    // (wait mode) or 10 ms of silence.
    bool getNewStream(ORVEX::BufferCS_const& out) override;
    // Once per cycle in which the worker took stream data.
    bool getNewStreamCmp() override;
    // Producer callback that fills a slot; empty here, a subclass fills it.
    virtual void notifyStreamDone(ORVEX::Buffer& slot, bool resumed);
    // Starts the producer thread.
    virtual bool startBufferWorker();

    // Application side (application thread only).
    // Sizes the ring to n + 1 slots of `frames` frames of silence, n queued;
    // `format` 0 takes requestedFormat. The silent slots hold no bytes of
    // their own: connect sizes the one block they all show. Refused (false,
    // logged) while a connection runs, for n = 0 and for blocks of 0 bytes.
    bool setupBuffer(unsigned long frames, unsigned long n, bool waitMode, FormatConfigure format);
    // Appends a slot holding a copy of `data` and queues the whole ring again.
    // Refused (false, logged) on an unsized ring, while a connection runs and
    // for an empty chunk.
    bool addStream(ORVEX::BufferCS_const data);
    // Queued blocks; 0 on an unsized ring.
    unsigned long getLastBufferCount() const;
    // Moves the read position by n blocks (pausing a playing connection
    // first, also when n is 0). Playback stays paused.
    void seek(long n);
    // Queues the whole ring from its first slot (pausing a playing connection first).
    void seek_front();
    // Sync::connect, with the ring's flags cleared and its block of silence
    // sized before the worker starts; false (logged) without the memory for it.
    [[nodiscard]] bool connect(bool startBuffer, int cpu);
    void play();
    // Asks the producer side to stop and waits for the worker's acknowledgement
    // (only while a connection runs), then stops playback.
    void stop();
    // Arms the end: an empty ring ends the stream, and with whenEmpty also
    // requests the disconnect.
    void pre_disconnect(bool whenEmpty);
    // Requests the disconnect: the worker plays out what is queued (or, when
    // stopped, the block in hand) and performs the disconnect exchange.
    void disconnect();
    // Before any change of the ring: ends the connection whatever its state
    // (the disconnect exchange when connected) and joins the worker and the
    // buffer thread; the sockets are closed, so the next connection opens again.
    void endConnection();
    void close();

    // Producer side (buffer thread or a producing application thread).
    ORVEX::Buffer& writeStreamStart(bool& stop);
    bool checkStreamStart() const;
    void writeStreamDone(bool commit);
    void setStream(ORVEX::BufferCS_const data);
    bool buffer_empty() const;
    void BufferWorker();
    void thread_buffer_func();

    // How long the worker waits in wait mode for a producer before it gives up.
    static constexpr unsigned waitModeLimitMs = 1000;

protected:
    std::size_t nextSlot(std::size_t slot) const { return slot + 1 == ring.size() ? 0 : slot + 1; }
    std::size_t previousSlot(std::size_t slot) const { return slot == 0 ? ring.size() - 1 : slot - 1; }
    // Pauses a playing connection and gives the worker time to let go of its block.
    void pauseForSeek();
    // A block of silence of `size` bytes of `mute` in `block` (resized only when needed).
    static ORVEX::BufferCS_const silence(ORVEX::Buffer& block, std::uint64_t size, std::uint8_t mute);
    // 10 ms of silence of requestedFormat in whole frames; 0 when its rate reads 0.
    std::uint64_t tenMillisecondBytes() const;

    // One slot of the ring: a block of its own bytes, or a silent one that
    // owns no bytes and is handed out as a view of silenceBlock.
    struct Slot {
        ORVEX::Buffer bytes;
        bool silent = false;
    };
    // The producer's slot at `index`: a silent one first gets blockBytes of
    // the mute byte of its own, as the producer finds a slot that held silence.
    ORVEX::Buffer& producerSlot(std::size_t index);
    // Whether silenceBlock holds blockBytes of blockMute.
    bool silenceFits() const;
    // Sizes silenceBlock for the ring's format; false (logged) without the memory.
    [[nodiscard]] bool sizeSilence();

    // The slots; resized by the application thread while idle only. The
    // worker reads the queued ones; the producer writes the one at
    // writeCursor before it queues it (the cursor's store publishes it).
    std::vector<Slot> ring;
    // Slot the worker takes next: the worker advances it, the application
    // thread moves it in seeks (after pausing), the buffer thread reads it.
    std::atomic<std::size_t> readCursor{0};
    // Slot after the last queued one: the application thread and the
    // producer advance it, the worker reads it.
    std::atomic<std::size_t> writeCursor{0};
    std::thread bufferThread;  // application thread (start, join)
    std::mutex ringMutex;      // pair A: the worker waits for a block in wait mode
    std::mutex stopMutex;      // pair B: the producer side waits for room or the stop acknowledgement
    std::condition_variable ringCondition;
    std::condition_variable stopCondition;
    // Bytes of one block and the ring format's silence byte: application thread
    // (setupBuffer, idle), read by the worker and the buffer thread.
    std::uint64_t blockBytes = 0;
    std::uint8_t blockMute = 0;
    // The one block of silence that every silent slot shows: sized by connect
    // on the application thread before the worker starts (so that setting up a
    // ring costs no block memory), released by setupBuffer when it no longer
    // fits; read by the worker.
    ORVEX::Buffer silenceBlock;
    // Flags: written by the application thread (connect, play, stop, disarm,
    // disconnect), by the worker (stopAck, disconnectWhenEmpty, consumed) and
    // by the buffer thread (stopRequest, stopAck, consumed); read by all three.
    std::atomic<bool> waitMode{false};
    std::atomic<bool> preDisconnect{false};
    std::atomic<bool> stopRequest{false};
    std::atomic<bool> stopAck{false};
    std::atomic<bool> consumed{false};
    std::atomic<bool> disconnectWhenEmpty{false};

private:
    // Silence handed out by the worker when the ring is empty (worker only).
    ORVEX::Buffer stopSilence;
    ORVEX::Buffer fallbackSilence;
    // Returned by writeStreamStart on an unsized ring (producer side only).
    ORVEX::Buffer scratchSlot;
};

}  // namespace ZARNITH
