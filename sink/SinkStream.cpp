// Sink stream receiver: the real-time stream thread waits idle until the
// control step has connected a sender, then takes that sender's data
// datagrams in sequence order, asks for missing ones, sends the prepared rate
// reports and ends the connection on a disconnect request, a local stop, a
// control-side abort or 500 ms without data. A header-less ("MS") connection
// adds one receive thread for the data port.
#include <cerrno>
#include <chrono>
#include <thread>

#include "foundation/SysLog.h"
#include "foundation/ThreadPriority.h"
#include "sink/ReceiveFailures.h"
#include "sink/Sink.h"
#include "sink/StreamRate.h"

namespace ZARNITH {

using namespace ORVEX::SysLog;

// Per-connection values, held by the stream thread and shared by reference
// with the MS thread.
struct Sink::Session {
    ORVEX::IPAddress peer;                // the connected sender; read-only during the connection
    bool headerless = false;              // read-only during the connection
    // Where the sender sends its stream to, and the sink's datagrams leave
    // from: the address its connect asked, then the destination of its last
    // datagram on the stream port. Stream thread only.
    ORVEX::IPAddress source;
    SequenceCheck sequence;               // the data-receiving thread only (stream or MS thread)
    std::atomic<std::uint64_t> lastAccepted{0};  // data-receiving thread writes, stream thread reads
    std::atomic<bool> connected{false};   // data-receiving thread writes, stream thread reads
    ORVEX::Clock longestGap;              // stream thread only
    std::uint16_t smallestLevel = 0xFFFF;  // data-receiving thread only
    StreamBuffer control;                 // stream thread's own buffer in header-less mode
    std::thread ms;                       // the MS thread; started and joined by the stream thread
    std::atomic<bool> msStop{false};      // stream thread sets, MS thread reads
    std::atomic<bool> msAlive{false};     // MS thread clears when it leaves, stream thread reads
};

// One data datagram as either mode receives it: its sequence number (all 16
// bits, or the 7 of a header-less trailer) and its verdict, where its payload
// lies and what it asks for.
struct Sink::Arrival {
    SequenceCheck::Verdict verdict;
    std::uint16_t sequence;
    StreamBuffer& buffer;  // the payload is [offset, offset + size) of it
    std::uint64_t offset;
    std::uint64_t size;
    bool reportWanted;
    bool cycleEnd;
    const ORVEX::IPAddress& source;  // where the sink's datagrams leave from
};

// The log texts of one mode's delivery.
struct Sink::DeliveryTexts {
    const char* countError;  // a resend request
    const char* refused;     // doneStream said no
    const char* stopped;     // the sink was stopped by an error

    static const DeliveryTexts Plain;
    static const DeliveryTexts Headerless;
};

const Sink::DeliveryTexts Sink::DeliveryTexts::Plain{"STREAM count error ", "er3 dissconect", "streamWorker err exit"};
const Sink::DeliveryTexts Sink::DeliveryTexts::Headerless{"MS count error ", "MS er3 dissconect",
                                                          "MS  streamWorker err exit"};

void Sink::notify() {
    if (!handOver_.abandoned()) {
        eventUpdate();
        return;
    }
    Sink::eventUpdate();
}

Sink::StreamBuffer* Sink::streamBuffer() { return handOver_.abandoned() ? &defaultBuffer_ : getStream(); }

void Sink::thread_stream_func() {
    if (!ORVEX::ThreadPriority::setPriority(ORVEX::ThreadPriority::getSelfThreadID(),
                                            ORVEX::ThreadPriority::CRITICAL)) {
        LEVEL_NOTICE << "ThreadPriority Err ";
        running_ = false;
        endThread();
        return;
    }
    while (running_) {
        const bool ok = streamWorker();
        if (!ok) {
            LEVEL_NOTICE << "worker_str error";
            running_ = false;
            break;
        }
        handOver_.backToIdle();
    }
    endThread();
}

// Whatever ends the thread, no connection is left behind: one handed over
// and never taken gets its disconnect notice here.
void Sink::endThread() {
    if (handOver_.ended() && !handOver_.abandoned()) noticeLocalEnd();
    lastRegistration_ = (ORVEX::Clock::now() - RegistrationPeriod).picoseconds();
}

bool Sink::streamWorker() {
    LEVEL_DEBUG << "wt start";
    localStop_ = false;
    ORVEX::Socket::Waiter streamWaiter;
    streamWaiter.set(streamSocket_);
    switch (idlePhase(streamWaiter)) {
        case IdleResult::Fatal: return false;
        case IdleResult::Stop: return true;
        case IdleResult::Connected: break;
    }
    return dataPhase(streamWaiter);
}

Sink::IdleResult Sink::idlePhase(ORVEX::Socket::Waiter& streamWaiter) {
    StreamBuffer idleBuffer;
    ReceiveFailures failures("UDP stream receive error ");
    while (running_) {
        if (localStop_) return IdleResult::Stop;
        {
            std::unique_lock<std::mutex> lock(stateMutex_);
            stateCondition_.wait_for(lock, std::chrono::milliseconds(1), [this] {
                return handOver_.connection() == StreamHandOver::CONNECTED || !running_;
            });
        }
        if (!running_) break;
        const StreamHandOver::Connection connection = handOver_.connection();
        if (connection == StreamHandOver::CONNECTED) {
            // Taken in one step with the control step's hand-over, so that a
            // connection it takes back is never begun here.
            if (handOver_.take()) return IdleResult::Connected;
            continue;
        }
        if (connection != StreamHandOver::IDLE) continue;  // connecting: the socket is left to the new connection

        const ORVEX::WaitResult ready = streamWaiter.wait(ORVEX::Clock());
        if (ready == ORVEX::WaitResult::Error) {
            const int cause = errno;
            LEVEL_ERROR << "UDP stream wait error " << __LINE__ << ":" << cause;
            return IdleResult::Fatal;
        }
        if (ready != ORVEX::WaitResult::Ready || !streamWaiter.check(streamSocket_)) continue;
        ORVEX::IPAddress from;
        ORVEX::IPAddress local;
        if (!streamSocket_.receiveFromV6(idleBuffer.buffer, from, local)) {
            if (failures.broken(__LINE__)) return IdleResult::Fatal;
            continue;
        }
        failures.reset();
        if (idleBuffer.buffer.empty()) continue;
        // A late disconnect request of the previous connection is answered.
        StreamDatagram message;
        if (from == lastStreamPeer_ && message.parse(idleBuffer.buffer) && message.id == DSICONNECT_REQ)
            (void)sendStream(Send(DSICONNECT_ANS, base()), from, local);  // a lost answer is a lost datagram (logged)
    }
    // `running` cleared: by close() the thread just ends, otherwise it fails.
    return handOver_.closingCleanly() ? IdleResult::Stop : IdleResult::Fatal;
}

bool Sink::dataPhase(ORVEX::Socket::Waiter& streamWaiter) {
    Session session;
    {
        std::lock_guard<std::mutex> lock(connectionMutex_);
        session.peer = connection_.peer;
        session.source = connection_.local;
        session.headerless = connection_.headerless;
    }
    lastStreamPeer_ = session.peer;
    rateCode_ = StreamRate::None;
    const ORVEX::Clock start = ORVEX::Clock::now();
    session.lastAccepted = start.picoseconds();
    session.sequence.reset(start);

    LEVEL_DEBUG << "do start";
    if (!handOver_.abandoned()) startStream(ORVEX::Clock(startTime_.load()));
    notify();
    if (session.headerless && msSocket_.is_open()) {
        session.msStop = false;
        session.msAlive = true;
        session.ms = std::thread([this, &session] { msThreadBody(session); });
    }

    const bool result = dataLoop(session, streamWaiter);
    stopMs(session);
    return result;
}

bool Sink::dataLoop(Session& session, ORVEX::Socket::Waiter& streamWaiter) {
    ReceiveFailures failures("UDP stream receive error ");
    for (;;) {
        if (handOver_.connection() == StreamHandOver::IDLE) {
            // The control step took the connection back (its answer could not
            // be sent); it gives the disconnect notice itself.
            LEVEL_NOTICE << "connect aborted";
            return true;
        }
        if (localStop_) {
            LEVEL_NOTICE << "DisConnect Pre local";
            return endConnection(session, EndCause::Local, "DisConnect Request local", true);
        }
        if (!running_) {
            // close(): the connection ends here and the sender is told; only
            // a failing disconnect notice makes it an error.
            if (handOver_.closingCleanly()) return endConnection(session, EndCause::Local, nullptr, true);
            LEVEL_NOTICE << "streamWorker err exit";
            endConnection(session, EndCause::Local, nullptr, true);
            return false;
        }
        if (session.headerless && !session.msAlive) {
            endConnection(session, EndCause::Local, nullptr, true);
            return false;
        }

        const ORVEX::WaitResult ready = streamWaiter.wait(DataWait);
        if (ready == ORVEX::WaitResult::Error) {
            const int cause = errno;
            LEVEL_ERROR << "UDP stream wait error " << __LINE__ << ":" << cause;
            endConnection(session, EndCause::Local, nullptr, false);
            return false;
        }
        const ORVEX::Clock now = ORVEX::Clock::now();
        const ORVEX::Clock last(session.lastAccepted.load());
        const ORVEX::Clock silent = now - last;
        if (session.connected && silent.Comp(session.longestGap) > 0) {
            session.longestGap = silent;
            LEVEL_DEBUG << "max betweenTime " << static_cast<unsigned long>(silent.toMicroseconds());
        }
        if (silent.Comp(DataTimeout) >= 0) {
            LEVEL_NOTICE << "DisConnect Timeout " << static_cast<unsigned long>(last.toMicroseconds()) << " "
                         << static_cast<unsigned long>(now.toMicroseconds()) << " "
                         << static_cast<unsigned long>(silent.toMicroseconds());
            return endConnection(session, EndCause::Timeout, nullptr, false);
        }
        if (ready != ORVEX::WaitResult::Ready || !streamWaiter.check(streamSocket_)) continue;

        StreamBuffer* target = session.headerless ? &session.control : streamBuffer();
        ORVEX::IPAddress from;
        ORVEX::IPAddress local;
        if (!streamSocket_.receiveFromV6(target->buffer, from, local)) {
            if (failures.broken(__LINE__)) {
                endConnection(session, EndCause::Local, nullptr, false);
                return false;
            }
            continue;
        }
        failures.reset();
        if (target->buffer.empty()) continue;  // nothing waiting, or a zero-length datagram
        if (from != session.peer) {
            LEVEL_DEBUG << "udp_str from other peer dropped " << from;
            continue;
        }
        if (!local.is_zero()) session.source = local;
        StreamDatagram message;
        if (!message.parse(target->buffer)) continue;

        if (message.id == DSICONNECT_REQ) {
            LEVEL_NOTICE << "DisConnect Pre";
            return endConnection(session, EndCause::Request, "DisConnect Request", true);
        }
        if (message.id == STREAMECHO_REQ) {
            (void)sendStream(Send(STREAMECHO_ANS, base()), session.peer, session.source);  // lost: logged, asked again
            continue;
        }
        if (session.headerless || message.id != STREAMDATA_SET) {
            LEVEL_NOTICE << "Socket Receive udp_str:" << static_cast<unsigned>(message.id);
            continue;
        }
        if (!handleData(session, message, *target, now)) return false;
    }
}

// The plain mode's data datagram.
bool Sink::handleData(Session& session, const StreamDatagram& message, StreamBuffer& buffer, ORVEX::Clock now) {
    const Arrival arrival{.verdict = session.sequence.check(message.option0),
                          .sequence = message.option0,
                          .buffer = buffer,
                          .offset = StreamDatagram::HeaderSize,
                          .size = message.payloadSize,
                          .reportWanted = (message.status & STATUS_REPORT) != 0,
                          .cycleEnd = (message.status & STATUS_CYCLEEND) != 0,
                          .source = session.source};
    switch (deliver(session, arrival, DeliveryTexts::Plain, now)) {
        case Delivery::Kept: return true;
        case Delivery::Refused: endConnection(session, EndCause::Local, nullptr, false); return false;
        case Delivery::Stopped: endConnection(session, EndCause::Local, nullptr, true); return false;
    }
    return false;
}

// The in-order rule and the hand-over to the application, for both modes: an
// in-order datagram goes to doneStream, then the prepared rate report goes
// out; a gap asks for a resend; an old datagram is dropped.
Sink::Delivery Sink::deliver(Session& session, const Arrival& arrival, const DeliveryTexts& texts, ORVEX::Clock now) {
    switch (arrival.verdict) {
        case SequenceCheck::Verdict::InOrder: break;
        case SequenceCheck::Verdict::Gap:
            sendResendRequest(session, arrival.sequence, now, texts.countError, arrival.source);
            return Delivery::Kept;
        case SequenceCheck::Verdict::Old: return Delivery::Kept;
    }
    session.sequence.accepted(now);
    ++acceptedMessages_;
    arrival.buffer.offset = arrival.offset;
    arrival.buffer.size = arrival.size;
    if (handOver_.abandoned() || !doneStream(arrival.reportWanted)) {
        LEVEL_NOTICE << texts.refused;
        return Delivery::Refused;
    }
    if (arrival.cycleEnd) notify();
    if (handOver_.connection() == StreamHandOver::CONNECTED) {
        (void)sendRateReport(session, arrival.source);  // a lost report is a lost datagram (logged)
        session.connected = true;
    }
    session.lastAccepted = now.picoseconds();
    if (!running_ && !handOver_.closingCleanly()) {
        LEVEL_NOTICE << texts.stopped;
        return Delivery::Stopped;
    }
    return Delivery::Kept;
}

void Sink::sendResendRequest(Session& session, std::uint16_t received, ORVEX::Clock now, const char* text,
                             const ORVEX::IPAddress& source) {
    if (!session.sequence.takeResendSlot(now)) return;
    const std::uint16_t expected = session.sequence.expected();
    if (sendStream(Send(STREAMREPORT_SET, static_cast<StatusID>(statusWith(STATUS_RESEND)), 0, expected, received, 0),
                   session.peer, source))
        ++resendRequests_;
    LEVEL_NOTICE << text << static_cast<unsigned>(expected) << "!=" << static_cast<unsigned>(received);
}

bool Sink::sendRateReport(Session& session, const ORVEX::IPAddress& source) {
    const std::uint16_t code = rateCode_.exchange(StreamRate::None);
    if (code == StreamRate::None) return true;
    const std::uint16_t current = rateCurrent_.load();
    const std::uint16_t target = rateTarget_.load();
    if (current < session.smallestLevel) {
        session.smallestLevel = current;
        LEVEL_DEBUG << "min bufferTime " << static_cast<unsigned>(current) << "  "
                    << static_cast<int>(target) - static_cast<int>(current);
    }
    return sendStream(
        Send(STREAMREPORT_SET, static_cast<StatusID>(statusWith(STATUS_REPORT | STATUS_ACCEPT)), code, current, target, 0),
        session.peer, source);
}

bool Sink::sendStream(const Send& message, const ORVEX::IPAddress& to, const ORVEX::IPAddress& source) {
    std::lock_guard<std::mutex> lock(streamSendMutex_);
    if (streamSocket_.sendToV6(message, to, source, true)) return true;
    // A lost report or answer is like a lost datagram: the sender asks again
    // or times out. Only the log tells.
    LEVEL_ERROR << "UDP stream send error " << __LINE__ << ":" << streamSocket_.lastError;
    return false;
}

bool Sink::endConnection(Session& session, EndCause cause, const char* text, bool answerSender) {
    stopMs(session);
    if (!handOver_.beginDisconnect()) {
        // The control step took the connection back and gives the notice.
        LEVEL_NOTICE << "connect aborted";
        return true;
    }
    notify();
    bool ok = true;
    endCause_ = cause;
    if (!handOver_.abandoned() && !preDisconnectSecond()) ok = disconnectStream();
    if (!ok) {
        LEVEL_ERROR << "disconnect error";
        // A lost answer is a lost datagram (logged): the sender times out.
        if (answerSender) (void)sendStream(Send(DSICONNECT_ANS, base()), session.peer, session.source);
        return false;
    }
    handOver_.disconnected();
    notify();
    if (text != nullptr) LEVEL_NOTICE << text;
    lastRegistration_ = (ORVEX::Clock::now() - RegistrationPeriod).picoseconds();
    // Tells the sender that the connection has ended (the answer to its
    // disconnect request, or unasked after a local end).
    if (answerSender) (void)sendStream(Send(DSICONNECT_ANS, base()), session.peer, session.source);  // lost: logged
    return true;
}

void Sink::stopMs(Session& session) {
    if (!session.ms.joinable()) return;
    session.msStop.exchange(true);
    // Wake the MS thread's wait with one byte to its own port.
    const ORVEX::IPAddress self = ORVEX::IPAddress::loopback(msPort_.load());
    const std::uint8_t wake = 0;
    // Unsent, the MS thread still sees the stop flag after its next wait.
    (void)msSocket_.sendToV6(ORVEX::BufferCS_const(&wake, 1), self, true);
    session.ms.join();
    msSocket_.close();
}

void Sink::msThreadBody(Session& session) {
    LEVEL_NOTICE << "MS mode start";
    ReceiveFailures failures("UDP MS receive error ");
    while (running_ && !session.msStop) {
        const ORVEX::WaitResult ready = msSocket_.wait(DataWait);
        if (ready == ORVEX::WaitResult::Error) {
            const int cause = errno;
            if (!session.msStop) LEVEL_ERROR << "UDP MS receive error " << __LINE__ << ":" << cause;
            break;
        }
        if (ready != ORVEX::WaitResult::Ready) continue;
        StreamBuffer* target = streamBuffer();
        ORVEX::IPAddress from;
        ORVEX::IPAddress local;  // where the sender sends its stream to: answers leave from there
        if (!msSocket_.receiveFromV6(target->buffer, from, local)) {
            if (session.msStop || failures.broken(__LINE__)) break;
            continue;
        }
        failures.reset();
        const std::uint64_t length = target->buffer.size();
        if (length == 0) continue;
        if (length == 1 && session.msStop) break;
        if (from != session.peer) continue;

        const std::uint8_t trailer = target->buffer[length - 1];
        const std::uint8_t sequence = trailer & 0x7F;
        const Arrival arrival{.verdict = session.sequence.check7(sequence),
                              .sequence = sequence,
                              .buffer = *target,
                              .offset = 0,
                              .size = length - 1,
                              .reportWanted = (trailer & 0x80) != 0,
                              .cycleEnd = false,
                              .source = local};
        if (deliver(session, arrival, DeliveryTexts::Headerless, ORVEX::Clock::now()) != Delivery::Kept) break;
    }
    session.msAlive.exchange(false);
}

}  // namespace ZARNITH
