// Sink inquiry and connect handshake of the sender: the request and answer
// exchange, the inquiries that setSink runs, the pre-format and host name,
// the datagram-size probe, and the log relay thread.
#include <chrono>
#include <mutex>
#include <thread>

#include "foundation/SysLog.h"
#include "foundation/ThreadPriority.h"
#include "protocol/FormatPreConfigure.h"
#include "protocol/SysLogZarnith.h"
#include "protocol/TargetPort.h"
#include "sender/Sync.h"

namespace ZARNITH {

using ORVEX::SysLog::LEVEL_DEBUG;
using ORVEX::SysLog::LEVEL_ERROR;
using ORVEX::SysLog::LEVEL_INFO;
using ORVEX::SysLog::LEVEL_WARNING;

namespace {

constexpr int Tries = 3;
constexpr ORVEX::Clock AnswerWindow = ORVEX::Clock::fromMilliseconds(10);
constexpr ORVEX::Clock PrepareWindow = ORVEX::Clock::fromSeconds(10);
constexpr ORVEX::Clock RelayWait = ORVEX::Clock::fromMilliseconds(100);
// Datagrams still read after a try's deadline, at most.
constexpr int LateReadsMax = 16;

}  // namespace

bool Sync::sameSource(const ORVEX::IPAddress& from, const ORVEX::IPAddress& to, std::uint32_t bindIfIndex) {
    if (from.address != to.address || from.port != to.port) return false;
    // Only a link-local address has a scope; replies from global addresses
    // and ::1 carry scope 0 whatever interface the request named.
    if (!to.is_link_local()) return true;
    const std::uint32_t scope = (bindIfIndex != 0 ? bindIfIndex : to.ifIndex) & 0xFFFF;
    return from.ifIndex == scope;
}

bool Sync::sendAck(ORVEX::UDPV6& socket, const ORVEX::IPAddress& to, const Send& request, MessageID expect,
                   Receive& answer, ORVEX::Clock window) {
    answer.clear();
    const ORVEX::BufferCS_const view = static_cast<ORVEX::BufferCS_const>(request);
    Receive received;
    ORVEX::IPAddress from;
    for (int attempt = 0; attempt < Tries; ++attempt) {
        if (closing.load()) return false;
        if (!socket.sendToV6(view, to, true)) return false;
        // Each try has a fixed deadline: stray datagrams do not stretch it.
        // What had arrived by then still counts, even when this thread got
        // the processor back only after the deadline.
        const ORVEX::Clock deadline = ORVEX::Clock::now() + window;
        int lateReads = 0;
        for (;;) {
            const ORVEX::Clock now = ORVEX::Clock::now();
            const bool expired = now.Comp(deadline) >= 0;
            if (expired && ++lateReads > LateReadsMax) break;
            const ORVEX::WaitResult ready = socket.wait(expired ? ORVEX::Clock() : deadline - now);
            if (ready == ORVEX::WaitResult::Error) return false;
            if (ready == ORVEX::WaitResult::TimeOut) {
                if (expired) break;
                continue;
            }
            if (closing.load()) return false;
            if (!socket.receiveFromV6(received, from)) return false;
            if (received.empty()) continue;
            if (!received) {
                LEVEL_DEBUG << "sendAck RCV errpacket:" << static_cast<unsigned long>(received.size());
                continue;
            }
            if (!sameSource(from, to, socket.bindIfIndex)) continue;
            LEVEL_DEBUG << "sendAck[" << static_cast<unsigned>(socket.bindIfIndex) << ","
                        << static_cast<unsigned>(to.ifIndex) << "," << static_cast<unsigned>(from.ifIndex)
                        << "]RCV:" << static_cast<unsigned>(request.getMessage());
            const MessageID id = received.getMessage();
            if (id == request.getMessage()) return true;  // echo: not supported
            if (id != expect) continue;
            if ((received.getStatus() & STATUS_ACCEPT) != 0) answer.swap(received);
            return true;
        }
    }
    return true;
}

bool Sync::sendAck(const ORVEX::IPAddress& to, const Send& request, MessageID expect, Receive& answer,
                   ORVEX::Clock window) {
    return sendAck(mainSocket, to, request, expect, answer, window);
}

bool Sync::setSink(const ORVEX::IPAddress& sink, ORVEX::Clock hostLatency, bool wake) {
    Receive answer;
    if (wake) {
        // A sink that holds a stop window for this host ends it on receipt and
        // answers, any other echoes the request; the answer is not used.
        if (!sendAck(sink, Send(NOPBREAK_REQ, STATUS_NONE, std::uint64_t{0}), NOPBREAK_ANS, answer, AnswerWindow)) {
            return false;
        }
    }
    if (!inquirySupportFormat(sink)) return false;
    if (!inquiryParameter(sink, getNoneBaseMin(), getFrameMax())) return false;

    if (!sendAck(sink, Send(LATENCY_REQ, STATUS_NONE, std::uint64_t{0}), LATENCY_ANS, answer, AnswerWindow) ||
        answer.empty()) {
        return false;
    }
    hwLatency = answer.getOption1();
    const auto requested = static_cast<std::uint16_t>(hostLatency.picoseconds() / 100000000ULL);
    if (requested == 0) {
        latency = answer.getOption0();
        LEVEL_INFO << "LATENCY_REQ hw=" << hwLatency * 100u << "us latency=" << latency * 100u << "us";
    } else {
        if (!sendAck(sink, Send(LATENCY_REQ, STATUS_NONE, requested, 0, 0, 0), LATENCY_ANS, answer,
                     AnswerWindow) ||
            answer.empty()) {
            return false;
        }
        latency = answer.getOption0();
        LEVEL_INFO << "LATENCY_REQ hw=" << hwLatency * 100u << "us request=" << requested * 100u
                   << "us latency=" << latency * 100u << "us";
    }

    const bool answered =
        sendAck(sink, Send(DATASIZE_REQ, STATUS_NONE, std::uint64_t{0}), DATASIZE_ANS, answer, AnswerWindow) &&
        !answer.empty();
    if (answered) {
        LEVEL_INFO << "DATASIZE_REQ mtu=" << static_cast<unsigned>(answer.getOption0())
                   << " max=" << static_cast<unsigned>(answer.getOption1());
    }
    // No answer, or one whose datagram size has no meaning: the defaults.
    if (!answered || !setPackSize(answer.getOption0(), answer.getOption1())) {
        packDataSize = 1428;
        packDataCount = 10;
    }

    sinkAddress = sink;
    {
        std::lock_guard<std::mutex> lock(debugMutex);
        debugAddress = sink;
        debugAddress.set_port(TargetPort);
    }
    debugRequest = true;
    if (SysLogZarnith::zarnith_log > 5) std::this_thread::sleep_for(std::chrono::milliseconds(110));
    return true;
}

bool Sync::inquirySupportFormat(const ORVEX::IPAddress& sink) {
    Receive answer;
    auto ask = [&](std::uint64_t option, FormatSupport& mask) {
        if (!sendAck(sink, Send(FORMAT_REQ, STATUS_NONE, option), FORMAT_ANS, answer, AnswerWindow) ||
            answer.empty()) {
            return false;
        }
        mask = FormatSupport(answer.getOption());
        return true;
    };
    FormatSupport summary;
    if (!ask(0, summary) || static_cast<std::uint64_t>(summary) == 0) return false;
    const std::uint64_t b = summary;
    if ((b & 0xFF00) != 0) {
        if (!ask(b & 0xFF00, sincSupportPCM)) return false;
    } else {
        sincSupportPCM = 0;
    }
    if ((b & 0xF0000) == 0) {
        sincSupportDSDlsb = 0;
        sincSupportDSDmsb = 0;
        return static_cast<std::uint64_t>(sincSupportPCM) != 0;
    }
    if ((b & DSD_LSB) != 0) {
        if (!ask(DSD_LSB, sincSupportDSDlsb)) return false;
    } else {
        sincSupportDSDlsb = 0;
    }
    if ((b & DSD_MSB) != 0) {
        if (!ask(DSD_MSB, sincSupportDSDmsb)) return false;
    } else {
        sincSupportDSDmsb = 0;
    }
    return static_cast<std::uint64_t>(sincSupportPCM) != 0 || static_cast<std::uint64_t>(sincSupportDSDlsb) != 0 ||
           static_cast<std::uint64_t>(sincSupportDSDmsb) != 0;
}

bool Sync::inquiryParameter(const ORVEX::IPAddress& sink, unsigned int baseMin, unsigned int frameMax) {
    Receive answer;
    if (!sendAck(sink, Send(PARAMETER_REQ, STATUS_NONE, static_cast<std::uint64_t>(sendFormat)), PARAMETER_ANS,
                 answer, AnswerWindow)) {
        return false;
    }
    if (!answer.empty()) {
        (void)profileMaker.setParameter(answer.getOption0(), answer.getOption1(),
                                        static_cast<ProfileID>(answer.getOption2()), baseMin, frameMax);
    } else {
        (void)profileMaker.setParameter(0, 0, static_cast<ProfileID>(0), baseMin, frameMax);
    }
    return true;
}

bool Sync::connectPrepare() {
    const FormatPreConfigure pre(sendFormat, latency);
    Receive answer;
    if (!sendAck(sinkAddress, Send(CONNECTPRE_REQ, STATUS_NONE, static_cast<std::uint64_t>(pre)), CONNECTPRE_ANS,
                 answer, PrepareWindow)) {
        LEVEL_ERROR << "wth CR send err";
        state.reset();
        return false;
    }
    if (answer.empty()) return true;
    LEVEL_INFO << "CONNECTPRE_REQ latency="
               << static_cast<unsigned>(FormatPreConfigure(answer.getOption()).getLatency()) * 100u << "us";
    SendBuffer name;
    name.set(CLIENTNAME_SET, STATUS_ACCEPT, hostTag);
    name.set_str(hostName);
    name.update();
    return sendAck(sinkAddress, name, CLIENTNAME_ANS, answer, AnswerWindow);
}

bool Sync::mtuTest(const ORVEX::IPAddress& to, unsigned short& size) {
    const auto n = static_cast<std::uint16_t>(size - 64);
    SendBuffer probe;
    probe.set(DATASIZE_REQ, STATUS_NONE, 0, 0, 0, 0);
    probe.resize(n);
    // A size below the headers wraps to more than a message holds: the
    // payload is what resize made room for, never more.
    const std::uint64_t room = probe.size_data();
    std::uint8_t* payload = probe.get_data();
    std::uint16_t sum = 0;
    for (std::uint64_t i = 0; i < room; ++i) {
        payload[i] = static_cast<std::uint8_t>(i + 122);
        sum = static_cast<std::uint16_t>(sum + payload[i]);
    }
    probe.update();
    size = 0;
    Receive answer;
    const bool ok = sendAck(to, probe, DATASIZE_ANS, answer, AnswerWindow);
    if (ok && !answer.empty() && answer.getOption3() == sum) {
        size = static_cast<unsigned short>(answer.getOption2() + 64);
    }
    return ok;
}

bool Sync::mtuTest(unsigned short& size) { return mtuTest(sinkAddress, size); }

bool Sync::is_active() {
    Receive answer;
    return sendAck(sinkAddress, Send(FORMAT_REQ, STATUS_NONE, std::uint64_t{0}), FORMAT_ANS, answer, AnswerWindow) &&
           !answer.empty();
}

void Sync::thread_debug_func() {
    const int mode = threadMode.load();
    if ((mode & OCCUPIED) != 0 && cpuOther != -1 && cpuOtherCount > 0) {
        const std::list<ORVEX::ThreadPriority::Cpus> cpus{
            {static_cast<std::uint16_t>(cpuOther), static_cast<std::uint16_t>(cpuOtherCount)}};
        if (ORVEX::ThreadPriority::setCpuThread(ORVEX::ThreadPriority::getSelfThreadID(), cpus)) {
            LEVEL_INFO << "Debug Thread CPU set " << cpuOther << "," << cpuOtherCount;
        } else {
            LEVEL_WARNING << "Debug Thread CPU set error " << cpuOther << "," << cpuOtherCount;
        }
    }
    (void)ORVEX::ThreadPriority::setPriority(ORVEX::ThreadPriority::getSelfThreadID(), ORVEX::ThreadPriority::IDLE);

    Receive received;
    Receive answer;
    ORVEX::IPAddress from;
    std::string line;
    ORVEX::IPAddress target;
    auto currentTarget = [&] {
        std::lock_guard<std::mutex> lock(debugMutex);
        target = debugAddress;
    };
    currentTarget();
    while (!closing.load()) {
        if (debugRequest.exchange(false)) {
            currentTarget();
            const std::uint16_t on = SysLogZarnith::zarnith_log > 5 ? 1 : 0;
            (void)sendAck(debugSocket, target, Send(HOSTDEBUG_REQ, STATUS_NONE, on, 0, 0, 0), HOSTDEBUG_ANS, answer,
                          AnswerWindow);
        }
        const ORVEX::WaitResult ready = debugSocket.wait(RelayWait);
        if (ready == ORVEX::WaitResult::Error || closing.load()) break;
        if (ready == ORVEX::WaitResult::TimeOut) continue;
        if (!debugSocket.receiveFromV6(received, from)) break;
        if (received.empty() || !received) continue;
        // Forwarded lines are taken only from the target the request went to.
        if (!sameSource(from, target, debugSocket.bindIfIndex)) continue;
        if (received.getMessage() != HOSTDEBUG_ANS || received.getOption0() != 2) continue;
        received.get_str(line);
        LEVEL_INFO << "Target: " << line;
    }
    debugRunning = false;
}

}  // namespace ZARNITH
