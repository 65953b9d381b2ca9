// Target endpoint: construction, open and close, the worker loop and the
// dispatch of received messages to their handlers.
#include "target/Target.h"

#include <cerrno>
#include <sys/socket.h>

#include "foundation/SysLog.h"
#include "foundation/ThreadPriority.h"

namespace ZARNITH {

// Numbers the send and receive sites of this file in its log lines.
constexpr int SendSite = 1000;

using ORVEX::SysLog::LEVEL_DEBUG;
using ORVEX::SysLog::LEVEL_ERROR;
using ORVEX::SysLog::LEVEL_INFO;

namespace {

ORVEX::IPAddress allNodes(std::uint32_t ifIndex) {
    ORVEX::IPAddress group;
    group.address[0] = 0xff;
    group.address[1] = 0x02;
    group.address[15] = 0x01;
    group.ifIndex = ifIndex;
    return group;
}

// A link-local address names a host only together with its interface: the
// same fe80:: address on two links is two addresses.
bool listed(const std::list<ORVEX::IPAddress>& list, const ORVEX::IPAddress& a) {
    for (const auto& e : list)
        if (e.same_host(a)) return true;
    return false;
}

}  // namespace

Target::Target(const Setting& s) : setting(s) {}

Target::~Target() { close(); }

bool Target::open(bool logInputOn) { return open(std::list<ORVEX::IPAddress>{}, logInputOn); }

bool Target::open(const ORVEX::IPAddress& address, bool logInputOn) {
    if (address.is_zero() && address.port == 0) return open(std::list<ORVEX::IPAddress>{}, true);
    return open(std::list<ORVEX::IPAddress>{address}, logInputOn);
}

bool Target::open(int ifIndex, bool logInputOn) {
    if (ifIndex == 0) return open(std::list<ORVEX::IPAddress>{}, logInputOn);
    ORVEX::Socket::AddressList list;
    if (!ORVEX::Socket::getMyLocalAddresV6(list, setting.loopbackAllowed != 0)) {
        LEVEL_ERROR << "error getMyLocalAddresV6 Find::open";
        return false;
    }
    std::list<ORVEX::IPAddress> chosen;
    for (const auto& [address, entry] : list) {
        if (ifIndex == -1 ? address.is_loopback() : address.ifIndex == static_cast<std::uint32_t>(ifIndex))
            chosen.push_back(address);
    }
    if (chosen.empty()) return false;
    return open(chosen, logInputOn);
}

bool Target::open(const std::list<ORVEX::IPAddress>& addresses, bool logInputOn) {
    if (worker.joinable()) {
        LEVEL_ERROR << "Target open refused: worker running";
        return false;
    }
    LEVEL_INFO << "Zarnith Target Library ReleaseNo : " << ReleaseNo;
    if (!udp.open(ORVEX::Socket::TYPE_UDPV6)) {
        LEVEL_ERROR << "udp  open error:" << udp.lastError;
        return false;
    }
    (void)udp.setBlocking(false);
    ORVEX::IPAddress any;
    any.set_port(TargetPort);
    if (!udp.bindV6(any, 1000)) {
        LEVEL_ERROR << "MULTI  bind error:" << udp.lastError;
        return false;
    }
    if (addresses.empty()) {
        LEVEL_INFO << "Multi Address Auto Find";
        autoFind = true;
    } else {
        autoFind = false;
        for (const auto& a : addresses) {
            if (a.is_loopback()) continue;
            LEVEL_DEBUG << "member multi:" << a.ifIndex;
            if (!join(a, true)) return false;
        }
    }
    if (logInputOn) {
        if (!logInput.open(ORVEX::Socket::TYPE_UDPV6)) {
            LEVEL_ERROR << "syslog  open error:" << logInput.lastError;
            return false;
        }
        ORVEX::IPAddress local = ORVEX::IPAddress::loopback(LogInputPort);
        if (!logInput.bindV6(local, 1000)) {
            LEVEL_ERROR << "syslog bind error:" << logInput.lastError;
            return false;
        }
        // Received only after readiness; never let a receive block the worker.
        (void)logInput.setBlocking(false);
    }
    stopping = false;
    state = 0;
    rebootCode = 0;
    worker = std::thread(&Target::udp_worker, this);
    return true;
}

bool Target::join(const ORVEX::IPAddress& local, bool listed) {
    if (udp.memberV6(allNodes(local.ifIndex))) {
        joined.push_back(local);
        return true;
    }
    const int cause = errno;
    // A second address on an interface already joined: the membership exists.
    if (cause == EADDRINUSE) {
        joined.push_back(local);
        return true;
    }
    LEVEL_ERROR << "MULTI udp member error:" << cause;
    if (!listed) joinFailed.push_back(local);
    return false;
}

void Target::close() {
    LEVEL_DEBUG << "Target close";
    if (worker.joinable()) {
        // Wake the worker's wait (a shut-down socket reads as readable) and let
        // it end before its sockets are closed under it.
        stopping = true;
        if (udp.is_open()) (void)::shutdown(udp.getDescriptor(), SHUT_RDWR);
        if (logInput.is_open()) (void)::shutdown(logInput.getDescriptor(), SHUT_RDWR);
        worker.join();
    }
    udp.close();
    logInput.close();
}

void Target::udp_worker() {
    const unsigned long self = ORVEX::ThreadPriority::getSelfThreadID();
    if (setting.synchro) {
        if (!ORVEX::ThreadPriority::setPriority(self, ORVEX::ThreadPriority::CRITICAL))
            (void)ORVEX::ThreadPriority::setPriority(self, ORVEX::ThreadPriority::HIGH);
    } else {
        (void)ORVEX::ThreadPriority::setPriority(self, ORVEX::ThreadPriority::IDLE);
    }
    state = udp_worker_m();
}

std::uint32_t Target::udp_worker_m() {
    registry = TargetRegistry{};
    registry.seed(setting.ports);
    ORVEX::Socket::Waiter waiter;
    (void)waiter.set(udp);
    if (logInput.is_open()) (void)waiter.set(logInput);
    lastFind = clockNow() - ORVEX::Clock::fromSeconds(10);
    debugHost = ORVEX::IPAddress{};
    debugSource = ORVEX::IPAddress{};
    expectedSeq = 0;
    expectedSlot = -1;
    echoLimiter = EchoLimiter{};

    for (;;) {
        const ORVEX::WaitResult woke = waiter.wait(WaitPeriod);
        if (stopping) return END_FAILED;
        if (woke == ORVEX::WaitResult::Error) return END_FAILED;
        const ORVEX::Clock now = clockNow();
        play = registry.upkeep(now);
        if (autoFind) autoFindStep(now, woke == ORVEX::WaitResult::TimeOut);
        if (woke == ORVEX::WaitResult::TimeOut) continue;
        if (waiter.check(udp)) {
            const std::uint32_t r = receiveControl(now);
            if (r != PASS_ON) return r;
        } else if (logInput.is_open() && waiter.check(logInput)) {
            if (!receiveLog()) return END_FAILED;
        }
    }
}

void Target::autoFindStep(ORVEX::Clock now, bool timedOut) {
    const ORVEX::Clock due = timedOut ? RescanIdle : RescanBusy;
    if ((now - lastFind).picoseconds() < due.picoseconds()) return;
    lastFind = now;
    if (play) return;
    ORVEX::Socket::AddressList list;
    if (!ORVEX::Socket::getMyLocalAddresV6(list, false)) {
        LEVEL_ERROR << "error getMyLocalAddresV6 Find::open";
        return;
    }
    for (const auto& [address, entry] : list) {
        if (address.is_loopback() || listed(joined, address) || listed(joinFailed, address)) continue;
        std::string text;
        address.get_V6_str(text);
        LEVEL_INFO << "Add Multi Member : " << text << "%" << address.ifIndex;
        (void)join(address, false);
    }
}

std::uint32_t Target::receiveControl(ORVEX::Clock now) {
    Receive m;
    ORVEX::IPAddress from;
    if (!udp.receiveFromV6(m, from, asked)) {
        const int cause = errno;
        LEVEL_ERROR << "UDP receive error " << SendSite + __LINE__ << ":" << cause;
        return END_FAILED;
    }
    if (m.empty()) return PASS_ON;
    if (!m) {
        if (ORVEX::SysLog::enabled(LEVEL_DEBUG)) {
            LEVEL_DEBUG << m.view().dump();
            LEVEL_DEBUG << "Receive Data Err:" << static_cast<unsigned long>(m.size());
        }
        return PASS_ON;
    }
    const std::uint16_t id = m.getMessage();
    if (ORVEX::SysLog::enabled(LEVEL_DEBUG)) {
        if (m.size() <= 400) LEVEL_DEBUG << m.view().dump();
        LEVEL_DEBUG << "Receive udp:" << static_cast<unsigned>(id);
    }
    if ((id & 1) != 0 && id != STATUSREGIST_SET) {
        LEVEL_DEBUG << "drop message :" << static_cast<unsigned>(id);
        return PASS_ON;
    }
    return dispatch(m, from, now);
}

std::uint32_t Target::dispatch(const Receive& m, const ORVEX::IPAddress& from, ORVEX::Clock now) {
    const std::uint16_t id = m.getMessage();
    if (id >= 0x8000 && (id == PORTREGIST_SET || id == STATUSREGIST_SET || id == NOPNOTIFY_SET)) {
        if (!from.is_loopback()) return PASS_ON;
        if (id == PORTREGIST_SET) onPortRegist(m, from, now);
        else if (id == STATUSREGIST_SET) onStatusRegist(m, from, now);
        else onNopNotify(m, now);
        return PASS_ON;
    }
    switch (id) {
        case DISCOVER: onDiscover(from); break;
        case PORT_REQ: onPortReq(m, from); break;
        case OUTPUTNAME_REQ: onText(m, from, setting.outputText); break;
        case SYNCNAME_SET: onSyncName(m, from); break;
        case TRANSFERINFO_REQ: onTransferInfo(m, from); break;
        case TRANSFERDATA_SET: onTransferData(m, from); break;
        case TRANSFERFINISH_REQ: onTransferFinish(m, from); break;
        case FWVERSION_REQ: onText(m, from, setting.fwVersion); break;
        case FWURL_REQ: onText(m, from, setting.fwURL); break;
        case REBOOT_REQ: return onReboot(m, from);
        case HOSTDEBUG_REQ: onHostDebug(m, from); break;
        case NOPBREAK_REQ: onNopBreak(from); break;
        case INFORMATION_REQ: onInformation(m, from); break;
        case TARGETUNIT_REQ: onTargetUnit(m, from); break;
        case TARGETVALUE_REQ: return onTargetValue(m, from);
        case STATUS_REQ: onStatusReq(m, from); break;
        case TARGETICON_REQ: onTargetIcon(m, from); break;
        case SYNCHRO: onSynchro(m, from, now); break;
        default: echo(m, from, now); break;
    }
    return PASS_ON;
}

bool Target::answer(const Send& message, const ORVEX::IPAddress& to, int site, int quietError) {
    if (udp.sendToV6(message, to, asked, true)) return true;
    if (quietError == 0 || udp.lastError != quietError)
        LEVEL_ERROR << "UDP send error " << site << ":" << udp.lastError;
    return false;
}

void Target::echo(const Receive& m, const ORVEX::IPAddress& from, ORVEX::Clock now) {
    // No target sends requests from a target endpoint's own port: an echo
    // there would only start two targets echoing each other.
    if (from.get_port() == TargetPort || !echoLimiter.allow(from, now)) {
        LEVEL_DEBUG << "echo suppressed :" << static_cast<unsigned>(m.getMessage());
        return;
    }
    const Send back(m.getMessage(), STATUS_NONE);
    (void)answer(back, from, SendSite + __LINE__);
}

}  // namespace ZARNITH
