// Connection control of the sender: construction, opening and closing the
// sockets, and connect, connectWait and disconnect, which move the connection
// state through its transitions (SyncState.h).
#include "sender/Sync.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "foundation/SysLog.h"
#include "protocol/SysLogZarnith.h"

namespace ZARNITH {

using ORVEX::SysLog::LEVEL_ERROR;
using ORVEX::SysLog::LEVEL_INFO;

Sync::Sync()
    : converter(&Sync::memcpySyncOrg),
      state(connectMutex, connectCondition),
      playing(false),
      debugRequest(false),
      requestedFormat(0),
      sendFormat(0),
      sincSupportPCM(0),
      sincSupportDSDlsb(0),
      sincSupportDSDmsb(0),
      latency(0),
      hwLatency(0),
      threadMode(0),
      cpuSend(0),
      cpuOther(0),
      cpuOtherCount(0),
      hostInvert(false),
      infoCycle(0),
      packDataSize(0),
      packDataCount(0),
      profiles{},
      profileCount(0),
      profileMaker(),
      hostName(),
      hostTag(0) {}

Sync::~Sync() { close(); }

bool Sync::getNewStream(ORVEX::BufferCS_const& out) {
    out = ORVEX::BufferCS_const();
    LEVEL_ERROR << "getNewStream not set err";
    return false;
}

bool Sync::getNewStreamCmp() { return true; }

bool Sync::startSyncWorker() {
    try {
        worker = std::thread(&Sync::thread_sync_func, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool Sync::open(THRED_MODE mode, ORVEX::Clock infoCycleTime, unsigned short ifIndex, const std::string& name,
                unsigned long tag, int sendCpu, int otherCpu, int otherCpuCount) {
    if (SysLogZarnith::zarnith_log > 5) {
        LEVEL_INFO << "Zarnith Sync Library ReleaseNo : " << ReleaseNo << " [" << static_cast<unsigned>(ifIndex)
                   << "]";
    }
    // Threads of an earlier connection must not see their sockets replaced.
    if (worker.joinable() || debugThread.joinable()) close();

    hostInvert = false;
    threadMode = static_cast<int>(mode);
    cpuSend = sendCpu;
    cpuOther = otherCpu;
    cpuOtherCount = otherCpuCount;
    mainSocket.receiveSize = 4096;
    infoCycle = infoCycleTime;

    if (!mainSocket.open(ORVEX::Socket::TYPE_UDPV6)) return false;
    ORVEX::IPAddress any;
    any.ifIndex = ifIndex;
    if (!mainSocket.bindV6(any, 1000)) return false;
    if ((mode & SOCKETNOBLOCK) != 0 && !mainSocket.setBlocking(false)) return false;

    packDataSize = 1428;
    packDataCount = 10;
    hostName = name;
    state.reset();
    hostTag = tag;
    playing = false;

    if (!debugSocket.open(ORVEX::Socket::TYPE_UDPV6)) return false;
    ORVEX::IPAddress anyDebug;
    anyDebug.ifIndex = ifIndex;
    if (!debugSocket.bindV6(anyDebug, 1000)) return false;

    debugRequest = false;
    return true;
}

void Sync::close() {
    // Stop flag first, then wake every wait by shutting the sockets down, join,
    // and only then release the descriptors the threads were waiting on.
    closing = true;
    if (mainSocket.is_open()) (void)mainSocket.shutdown();
    if (debugSocket.is_open()) (void)debugSocket.shutdown();
    joinWorker();
    joinDebugThread();
    mainSocket.close();
    debugSocket.close();
    closing = false;
}

void Sync::joinWorker() {
    if (worker.joinable() && worker.get_id() != std::this_thread::get_id()) worker.join();
}

void Sync::joinDebugThread() {
    if (debugThread.joinable() && debugThread.get_id() != std::this_thread::get_id()) debugThread.join();
}

void Sync::changeWorkMode(THRED_MODE mode) { threadMode = static_cast<int>(mode); }

void Sync::setHostInvertPhase(bool invert) { hostInvert = invert; }

ORVEX::Clock Sync::getLatency() const {
    return ORVEX::Clock::fromMicroseconds((static_cast<std::uint64_t>(hwLatency) + latency) * 100);
}

std::size_t Sync::resendRingSize(const Profile& profile) {
    const std::uint64_t cycleUs = profile.cycle.toMicroseconds();
    if (cycleUs == 0 || profile.packetCount == 0) return 0;
    // Messages without audio would never consume the stream.
    if (profile.packetSize == 0 && profile.framesQ14 == 0) return 0;
    // The first cycle is built ahead into the ring: a cycle longer than a
    // second still needs an entry for each of its messages.
    const std::uint64_t perSecond = std::max<std::uint64_t>((1000000ULL / cycleUs) * profile.packetCount,
                                                            profile.packetCount);
    std::size_t size = 32;
    while (size < perSecond) {
        size <<= 1;
        if (size > MaxResendRing) return 0;
    }
    return size;
}

bool Sync::connect(int cpu) {
    if (cpu >= 0) cpuSend = cpu;
    if (refuseWhileActive()) return false;
    state.reset();
    joinWorker();
    if (!sendFormat.isValid()) {
        LEVEL_ERROR << "sinkConfig invalid";
        return false;
    }
    if (profileCount < 1 || resendRingSize(profiles[0]) == 0) {
        LEVEL_ERROR << "transfer profile invalid";
        return false;
    }
    if (!mainSocket.is_open()) {
        LEVEL_ERROR << "connect without open socket";
        return false;
    }
    playing = false;
    state.beginConnect();
    if (!startSyncWorker()) {
        LEVEL_ERROR << "Sync Worker Start Error";
        close();
        state.reset();
        return false;
    }
    if (SysLogZarnith::zarnith_log > 5 && !debugRunning.load()) {
        joinDebugThread();
        debugRunning = true;
        try {
            debugThread = std::thread(&Sync::thread_debug_func, this);
        } catch (const std::system_error&) {
            debugRunning = false;
        }
    }
    return true;
}

bool Sync::connectWait() {
    {
        const SyncState::Value now = state.load();
        if (now != SyncState::CONNECTING && now != SyncState::CONNECTED) return false;
    }
    std::unique_lock<std::mutex> lock(connectMutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(50);
    bool timedOut = false;
    while (state.load() == SyncState::CONNECTING) {
        if (connectCondition.wait_until(lock, deadline) == std::cv_status::timeout &&
            state.load() == SyncState::CONNECTING) {
            timedOut = true;
            break;
        }
    }
    lock.unlock();
    if (timedOut) {
        LEVEL_INFO << "connectWait timeout";
    } else {
        LEVEL_INFO << "connectWait notimeout";
    }
    LEVEL_INFO << "connectWait " << state.load();
    return true;
}

void Sync::disconnect() {
    const SyncState::Value found = state.requestDisconnect();
    if (found == SyncState::CONNECTED) {
        LEVEL_INFO << "discone flgset";
    } else if (found != SyncState::DISCONNECT_REQUESTED) {
        return;
    }
    joinWorker();
    LEVEL_INFO << "discone done";
}

void Sync::disconnect_flgset() {
    if (state.requestDisconnect() == SyncState::CONNECTED) LEVEL_INFO << "discone flgset";
}

void Sync::play() {
    playing = true;
    LEVEL_INFO << "play " << state.load();
}

void Sync::stop() {
    playing = false;
    LEVEL_INFO << "stop " << state.load();
}

bool Sync::refuseWhileActive() {
    // A worker that has not ended still owns the socket and the state.
    if (!worker.joinable()) return false;
    const SyncState::Value now = state.load();
    if (now == SyncState::IDLE) return false;
    LEVEL_ERROR << "connect refused, connection active " << now;
    return true;
}

}  // namespace ZARNITH
