// The sending host's engine: opens its sockets on one interface, questions a
// sink endpoint, settles format and transfer profile, and runs the worker
// thread that sends the paced data stream with resends and feedback control.
//
// Threads: the application thread calls every public operation; the worker
// thread (one per connection) runs thread_sync_func; the log relay thread
// runs thread_debug_func. Fields shared between them are atomics; the owner
// comments name who writes and who reads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "foundation/Buffer.h"
#include "foundation/Clock.h"
#include "foundation/IPAddress.h"
#include "foundation/Socket.h"
#include "protocol/FormatConfigure.h"
#include "protocol/FormatSupport.h"
#include "protocol/MessageID.h"
#include "protocol/Receive.h"
#include "protocol/Send.h"
#include "protocol/SendBuffer.h"
#include "protocol/StatusID.h"
#include "sender/Connection.h"
#include "sender/Profile.h"
#include "sender/ProfileMaker.h"
#include "sender/SyncState.h"

namespace ZARNITH {

class Sync : public Connection {
public:
    // Thread mode flags (an int; open and changeWorkMode take any combination).
    enum THRED_MODE : int {
        THRED_NONE = 0x000,
        CRITICAL = 0x001,        // worker at real-time FIFO 99 instead of round-robin 10
        NOSHORTSLEEP = 0x002,    // block on the socket only when more than 100 us remain
        NOSLEEP4CORE = 0x004,    // never block while waiting: spin on the clock
        SOCKETNOBLOCK = 0x008,   // main socket non-blocking from open on
        OCCUPIED = 0x010,        // pin the worker, log relay and buffer threads
        FEEDBACK = 0x0E0,        // bits 5-7: reports averaged, minus one
        NOFASTFEEDBACK = 0x100,  // no catch-up burst after a late cycle
        YIELDCYCLE = 0x200,      // yield once per cycle while waiting
        YIELDWAIT = 0x400,       // yield on every pass of the wait loop
        NOSLEEPFORCE = 0x800,    // never block while waiting: spin
    };

    // Copy routine from host bytes into a data message (destination, source,
    // byte count); source and destination never overlap. The worker hands
    // the 32-bit converters whole 4-byte groups only: a group that straddles
    // two source chunks is gathered by the worker first, so the word grid
    // never shifts and no byte is left unwritten.
    using Converter = void (*)(std::uint8_t* destination, const std::uint8_t* source, std::size_t count);

    // One entry of the resend ring: a data message kept for resending, and
    // whether it is the final message of the stream.
    struct STresendList : public SendBuffer {
        bool final = false;
    };

    static constexpr unsigned ReleaseNo = 142;
    static constexpr int MaxProfiles = 10;
    // Largest resend ring a profile may ask for (16-bit sequence numbers).
    static constexpr std::size_t MaxResendRing = 32768;

    Sync();
    ~Sync();
    Sync(const Sync&) = delete;
    Sync& operator=(const Sync&) = delete;

    // Stream source, overridden by the buffer ring.
    virtual bool getNewStream(ORVEX::BufferCS_const& out);
    virtual bool getNewStreamCmp();
    virtual bool startSyncWorker();

    // --- Connection control ---
    [[nodiscard]] bool open(THRED_MODE mode, ORVEX::Clock infoCycle, unsigned short ifIndex, const std::string& name,
                            unsigned long tag, int cpuSend, int cpuOther, int cpuOtherCount);
    void close();
    void changeWorkMode(THRED_MODE mode);
    void setHostInvertPhase(bool invert);
    ORVEX::Clock getLatency() const;
    [[nodiscard]] bool connect(int cpu);
    // True when the wait was made (connecting or connected on entry);
    // callers read `state` afterwards: only connected() may play.
    bool connectWait();
    // Ends a connection: connected becomes disconnect requested and the
    // worker's disconnect exchange is awaited; with the disconnect already
    // requested the worker is awaited as well. Not callable from the worker.
    void disconnect();
    // Connected becomes disconnect requested; returns at once (callable from
    // the worker thread).
    void disconnect_flgset();
    void play();
    void stop();

    // --- Sink inquiry and connect handshake ---
    // One request and answer exchange: up to 3 tries, each with a fixed
    // deadline of `window`. False only on a socket error; `answer` holds the
    // accepted answer or is empty (no answer, refusal, echo).
    [[nodiscard]] bool sendAck(ORVEX::UDPV6& socket, const ORVEX::IPAddress& to, const Send& request, MessageID expect,
                               Receive& answer, ORVEX::Clock window);
    [[nodiscard]] bool sendAck(const ORVEX::IPAddress& to, const Send& request, MessageID expect, Receive& answer,
                               ORVEX::Clock window);
    [[nodiscard]] bool setSink(const ORVEX::IPAddress& sink, ORVEX::Clock hostLatency, bool wake);
    [[nodiscard]] bool inquirySupportFormat(const ORVEX::IPAddress& sink);
    [[nodiscard]] bool inquiryParameter(const ORVEX::IPAddress& sink, unsigned int baseMin, unsigned int frameMax);
    [[nodiscard]] bool connectPrepare();
    [[nodiscard]] bool mtuTest(const ORVEX::IPAddress& to, unsigned short& size);
    [[nodiscard]] bool mtuTest(unsigned short& size);
    bool is_active();
    void thread_debug_func();
    // Whether a datagram from `from` is the answer of `to`: address and port,
    // and the scope only for link-local addresses (bindIfIndex overrides it).
    static bool sameSource(const ORVEX::IPAddress& from, const ORVEX::IPAddress& to, std::uint32_t bindIfIndex);

    // --- Format settlement and DSD conversion ---
    bool checkSinkSupport(FormatConfigure format) const;
    [[nodiscard]] bool setSinkConfigure(FormatConfigure format);
    std::uint32_t getNoneBaseMin() const;
    std::uint32_t getFrameMax() const;
    // The packet limits of a sink's data-size answer (the one rule, also
    // used by setSink). False, limits unchanged, when the datagram size
    // leaves no payload.
    bool setPackSize(std::uint16_t mtu, std::uint16_t max);
    void memcpySync(std::uint8_t* destination, const std::uint8_t* source, std::size_t count);
    // Swaps the converter for its phase-inverting or plain twin:
    // invert = hostPhaseInvert XOR sinkPhaseInvert (worker thread only).
    void choosePhaseConverter(bool sinkPhaseInvert, bool hostPhaseInvert);
    static void memcpySyncOrg(std::uint8_t* destination, const std::uint8_t* source, std::size_t count);
    static void memcpySyncAntiPhase(std::uint8_t* destination, const std::uint8_t* source, std::size_t count);
    static void memcpySyncByteSwap32(std::uint8_t* destination, const std::uint8_t* source, std::size_t count);
    static void memcpySyncByteSwap32AntiPhase(std::uint8_t* destination, const std::uint8_t* source,
                                              std::size_t count);
    static void memcpySyncBitSwap32(std::uint8_t* destination, const std::uint8_t* source, std::size_t count);
    static void memcpySyncBitSwap32AntiPhase(std::uint8_t* destination, const std::uint8_t* source,
                                             std::size_t count);
    static void memcpySyncBitByteSwap32(std::uint8_t* destination, const std::uint8_t* source, std::size_t count);
    static void memcpySyncBitByteSwap32AntiPhase(std::uint8_t* destination, const std::uint8_t* source,
                                                 std::size_t count);
    // Phase inversion of float samples (little-endian): the sign bit of every
    // whole sample flips, so no NaN is made; memcpySync keeps the sample grid
    // across chunks.
    static void memcpySyncAntiPhaseFloat32(std::uint8_t* destination, const std::uint8_t* source, std::size_t count);
    static void memcpySyncAntiPhaseFloat64(std::uint8_t* destination, const std::uint8_t* source, std::size_t count);
    // The byte that fills silence of sendFormat when the play phase is
    // inverted or not: integer and DSD silence is complemented, float silence stays 0.
    std::uint8_t silenceByte(bool invert) const;
    static const std::uint8_t swapBitsTable[256];
    static const std::uint8_t swapBitsTableAntiPhase[256];

    // --- Transfer profiles ---
    void configTransferAuto(ORVEX::Clock limit, ORVEX::Clock start, ORVEX::Clock limit2);
    [[nodiscard]] bool configTransferFix(ORVEX::Clock cycle, int count);
    [[nodiscard]] bool configTransferVar(ORVEX::Clock cycle, int count);
    [[nodiscard]] bool configTransferFixAuto(ORVEX::Clock cycle);
    [[nodiscard]] bool configTransferVarAuto(ORVEX::Clock cycle);
    [[nodiscard]] bool configTransferRandom(ORVEX::Clock cycleMin, ORVEX::Clock cycle, int count);
    void setConfigTransfer(const Profile& profile);
    ProfileMaker getProfileMaker();
    ORVEX::Clock getCycleTime() const;
    ORVEX::Clock getMinCycleTime() const;
    std::uint64_t getCycleSize() const;
    std::uint32_t getMode() const;
    // Keeps the maker's profile as entry 0 when it was built and the worker
    // can run it (see resendRingSize); false leaves the profiles unchanged.
    [[nodiscard]] bool takeProfile(bool built);

    // --- Sender worker ---
    void thread_sync_func();
    bool syncWorker();

    // Resend ring size for a profile: the power of two not below one second
    // of messages and not below one cycle's messages, at least 32; 0 when the profile is unusable (cycle below
    // 1 us, no messages, no audio in them) or the ring would exceed
    // MaxResendRing.
    static std::size_t resendRingSize(const Profile& profile);

    // ---- Fields, in the documented order ----
    Converter converter;          // application thread before connect; worker while connected
    std::thread worker;           // application thread (start, join)
    ORVEX::UDPV6 mainSocket;      // application thread before connect; worker while connected
    ORVEX::UDPV6 debugSocket;     // log relay thread (application thread opens, wakes, closes)
    std::thread debugThread;      // application thread (start, join)
    std::mutex connectMutex;      // guards state changes that connectWait waits for
    std::condition_variable connectCondition;
    // Connection state 0 idle, 1 connecting, 2 connected, 3 disconnect
    // requested, moved only by its named transitions (SyncState.h names the
    // thread of each): the application thread, the worker and the ring (from
    // the worker). Read by all of them and by the host's main loop.
    SyncState state;
    // Stream (true) or silence (false). Written by the application thread,
    // read by the worker on every message.
    std::atomic<bool> playing;
    ORVEX::IPAddress sinkAddress;   // application thread (setSink); worker reads after start
    // The target endpoint of the sink's host: setSink writes it, the log relay
    // thread reads it, both under debugMutex (the relay outlives a connection).
    ORVEX::IPAddress debugAddress;
    // A HOSTDEBUG_REQ is due: set by setSink, cleared by the log relay thread.
    std::atomic<bool> debugRequest;
    FormatConfigure requestedFormat;  // application thread before connect; worker reads
    FormatConfigure sendFormat;       // application thread before connect; worker reads
    FormatSupport sincSupportPCM;     // application thread only
    FormatSupport sincSupportDSDlsb;  // application thread only
    FormatSupport sincSupportDSDmsb;  // application thread only
    std::uint16_t latency;            // application thread before connect; worker reads
    std::uint16_t hwLatency;          // application thread only
    // Thread mode: application thread (open, changeWorkMode); the worker
    // reads it on every use and clears NOFASTFEEDBACK at its start.
    std::atomic<int> threadMode;
    int cpuSend;        // application thread before connect; worker reads at its start
    int cpuOther;       // application thread before connect; log relay and buffer threads read
    int cpuOtherCount;  // as cpuOther
    // Host phase setting: application thread writes, worker reads at every report.
    std::atomic<bool> hostInvert;
    ORVEX::Clock infoCycle;       // application thread before connect; worker reads
    std::uint16_t packDataSize;   // application thread before connect; worker reads
    std::uint16_t packDataCount;  // application thread only
    Profile profiles[MaxProfiles];  // application thread before connect; worker reads
    int profileCount;               // as profiles
    ProfileMaker profileMaker;      // application thread only
    std::string hostName;           // application thread only
    std::uint64_t hostTag;          // application thread only
    // Bytes passed through memcpySync since the format was settled: the
    // stream position that keeps the float sample grid. Application thread
    // (setSinkConfigure, before the worker starts), then the worker only.
    std::uint64_t convertOffset = 0;

protected:
    // True (logged) when a connection still runs: connect refuses then and
    // leaves that connection as it is. Application thread.
    bool refuseWhileActive();

private:
    // Worker loop pieces (SyncWorker.cpp).
    struct WorkerRun;
    bool workerSchedule();
    bool workerConnect(WorkerRun& run);
    bool workerLoop(WorkerRun& run);
    // The wait for the deadline ahead of `now`, by the thread mode: spins,
    // yields or blocks on the socket, then handles what woke it (a datagram,
    // or the deadline: the cycle). False ends the worker.
    bool workerWait(WorkerRun& run, ORVEX::Clock now, bool& yielded);
    bool workerCycle(WorkerRun& run, ORVEX::Clock cycleStart, bool readable);
    // Advances the deadline for the cycle that starts at cycleStart, counts a
    // late start and sizes this cycle's messages; returns how many go out.
    std::uint32_t workerPace(WorkerRun& run, ORVEX::Clock cycleStart, int mode);
    // One slot of a cycle: the oldest pending resend, or the next message,
    // after which the one after it is built. False ends the worker.
    bool workerSlot(WorkerRun& run, bool last, bool askReport, ORVEX::Clock cycleStart);
    void buildMessage(WorkerRun& run, std::uint16_t sequence);
    void fillPayload(WorkerRun& run, STresendList& entry);
    void fillSilence(WorkerRun& run, std::uint8_t* out, std::size_t size);
    // Takes the next chunk when the rules allow; false: the rest is silence.
    bool nextChunk(WorkerRun& run, STresendList& entry);
    // -1 the worker ends, 0 nothing was readable, 1 handled.
    int workerReceive(WorkerRun& run, bool readable);
    // A resend request: the pending count from it; false (logged) when it
    // reaches back beyond the ring, which ends the worker.
    bool workerResend(WorkerRun& run, const Receive& request);
    void workerReport(WorkerRun& run, const Receive& report);
    void workerDisconnectExchange(WorkerRun& run);
    void workerStatistics(WorkerRun& run, std::uint16_t lengthCode);

    // Joins the worker unless called from it.
    void joinWorker();
    void joinDebugThread();

    // Set by close to end the worker and the log relay thread; read by both
    // and by sendAck's waits (which close wakes by shutting the sockets down).
    std::atomic<bool> closing{false};
    // The log relay thread runs: set by connect when it starts the thread,
    // cleared by the thread when it ends.
    std::atomic<bool> debugRunning{false};
    std::mutex debugMutex;  // guards debugAddress
};

}  // namespace ZARNITH
