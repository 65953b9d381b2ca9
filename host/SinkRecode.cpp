#include "host/SinkRecode.h"

#include "foundation/SysLog.h"

using ORVEX::SysLog::LEVEL_ERROR;
using ORVEX::SysLog::LEVEL_INFO;

std::uint64_t SinkRecode::supportedFamilies(std::uint64_t query) {
    std::uint64_t answer = 0;
    if ((query & ~PcmFamily) == 0) answer |= PcmFamily;
    if ((query & ~DsdFamily) == 0) answer |= DsdFamily;
    return answer;
}

SinkRecode::SinkRecode(const Setting& setting, ORVEX::Socket::Waiter& waiter)
    : Sink(setting, waiter), mainWaiter(waiter), mainThread(std::this_thread::get_id()) {}

SinkRecode::~SinkRecode() {
    close();
    mainWaiter.clear(wakeReceive);
}

bool SinkRecode::openRecorder(std::uint16_t& ctrlPort, std::uint16_t& streamPort) {
    ORVEX::IPAddress loopback = ORVEX::IPAddress::loopback(0);
    if (!wakeReceive.open(ORVEX::Socket::TYPE_UDPV6) ||
        !wakeReceive.bindV6(loopback, 1) || !wakeReceive.setBlocking(false) ||
        !wakeSend.open(ORVEX::Socket::TYPE_UDPV6) || !wakeSend.setBlocking(false)) {
        LEVEL_ERROR << "Recoder wake-up open error:" << wakeReceive.lastError << ":" << wakeSend.lastError;
        return false;
    }
    wakeAddress = loopback;
    wakeReceive.receiveSize = 64;
    mainWaiter.set(wakeReceive);
    return open(ctrlPort, streamPort);
}

void SinkRecode::poll() {
    if (mainWaiter.check(wakeReceive)) drainWakeups();
    if (pendingEnds_.load() != 0) (void)runPendingEnds();
}

bool SinkRecode::runPendingEnds() {
    while (pendingEnds_.load() != 0) {
        if (recordFlush && !recordFlush(ORVEX::BufferCS_const(pending.data(), pending.size()))) return false;
        pendingEnds_.fetch_sub(1);
    }
    return true;
}

void SinkRecode::drainWakeups() {
    ORVEX::IPAddress from;
    // Non-blocking: an empty queue gives an empty buffer.
    for (int i = 0; i < 64; ++i) {
        if (!wakeReceive.receiveFromV6(wakeBuffer, from) || wakeBuffer.empty()) return;
    }
}

void SinkRecode::wakeMainThread() {
    // One byte; when it is lost the main loop still finds the end at its next
    // pass (it polls at least every 100 ms).
    static const std::uint8_t byte = 1;
    (void)wakeSend.sendToV6(ORVEX::BufferCS_const(&byte, 1), wakeAddress, false);
}

void SinkRecode::getLatency(std::uint16_t& opt2, std::uint16_t& opt1, std::uint16_t& opt0) {
    // 100 microsecond units: 100 ms agreed, 20 ms of hardware latency.
    opt2 = 5000;
    opt1 = 200;
    opt0 = 1000;
}

bool SinkRecode::checkFormat(ZARNITH::FormatID& format) {
    format = static_cast<ZARNITH::FormatID>(supportedFamilies(format));
    return true;
}

bool SinkRecode::prepareFormat(ZARNITH::FormatPreConfigure&) { return true; }

bool SinkRecode::changeFormat(ZARNITH::FormatConfigure& format) {
    // recordFormat frees the ring and runs the pending ends of earlier
    // recordings before it replaces their track.
    if (!recordFormat) return true;
    return recordFormat(format);
}

bool SinkRecode::connectStream(const std::string&) { return true; }

void SinkRecode::startStream(ORVEX::Clock) {}

bool SinkRecode::disconnectStream() {
    pendingEnds_.fetch_add(1);
    if (std::this_thread::get_id() != mainThread) wakeMainThread();
    LEVEL_INFO << "Recoder end of recording";
    return true;
}

bool SinkRecode::doneStream(bool reportWanted) {
    // The received audio is not kept. A sender that asks for a report gets a
    // neutral one; without reports it would take the recorder for gone.
    if (reportWanted) (void)updateStreamRate(0);
    return true;
}

bool SinkRecode::getStreamRate(std::uint16_t& current, std::uint16_t& target) {
    current = NeutralLevel;
    target = NeutralLevel;
    return true;
}
