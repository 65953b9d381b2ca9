// Target endpoint: clock synchro samples, the local log input with its relay,
// and the notices to the local thread service.
#include <cerrno>

#include "foundation/SysLog.h"
#include "protocol/LittleEndian.h"
#include "target/Target.h"

namespace ZARNITH {

// Numbers the send and receive sites of this file in its log lines.
constexpr int SendSite = 4000;

using ORVEX::SysLog::LEVEL_ERROR;

namespace {

// Where the text of a local log datagram starts: 26 bytes of time stamp and
// host name follow the priority's closing bracket; 31 bytes with the usual
// three-digit priority.
std::size_t logTextOffset(ORVEX::BufferCS_const d) {
    if (d.size > 0 && d.data[0] == '<')
        for (std::size_t i = 2; i <= 4 && i < d.size; ++i)
            if (d.data[i] == '>') return i + 27;
    return Target::LogHeaderSize;
}

}  // namespace

void Target::onSynchro(const Receive& m, const ORVEX::IPAddress& from, ORVEX::Clock now) {
    if (!setting.synchro || from.is_loopback() || m.size_data() < 8) return;
    const std::uint64_t remote = readU64LE(m.get_data());
    ORVEX::IPAddress host;
    if (!youInfos.sample(from, m.getOption0(), remote, now, host)) return;
    std::vector<std::uint8_t> record;
    ClockSynchro::appendRecord(record, youInfos.adoptedOf(host), host);
    sendClockTable(record, registry.allPorts());
}

void Target::sendClockTable(const std::vector<std::uint8_t>& records, const std::vector<std::uint16_t>& ports) {
    SendBuffer t;
    t.set(CLOCKTABLE_SET, STATUS_NONE, 0, 0, 0, 0);
    t.resize(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) t.get_data()[i] = records[i];
    t.update();
    // Not an answer: the platform picks the source (::1) towards [::1].
    for (const std::uint16_t port : ports)
        if (!udp.sendToV6(t, ORVEX::IPAddress::loopback(port), true))
            LEVEL_ERROR << "UDP send error " << SendSite + __LINE__ << ":" << udp.lastError;
}

bool Target::receiveLog() {
    ORVEX::Buffer d;
    ORVEX::IPAddress from;
    if (!logInput.receiveFromV6(d, from)) {
        const int cause = errno;
        LEVEL_ERROR << "syslog receive error " << SendSite + __LINE__ << ":" << cause;
        return false;
    }
    if (d.empty()) return true;
    if (setting.syslogRelay)  // best effort, unlogged
        (void)logInput.sendToV6(d.view(), ORVEX::IPAddress::loopback(SyslogPort), false);
    if (debugHost.is_zero() && debugHost.port == 0) return true;
    const std::size_t offset = logTextOffset(d.view());
    if (offset >= d.size()) return true;  // no text behind the header
    SendBuffer line;
    line.set(HOSTDEBUG_ANS, STATUS_ACCEPT, 2, 0, 0, 0);
    line.resize(d.size() - offset);
    for (std::size_t i = offset; i < d.size(); ++i) line.get_data()[i - offset] = d[i];
    line.update();
    if (!udp.sendToV6(line, debugHost, debugSource, false))
        LEVEL_ERROR << "UDP send error " << SendSite + __LINE__ << ":" << udp.lastError;
    return true;
}

bool Target::PlayThreadNotify(std::uint64_t threadId, std::uint16_t a, std::uint16_t b, std::uint16_t c,
                              std::uint16_t d, bool wait) {
    const std::uint16_t values[4] = {a, b, c, d};
    return threadNotify(true, threadId, values, wait);
}

bool Target::StopThreadNotify(std::uint64_t threadId, bool wait) {
    const std::uint16_t values[4] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
    return threadNotify(false, threadId, values, wait);
}

bool Target::threadNotify(bool playing, std::uint64_t threadId, const std::uint16_t values[4], bool wait) {
    static constexpr ORVEX::Clock Budget = ORVEX::Clock::fromSeconds(10);
    static constexpr ORVEX::Clock AnswerWindow = ORVEX::Clock::fromMilliseconds(300);
    ORVEX::Socket s;
    if (!s.open(ORVEX::Socket::TYPE_UDPV6)) {
        LEVEL_ERROR << "udp  open error:" << s.lastError;
        return false;
    }
    ORVEX::IPAddress local = ORVEX::IPAddress::loopback(0);
    if (!s.bindV6(local, 1000)) {
        LEVEL_ERROR << "udp  bind error:" << s.lastError;
        return false;
    }
    const ORVEX::IPAddress service = ORVEX::IPAddress::loopback(ThreadServicePort);
    const StatusID st = playing ? STATUS_PLAYING : STATUS_NONE;
    const Send idMessage(THREADID_SET, st, threadId);
    const Send notice(THREADNOTIFY_SET, st, values[0], values[1], values[2], values[3]);
    auto send = [&](const Send& message) {
        if (s.sendToV6(message, service, true)) return true;
        LEVEL_ERROR << "udp  send error:" << s.lastError;
        return false;
    };
    if (!wait) return send(idMessage) && send(notice);

    // One answer window per send; only the service's answer with the id counts.
    auto answered = [&](MessageID expected) {
        if (s.wait(AnswerWindow) != ORVEX::WaitResult::Ready) return false;
        Receive r;
        ORVEX::IPAddress from;
        if (!s.receiveFromV6(r, from)) return false;
        return static_cast<bool>(r) && r.getMessage() == expected && from.is_loopback() &&
               from.get_port() == ThreadServicePort;
    };
    const ORVEX::Clock start = ORVEX::Clock::now();
    auto inBudget = [&] { return (ORVEX::Clock::now() - start).picoseconds() < Budget.picoseconds(); };
    bool idTaken = false;
    while (!idTaken && inBudget()) {
        if (!send(idMessage)) return false;
        idTaken = answered(THREADID_ANS);
    }
    if (!idTaken) return true;
    while (inBudget()) {
        if (!send(notice)) return false;
        if (answered(THREADNOTIFY_ANS)) break;
    }
    return true;
}

}  // namespace ZARNITH
