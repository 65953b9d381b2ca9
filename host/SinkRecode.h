// The host's recorder input: a sink endpoint named "Recoder" that another
// sending host connects to. A connection replaces the in-memory track with a
// new one in the sender's format (recordFormat, on the main thread inside the
// control poll); the streamed audio is received and dropped; the end of the
// connection appends a closing piece and the "Recorder" tag (recordFlush).
//
// The sink reports the end on its stream thread. That thread never touches
// the track: it counts the end as pending and wakes the main loop's waiter
// through a loopback datagram; poll() on the main thread then runs
// recordFlush. A flush that finds the ring in use (recordFlush returns false)
// stays pending and is tried again at the next poll.
//
// Threads: the main thread (construction, openRecorder, controlLoop, poll,
// runPendingEnds, the control-exchange overrides and every callback) and the
// sink's stream thread (startStream, doneStream, getStreamRate and, at every
// disconnect, disconnectStream).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Buffer.h"
#include "foundation/IPAddress.h"
#include "foundation/Socket.h"
#include "protocol/FormatConfigure.h"
#include "protocol/FormatID.h"
#include "protocol/FormatPreConfigure.h"
#include "sink/Sink.h"

class SinkRecode : public ZARNITH::Sink {
public:
    // Stores one chunk in the track.
    using RecordStream = std::function<bool(ORVEX::BufferCS_const)>;
    // Starts a new track in the sender's format; false refuses the connect.
    // It ends the host's own sending connection and runs runPendingEnds
    // before it replaces the track, so that earlier ends keep their order.
    using RecordFormat = std::function<bool(ZARNITH::FormatConfigure&)>;
    // Ends a recording; false: the ring is in use now, try again later.
    using RecordFlush = std::function<bool(ORVEX::BufferCS_const)>;

    // The two families the recorder takes: 2 channels of PCM32 at 44.1 or
    // 48 kHz times 1 to 16, and 2 channels of DSD1, LSB first in little-endian
    // 32-bit words, at 64 to 512 times 44.1 or 48 kHz.
    static constexpr std::uint64_t PcmFamily = 0x000000FE00000802ULL;
    static constexpr std::uint64_t DsdFamily = 0x00001E0602510002ULL;

    // The answer to a format inquiry or connect word: the families that hold
    // every bit of `query`, 0 when none does.
    static std::uint64_t supportedFamilies(std::uint64_t query);

    SinkRecode(const Setting& setting, ORVEX::Socket::Waiter& waiter);
    // Closes the sink first, so that the stream thread has ended before the
    // members below go.
    ~SinkRecode();
    SinkRecode(const SinkRecode&) = delete;
    SinkRecode& operator=(const SinkRecode&) = delete;

    // Opens the wake-up channel (watched by the waiter) and then the sink.
    // False (logged) when either cannot open.
    [[nodiscard]] bool openRecorder(std::uint16_t& ctrlPort, std::uint16_t& streamPort);

    // Main thread, after every controlLoop: takes the wake-up datagrams when
    // the last wait saw them and runs the pending ends of recordings.
    void poll();
    // Main thread: runs the pending ends now; false when one is still held
    // back by the ring being in use.
    bool runPendingEnds();
    // Ends of recordings reported by the stream thread and not yet run.
    unsigned pendingEnds() const { return pendingEnds_.load(); }

    // Installed by the main function after construction; main thread only.
    RecordStream recordStream;
    RecordFormat recordFormat;
    RecordFlush recordFlush;
    std::vector<std::uint8_t> pending;  // the bytes handed to recordFlush (none are kept)

    // ---- the sink's virtual interface ----
    void getLatency(std::uint16_t& opt2, std::uint16_t& opt1, std::uint16_t& opt0) override;
    bool checkFormat(ZARNITH::FormatID& format) override;
    bool prepareFormat(ZARNITH::FormatPreConfigure& pre) override;
    bool changeFormat(ZARNITH::FormatConfigure& format) override;
    bool connectStream(const std::string& clientName) override;
    void startStream(ORVEX::Clock start) override;
    bool disconnectStream() override;
    bool doneStream(bool reportWanted) override;
    bool getStreamRate(std::uint16_t& current, std::uint16_t& target) override;

private:
    // The level reported to the sender: exactly on target, so that its pacing
    // stays as it is.
    static constexpr std::uint16_t NeutralLevel = 5000;

    void wakeMainThread();
    void drainWakeups();

    ORVEX::Socket::Waiter& mainWaiter;  // main thread only
    const std::thread::id mainThread;   // set at construction, read by the stream thread
    // Ends of recordings not yet run: the stream thread (and the main thread,
    // when the sink ends a connect it could not answer) add, the main thread takes.
    std::atomic<unsigned> pendingEnds_{0};
    ORVEX::Socket wakeReceive;  // main thread: bound to [::1], watched by the waiter
    ORVEX::Socket wakeSend;     // stream thread: sends one byte to wakeAddress
    ORVEX::IPAddress wakeAddress;  // set at openRecorder, read-only afterwards
    ORVEX::Buffer wakeBuffer;   // main thread only
};
