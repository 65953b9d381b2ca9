// The target endpoint: the device side of discovery and device management.
// Once opened, a worker thread of its own answers finders and hosts on UDP
// port 19642 (and the all-nodes group ff02::1 on the joined interfaces), keeps
// the registry of the ports and statuses that local endpoints register over
// the loopback interface, hands clock records to them, and takes local log
// datagrams on [::1]:19641 for relay.
//
// An application may derive from Target and override the five hooks to give
// transfers and configuration changes an effect; they run on the worker
// thread. A derived class whose hooks use its own members must call close()
// in its own destructor, so that the worker has ended before those members go.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Buffer.h"
#include "foundation/CRC16.h"
#include "foundation/Clock.h"
#include "foundation/IPAddress.h"
#include "foundation/Socket.h"
#include "protocol/EchoLimiter.h"
#include "protocol/Receive.h"
#include "protocol/Send.h"
#include "protocol/TargetPort.h"
#include "target/ClockSynchro.h"
#include "target/TargetRegistry.h"
#include "target/TargetSetting.h"

namespace ZARNITH {

class Target {
public:
    using Setting = TargetSetting;
    using YouInfo = ClockSynchro::YouInfo;
    // What a finder announced with SYNCNAME_SET.
    struct FindInfo {
        std::string name;
        std::uint64_t id = ~std::uint64_t{0};
    };

    static constexpr int ReleaseNo = 142;
    static constexpr std::uint16_t LogInputPort = 19641;
    static constexpr std::uint16_t SyslogPort = 514;
    static constexpr std::uint16_t ThreadServicePort = 19639;
    static constexpr ORVEX::Clock WaitPeriod = ORVEX::Clock::fromSeconds(1);
    // Auto-find rescans: after an idle wake, after a busy one.
    static constexpr ORVEX::Clock RescanIdle = ORVEX::Clock::fromSeconds(5);
    static constexpr ORVEX::Clock RescanBusy = ORVEX::Clock::fromSeconds(10);
    // Header of a local log datagram with a three-digit priority.
    static constexpr std::size_t LogHeaderSize = 31;
    // Bounds on tables and buffers that remote peers feed.
    static constexpr std::size_t MaxFinders = 256;
    static constexpr std::size_t MaxTransferBytes = 64u << 20;
    static constexpr std::size_t MaxIconRunBytes = 65000;  // one datagram
    static constexpr std::size_t MaxLocalAddresses = 63;

    explicit Target(const Setting& s);
    virtual ~Target();
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    // Opens the control socket (and the local log input when asked), joins
    // ff02::1 on the interfaces of `addresses` (none: auto-find) and starts the
    // worker. False, with the cause logged, when something failed or the worker
    // runs already.
    [[nodiscard]] bool open(const std::list<ORVEX::IPAddress>& addresses, bool logInput);
    // Auto-find.
    bool open(bool logInput);
    // The zero address with port 0: auto-find with the log input; else that one address.
    bool open(const ORVEX::IPAddress& address, bool logInput);
    // 0: auto-find; -1: loopback only (when allowed); else the link-local
    // addresses of that interface.
    bool open(int ifIndex, bool logInput);
    // Ends the worker (within one wait) and closes the sockets.
    void close();

    std::uint32_t getState() const { return state.load(); }
    std::uint16_t getRebootCode() const { return rebootCode.load(); }
    bool isPlay() const { return play.load(); }

    // Hooks, called on the worker thread.
    virtual void SetTrancefer(ORVEX::BufferCS_const data, int slot, std::uint16_t index, std::uint16_t block);
    virtual bool FinishTrancefer(int slot, std::uint16_t& crc, std::uint16_t& mode);
    virtual bool ConfigGet(std::uint16_t unit, std::string& text, std::uint16_t& value);
    virtual bool ConfigSet(std::uint16_t unit, const std::string& text, const std::uint16_t& value, bool toDefault);
    virtual bool ConfigFinale(bool commit);

    // Tell the local thread service at [::1]:19639 that a thread plays (with
    // four values) or stopped. False only when a socket operation failed.
    static bool PlayThreadNotify(std::uint64_t threadId, std::uint16_t a, std::uint16_t b, std::uint16_t c,
                                 std::uint16_t d, bool wait);
    static bool StopThreadNotify(std::uint64_t threadId, bool wait);

protected:
    using ClockSource = ORVEX::Clock (*)();
    // Replaces the worker's clock (tests move time on with it); before open.
    void setClockSource(ClockSource source) { clockSource.store(source); }
    // The data the class's own transfer hook collected (worker thread, or after close).
    const std::vector<std::uint8_t>& getTransferBuffer() const { return transferBuffer; }

private:
    // Results of a handler for the worker loop.
    enum Pass : std::uint32_t { PASS_ON = 0, END_FAILED = 2, END_REBOOT = 3 };

    ORVEX::Clock clockNow() const { return clockSource.load()(); }
    void udp_worker();
    std::uint32_t udp_worker_m();
    void autoFindStep(ORVEX::Clock now, bool timedOut);
    [[nodiscard]] bool join(const ORVEX::IPAddress& local, bool listed);
    std::uint32_t receiveControl(ORVEX::Clock now);
    std::uint32_t dispatch(const Receive& m, const ORVEX::IPAddress& from, ORVEX::Clock now);
    [[nodiscard]] bool receiveLog();
    // Sends the answer to the message in hand through `udp` with retry, from
    // the address that message was sent to; logs "UDP send error " with `site`
    // unless the error number is `quietError`.
    bool answer(const Send& message, const ORVEX::IPAddress& to, int site, int quietError = 0);
    void echo(const Receive& m, const ORVEX::IPAddress& from, ORVEX::Clock now);
    // One CLOCKTABLE_SET carrying `records` to [::1] at each of `ports`.
    void sendClockTable(const std::vector<std::uint8_t>& records, const std::vector<std::uint16_t>& ports);

    // Discovery, ports and status.
    void onDiscover(const ORVEX::IPAddress& from);
    void onPortReq(const Receive& m, const ORVEX::IPAddress& from);
    void onText(const Receive& m, const ORVEX::IPAddress& from, const std::string& text);
    void onSyncName(const Receive& m, const ORVEX::IPAddress& from);
    void onHostDebug(const Receive& m, const ORVEX::IPAddress& from);
    void onNopBreak(const ORVEX::IPAddress& from);
    void onInformation(const Receive& m, const ORVEX::IPAddress& from);
    void onStatusReq(const Receive& m, const ORVEX::IPAddress& from);
    void onPortRegist(const Receive& m, const ORVEX::IPAddress& from, ORVEX::Clock now);
    void onStatusRegist(const Receive& m, const ORVEX::IPAddress& from, ORVEX::Clock now);
    void onNopNotify(const Receive& m, ORVEX::Clock now);
    // Units, icons, transfer, reboot.
    void onTargetUnit(const Receive& m, const ORVEX::IPAddress& from);
    std::uint32_t onTargetValue(const Receive& m, const ORVEX::IPAddress& from);
    void onTargetIcon(const Receive& m, const ORVEX::IPAddress& from);
    void onTransferInfo(const Receive& m, const ORVEX::IPAddress& from);
    void onTransferData(const Receive& m, const ORVEX::IPAddress& from);
    void onTransferFinish(const Receive& m, const ORVEX::IPAddress& from);
    std::uint32_t onReboot(const Receive& m, const ORVEX::IPAddress& from);
    // Clock synchro.
    void onSynchro(const Receive& m, const ORVEX::IPAddress& from, ORVEX::Clock now);

    static bool threadNotify(bool playing, std::uint64_t threadId, const std::uint16_t values[4], bool wait);

    // Read-only once the worker runs (creating thread before).
    const Setting setting;
    // Worker writes; the creating thread may read after close.
    std::vector<std::uint8_t> transferBuffer;
    bool transferOverflow = false;         // worker: the running transfer lost data
    std::thread worker;                    // creating thread
    // Creating thread opens and closes them while no worker runs; the worker
    // owns them in between (close only shuts them down to wake it).
    ORVEX::Socket udp;
    ORVEX::Socket logInput;
    std::atomic<std::uint32_t> state{1};       // worker writes, any thread reads
    std::atomic<std::uint16_t> rebootCode{0};  // worker writes, any thread reads
    std::atomic<bool> play{false};             // worker writes, any thread reads
    std::atomic<bool> stopping{false};         // creating thread writes, worker reads
    std::atomic<ClockSource> clockSource{&ORVEX::Clock::now};  // set before open, worker reads
    // Worker thread while it runs; kept after it.
    std::map<ORVEX::IPAddress, FindInfo> finders;
    ORVEX::CRC16 crc;
    bool autoFind = false;                     // creating thread in open, then worker reads
    std::list<ORVEX::IPAddress> joined;        // open, then worker
    std::list<ORVEX::IPAddress> joinFailed;    // worker
    ClockSynchro youInfos;                     // worker
    // One run of the worker (reset at its start).
    TargetRegistry registry;
    ORVEX::IPAddress debugHost;                // receives forwarded log lines; zero: none
    ORVEX::IPAddress debugSource;              // the address debugHost asked; the lines leave from it
    // The destination of the message in hand (a local address, or the group
    // for a multicast request); its answers leave from it.
    ORVEX::IPAddress asked;
    std::uint16_t expectedSeq = 0;
    int expectedSlot = -1;                     // -1: no transfer expected
    ORVEX::Clock lastFind;
    EchoLimiter echoLimiter;
};

}  // namespace ZARNITH
