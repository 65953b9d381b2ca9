// Sink control exchange: one poll step on the application thread answers the
// requests on the control port, keeps the registration with the local target
// endpoint and expires the stop windows.
#include <cerrno>
#include <chrono>
#include <thread>

#include "foundation/SysLog.h"
#include "protocol/LittleEndian.h"
#include "protocol/Receive.h"
#include "sink/Sink.h"

namespace ZARNITH {

using namespace ORVEX::SysLog;

namespace {

// The pre-format announcement last accepted, shared by every sink of the
// process (control steps of all sinks run on one application thread).
struct PreConnect {
    ORVEX::IPAddress client;  // set when its address or port is non-zero
    std::uint64_t format = 0;

    bool isSet() const { return !client.is_zero() || client.port != 0; }
};

PreConnect& preConnect() {
    static PreConnect value;
    return value;
}

}  // namespace

// `previous` is the registration time read before the status: when the
// stream thread asks for a registration meanwhile (a connection ended), its
// request stands and the next step registers the new status.
bool Sink::sendRegistration(ORVEX::Clock now, std::uint64_t previous) {
    SendBuffer message;
    message.set(PORTREGIST_SET, base(), config_.portId, 0, 0, 1);
    message.set_str(config_.name);
    message.update();
    if (!controlSocket_.sendToV6(message, ORVEX::IPAddress::loopback(TargetPort), true)) {
        LEVEL_ERROR << "UDP control send error " << __LINE__ << ":" << controlSocket_.lastError;
        return false;
    }
    (void)lastRegistration_.compare_exchange_strong(previous, now.picoseconds());
    return true;
}

bool Sink::answer(const Send& message, const ORVEX::IPAddress& to) {
    if (controlSocket_.sendToV6(message, to, requestDestination_, true)) return true;
    LEVEL_ERROR << "UDP control send error " << __LINE__ << ":" << controlSocket_.lastError;
    return false;
}

bool Sink::isOwnEndpoint(const ORVEX::IPAddress& address) const {
    const std::uint16_t port = address.get_port();
    if (port != controlPort_ && port != streamPort_.load() && (port == 0 || port != msPort_.load())) return false;
    return address.is_loopback() || ownAddresses_.count(address.address) != 0;
}

bool Sink::echo(const Receive& request, const ORVEX::IPAddress& from) {
    if (isOwnEndpoint(from)) {
        LEVEL_DEBUG << "echo to own port dropped:" << static_cast<unsigned>(request.getMessage());
        return true;
    }
    if (!echoLimiter_.allow(from, ORVEX::Clock::now())) {
        LEVEL_DEBUG << "echo rate limit:" << static_cast<unsigned>(request.getMessage()) << " " << from;
        return true;
    }
    return answer(Send(request.getMessage(), STATUS_NONE), from);
}

bool Sink::controlLoop() {
    if (!controlSocket_.is_open()) return false;  // not opened, or closed
    const ORVEX::Clock now = ORVEX::Clock::now();

    // 1. Registration with the local target endpoint.
    const std::uint64_t registered = lastRegistration_.load();
    if ((now - ORVEX::Clock(registered)).Comp(RegistrationPeriod) >= 0) {
        if (!sendRegistration(now, registered)) return false;
    }
    // 2. Stop-window expiry.
    stopWindows_.expire(now);

    // 3. and 4. One datagram, if the waiter saw one.
    if (!waiter_.check(controlSocket_)) return running_;
    Receive request;
    ORVEX::IPAddress from;
    if (!controlSocket_.receiveFromV6(request, from, requestDestination_)) {
        const int error = errno;
        if (error == ECONNREFUSED) {
            // An earlier datagram found no listener (a missing local target).
            LEVEL_DEBUG << "UDP control refused " << __LINE__;
            return running_;
        }
        LEVEL_ERROR << "UDP control receive error " << __LINE__ << ":" << error;
        return false;
    }
    if (request.empty() || !request) return running_;

    // 5. Stop windows.
    if (!stopWindows_.empty() && stopWindows_.holds(from)) {
        if (request.getMessage() == NOPBREAK_REQ) {
            stopWindows_.remove(from);
            LEVEL_INFO << "Nop BREAK Sink";
            if (!answer(Send(NOPBREAK_ANS, static_cast<StatusID>(statusWith(STATUS_ACCEPT))), from)) return false;
            return running_;
        }
        if (!echo(request, from)) return false;
        return running_;
    }

    // 6. and 7. Dispatch.
    const MessageID id = request.getMessage();
    LEVEL_DEBUG << "Socket Receive udp_cont:" << static_cast<unsigned>(id);
    bool ok = true;
    switch (id) {
        case FORMAT_REQ: ok = handleFormat(request, from); break;
        case LATENCY_REQ: ok = handleLatency(request, from); break;
        case CONNECT_REQ:
        case CONNECTMS_REQ: ok = handleConnect(request, from); break;
        case DATASIZE_REQ: ok = handleDataSize(request, from); break;
        case CONNECTPRE_REQ: ok = handleConnectPre(request, from); break;
        case PARAMETER_REQ: ok = handleParameter(from); break;
        case CLIENTNAME_SET: ok = handleClientName(request, from); break;
        case SINKUNIT_REQ: ok = handleSinkUnit(request, from); break;
        case SINKVALUE_REQ: ok = handleSinkValue(request, from); break;
        case SINKICON_REQ: ok = handleSinkIcon(request, from); break;
        case SYNCHROINFO_REQ: ok = handleSynchroInfo(from); break;
        case CLOCKTABLE_SET: handleClockTable(request, from); break;
        default: ok = echo(request, from); break;
    }
    if (!ok) return false;
    return running_;
}

bool Sink::handleFormat(const Receive& request, const ORVEX::IPAddress& from) {
    FormatID format = static_cast<FormatID>(request.getOption());
    if (!checkFormat(format)) {
        LEVEL_ERROR << "canFormat error";
        return false;
    }
    return answer(Send(FORMAT_ANS, static_cast<StatusID>(statusWith(STATUS_ACCEPT)), static_cast<std::uint64_t>(format)),
                  from);
}

bool Sink::handleLatency(const Receive& request, const ORVEX::IPAddress& from) {
    std::uint16_t a = request.getOption0();
    std::uint16_t b = request.getOption1();
    std::uint16_t c = request.getOption2();
    getLatency(c, b, a);
    return answer(Send(LATENCY_ANS, static_cast<StatusID>(statusWith(STATUS_ACCEPT)), a, b, c, 0), from);
}

bool Sink::handleDataSize(const Receive& request, const ORVEX::IPAddress& from) {
    // The payload is bounded by the bytes received (the validity test).
    const ORVEX::BufferCS_const payload = request.get_data_CS();
    std::uint16_t sum = 0;
    for (std::uint64_t i = 0; i < payload.size; ++i) sum = static_cast<std::uint16_t>(sum + payload.data[i]);
    return answer(Send(DATASIZE_ANS, STATUS_ACCEPT, config_.mtu, config_.dataMax,
                       static_cast<std::uint16_t>(payload.size), sum),
                  from);
}

bool Sink::handleParameter(const ORVEX::IPAddress& from) {
    return answer(Send(PARAMETER_ANS, STATUS_ACCEPT, config_.cycleMin, config_.cycleMax, config_.profileFlags, 0),
                  from);
}

// Waits while a disconnect is under way, or while the stream thread has not
// yet come back to its idle wait from the last connection. False when the
// sink stops meanwhile.
bool Sink::waitWhileDisconnecting() {
    while (handOver_.mustWait()) {
        if (!running_) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool Sink::handleConnectPre(const Receive& request, const ORVEX::IPAddress& from) {
    if (!waitWhileDisconnecting()) return false;
    if (handOver_.connection() != StreamHandOver::IDLE) return answer(Send(CONNECTPRE_ANS, base()), from);

    PreConnect& pre = preConnect();
    const std::uint64_t announced = request.getOption();
    FormatPreConfigure proposal(announced);
    if (proposal.word != pre.format) {
        if (!prepareFormat(proposal)) {
            LEVEL_ERROR << "setPrepareFormat1 error";
            return false;
        }
        pre.format = proposal.word;
    }
    pre.client = from;
    if (proposal.word == announced)
        return answer(Send(CONNECTPRE_ANS, static_cast<StatusID>(statusWith(STATUS_ACCEPT)), proposal.word), from);
    return answer(Send(CONNECTPRE_ANS, base(), proposal.word), from);
}

bool Sink::handleClientName(const Receive& request, const ORVEX::IPAddress& from) {
    if (from != preConnect().client) return answer(Send(CLIENTNAME_ANS, base()), from);
    request.get_str(clientName_);
    clientNameSender_ = from;
    return answer(Send(CLIENTNAME_ANS, static_cast<StatusID>(statusWith(STATUS_ACCEPT))), from);
}

void Sink::handleClockTable(const Receive& request, const ORVEX::IPAddress& from) {
    if (!from.is_loopback()) return;
    const ORVEX::BufferCS_const payload = request.get_data_CS();
    const std::uint64_t records = payload.size / ClockTable::RecordSize;
    const std::uint64_t stored = clockTable_.store(payload);
    if (stored < records)
        LEVEL_WARNING << "clock table full: " << static_cast<unsigned long>(records - stored)
                      << " records of new hosts dropped";
}

bool Sink::openMsSocket(std::uint16_t& port) {
    msSocket_.close();
    if (!msSocket_.open(ORVEX::Socket::TYPE_UDPV6)) {
        LEVEL_ERROR << "UDP ms open error:" << msSocket_.lastError;
        return false;
    }
    exclusivePort(msSocket_);
    ORVEX::IPAddress address = msBindAddress_;
    if (!msSocket_.bindV6(address, 1000)) {
        LEVEL_ERROR << "UDP ms bind error:" << msSocket_.lastError;
        msSocket_.close();
        return false;
    }
    msSocket_.setBlocking(false);
    msBindAddress_ = address;
    port = address.get_port();
    return true;
}

// A connect request as the handshake reads it: its answer's id, its mode
// and the format it asks for.
struct Sink::ConnectRequest {
    const Receive& request;
    const ORVEX::IPAddress& from;
    MessageID answerId;
    bool headerless;  // CONNECTMS_REQ
    FormatConfigure format;

    ConnectRequest(const Receive& r, const ORVEX::IPAddress& sender)
        : request(r),
          from(sender),
          answerId(static_cast<MessageID>(r.getMessage() + 1)),
          headerless(r.getMessage() == CONNECTMS_REQ),
          format(r.getOption()) {}
};

// A connect in the making, from the step into connecting until its answer has
// gone out. Left before that, it takes back what was made: the hand-over goes
// back to idle, and an application that consented gets its one disconnect
// notice. Application thread only.
class Sink::PendingConnect {
public:
    explicit PendingConnect(Sink& sink) : sink_(sink) {}
    PendingConnect(const PendingConnect&) = delete;
    PendingConnect& operator=(const PendingConnect&) = delete;
    ~PendingConnect();

    // Into connecting; false when no stream thread waits for a connection.
    [[nodiscard]] bool begin() { return reach(sink_.handOver_.beginConnect(), Stage::Connecting); }
    // The application took the connection.
    void consented() { stage_ = Stage::Consented; }
    // The stream thread's to take; false when the thread ended meanwhile.
    [[nodiscard]] bool handOver() { return reach(sink_.handOver_.handOver(), Stage::HandedOver); }
    // The sender has its answer: the connection stands.
    void commit() { stage_ = Stage::Committed; }

private:
    enum class Stage { None, Connecting, Consented, HandedOver, Committed };

    bool reach(bool moved, Stage stage) {
        if (moved) stage_ = stage;
        return moved;
    }

    Sink& sink_;
    Stage stage_ = Stage::None;
};

Sink::PendingConnect::~PendingConnect() {
    switch (stage_) {
        case Stage::None:
        case Stage::Committed: return;
        case Stage::Connecting: sink_.handOver_.dropConnecting(); return;
        case Stage::Consented:
            // The stream thread ended before it was handed the connection.
            sink_.handOver_.dropConnecting();
            sink_.noticeLocalEnd();
            return;
        case Stage::HandedOver: sink_.withdrawConnection(); return;
    }
}

// The sender never learns of the connection: take it back, quietly for the
// stream thread, with the one disconnect notice the application is owed.
void Sink::withdrawConnection() {
    const StreamHandOver::Withdrawn withdrawn = handOver_.withdraw();
    eventUpdate();
    // Let the stream thread leave the data phase first, so that the
    // application never sees its disconnect notice beside a delivery.
    while (handOver_.streaming()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (withdrawn != StreamHandOver::Withdrawn::AlreadyEnded) noticeLocalEnd();
}

bool Sink::handleConnect(const Receive& request, const ORVEX::IPAddress& from) {
    const ConnectRequest connect(request, from);
    ConnectStep step = checkPreConnect(connect);                        // 1. and 2.
    if (step == ConnectStep::Next) step = checkConnectable();           // 3. to 5.
    if (step == ConnectStep::Next) step = checkConnectFormat(connect);  // 6. to 8.
    if (step == ConnectStep::Next) step = makeConnection(connect);      // 9. to 15.
    switch (step) {
        case ConnectStep::Next: break;
        case ConnectStep::NoStreamThread:
            LEVEL_NOTICE << "connect refused: stream thread not running";
            [[fallthrough]];
        case ConnectStep::Refused: return answer(Send(connect.answerId, base()), from);
        case ConnectStep::Failed: return false;
    }
    // 16. The next step registers the new status.
    eventUpdate();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    LEVEL_NOTICE << "Connect";
    lastRegistration_ = (ORVEX::Clock::now() - RegistrationPeriod).picoseconds();
    return true;
}

// The pre-client and pre-format rules.
Sink::ConnectStep Sink::checkPreConnect(const ConnectRequest& connect) {
    PreConnect& pre = preConnect();
    if (pre.isSet()) {
        if (pre.client != connect.from) return ConnectStep::Refused;
        if (FormatPreConfigure(pre.format) == connect.format) return ConnectStep::Next;
    }
    FormatPreConfigure proposal(connect.format, 0);
    if (proposal.word == pre.format) return ConnectStep::Next;
    const std::uint64_t asked = proposal.word;
    if (!prepareFormat(proposal)) {
        LEVEL_ERROR << "setPrepareFormat2 error";
        return ConnectStep::Failed;
    }
    pre.format = proposal.word;
    if (proposal.word != asked) {
        LEVEL_NOTICE << "format noconfirm connect 0";
        return ConnectStep::Refused;
    }
    return ConnectStep::Next;
}

// Only an idle sink with a running stream thread takes a connection; the
// pre-client is spent on it, whatever comes of it.
Sink::ConnectStep Sink::checkConnectable() {
    if (!waitWhileDisconnecting()) return ConnectStep::Failed;
    if (handOver_.connection() != StreamHandOver::IDLE) return ConnectStep::Refused;
    if (!running_ || !handOver_.threadReady()) return ConnectStep::NoStreamThread;
    preConnect().client = ORVEX::IPAddress();
    return ConnectStep::Next;
}

// The format: valid, kept whole by checkFormat, taken unchanged by changeFormat.
Sink::ConnectStep Sink::checkConnectFormat(const ConnectRequest& connect) {
    const FormatConfigure& format = connect.format;
    if (!format.isValid()) {
        LEVEL_NOTICE << "format invalid connect";
        return ConnectStep::Refused;
    }
    startTime_ = 0;
    currentFormat_ = format.word;
    FormatID granted = format.word;
    if (!checkFormat(granted)) {
        LEVEL_NOTICE << "format noconfirm connect 1";
        return ConnectStep::Refused;
    }
    if ((static_cast<std::uint64_t>(granted) & format.word) != format.word) {
        LEVEL_NOTICE << "format noconfirm connect 2";
        return ConnectStep::Refused;
    }
    FormatConfigure changed = format;
    if (!changeFormat(changed)) {
        LEVEL_ERROR << "setFormat error";
        return ConnectStep::Failed;
    }
    if (changed.word != format.word) {
        LEVEL_NOTICE << "format noconfirm connect 3";
        return ConnectStep::Refused;
    }
    return ConnectStep::Next;
}

// The connection, made and handed to the stream thread; whatever ends it
// before its answer has gone out is taken back by `pending`.
Sink::ConnectStep Sink::makeConnection(const ConnectRequest& connect) {
    // 9. and 10. Where the connection's datagrams go; the header-less port.
    {
        std::lock_guard<std::mutex> lock(connectionMutex_);
        connection_ = ConnectionRecord{connect.from, requestDestination_, connect.headerless};
    }
    std::uint16_t msPort = 0;
    if (connect.headerless && !openMsSocket(msPort)) return ConnectStep::Failed;
    msPort_ = msPort;
    acceptedMessages_ = 0;
    resendRequests_ = 0;
    endCause_ = EndCause::None;

    // 11. Connecting: the status is playing from here on.
    PendingConnect pending(*this);
    if (!pending.begin()) return ConnectStep::NoStreamThread;
    eventUpdate();
    LEVEL_DEBUG << "do connect";

    // 12. The application's consent.
    if (!connectStream(clientNameSender_ == connect.from ? clientName_ : std::string())) {
        LEVEL_NOTICE << "er1 coneSct";
        return ConnectStep::Failed;
    }
    pending.consented();

    // 13. and 14. Connected: the stream thread starts its data phase.
    startTime_ = startTimeOf(connect).picoseconds();
    if (!pending.handOver()) return ConnectStep::NoStreamThread;
    // 15. An answer that cannot be sent leaves the connection to `pending`.
    if (!answer(Send(connect.answerId, static_cast<StatusID>(statusWith(STATUS_ACCEPT)), streamPort_.load(), msPort,
                     0, 0),
                connect.from))
        return ConnectStep::Failed;
    pending.commit();
    return ConnectStep::Next;
}

// The sender's start time in the local clock: a header-less connect may carry
// it in its first 8 payload bytes; 0 when there is none.
ORVEX::Clock Sink::startTimeOf(const ConnectRequest& connect) {
    if (!connect.headerless) return ORVEX::Clock();
    const ORVEX::BufferCS_const payload = connect.request.get_data_CS();
    if (payload.size < 8) return ORVEX::Clock();
    const std::uint64_t remote = readU64LE(payload.data);
    if (remote == 0) return ORVEX::Clock();
    ORVEX::IPAddress host = connect.from;
    host.port = 0;
    return YouToMy(host, ORVEX::Clock(remote));
}

}  // namespace ZARNITH
