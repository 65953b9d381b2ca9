// The receiving endpoint of a sending connection. An application derives from
// it, implements the virtual interface (format checks, latency, connect and
// disconnect notices, delivery of received audio, buffer level) and drives it:
// construct, open, then controlLoop() after every wake-up of its waiter. The
// sink runs its own real-time stream thread.
//
// Threads: the application thread (construction, open, close, controlLoop,
// setPhaseInvert, nop, stop, the configuration operations), the stream thread,
// and during a header-less ("MS") connection one extra receive thread.
//
// A derived class must call close() in its own destructor, so that the stream
// thread has ended before the derived members die; ClosingSink<App> does it.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "foundation/Buffer.h"
#include "foundation/Clock.h"
#include "foundation/IPAddress.h"
#include "foundation/Socket.h"
#include "protocol/EchoLimiter.h"
#include "protocol/FormatConfigure.h"
#include "protocol/FormatID.h"
#include "protocol/FormatPreConfigure.h"
#include "protocol/Send.h"
#include "protocol/StatusID.h"
#include "protocol/TargetPort.h"
#include "sink/ClockTable.h"
#include "sink/SequenceCheck.h"
#include "sink/SinkSetting.h"
#include "sink/StopWindows.h"
#include "sink/StreamDatagram.h"
#include "sink/StreamHandOver.h"

namespace ZARNITH {

class Receive;

class Sink {
public:
    using Setting = SinkSetting;

    // The record each stream datagram is received into; the payload lies at
    // [offset, offset + size) of `buffer` while doneStream runs.
    struct StreamBuffer {
        ORVEX::Buffer buffer;
        std::uint64_t offset = 0;
        std::uint64_t size = 0;
    };

    // Connection states.
    enum State : int {
        IDLE = StreamHandOver::IDLE,
        CONNECTING = StreamHandOver::CONNECTING,
        CONNECTED = StreamHandOver::CONNECTED,
        DISCONNECTING = StreamHandOver::DISCONNECTING
    };

    // Why the current (or last) connection ended.
    enum class EndCause : int { None = 0, Request, Timeout, Local };

    static constexpr std::uint16_t ReleaseNo = 142;
    static constexpr ORVEX::Clock RegistrationPeriod = ORVEX::Clock::fromSeconds(3);
    static constexpr ORVEX::Clock DataTimeout = ORVEX::Clock::fromMilliseconds(500);
    static constexpr ORVEX::Clock DataWait = ORVEX::Clock::fromMilliseconds(100);

    Sink(const Setting& setting, ORVEX::Socket::Waiter& waiter);
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    // Opens and binds both sockets (0 = the default ports of portId, falling
    // back to system-chosen ports) and starts the stream thread.
    [[nodiscard]] bool open(std::uint16_t& ctrlPort, std::uint16_t& streamPort);
    // Stops the stream thread (flag, wake, join), then closes the sockets.
    // Safe to call more than once; never from inside a callback.
    void close();

    // One control step on the application thread.
    bool controlLoop();
    void setPhaseInvert(bool invert);

    // Prepares the next rate report from the application's buffer level.
    bool updateStreamRate(std::uint64_t bytes);
    // Stops the sink after an error of the application.
    void errDisconnect();

    void nop(const ORVEX::IPAddress& host, std::uint16_t seconds, bool send);
    void stop(std::uint16_t seconds, bool send);
    ORVEX::Clock YouToMy(ORVEX::IPAddress host, ORVEX::Clock remote);

    bool _ConfigGet(std::uint16_t index, std::string& text, std::uint16_t& value);
    bool _ConfigSet(std::uint16_t index, const std::string& text, const std::uint16_t& value, bool toDefault);
    bool _ConfigFinale(bool commit, bool& changed);

    // Read-outs for applications and tests.
    std::uint16_t getBaseStatus() const { return static_cast<std::uint16_t>(base()); }
    int getState() const { return handOver_.connection(); }
    bool isRunning() const { return running_.load(); }
    bool isStreaming() const { return handOver_.streaming(); }
    std::uint16_t getControlPort() const { return controlPort_; }
    std::uint16_t getStreamPort() const { return streamPort_.load(); }
    FormatConfigure getCurrentFormat() const { return FormatConfigure(currentFormat_.load()); }
    const Setting& getSetting() const { return config_; }

    // ---- virtual interface, in slot order ----
    virtual bool startStreamWorker();
    virtual void getLatency(std::uint16_t& opt2, std::uint16_t& opt1, std::uint16_t& opt0) = 0;
    virtual bool checkFormat(FormatID& format) = 0;
    virtual bool prepareFormat(FormatPreConfigure& pre) = 0;
    virtual bool changeFormat(FormatConfigure& format) = 0;
    virtual bool connectStream(const std::string& clientName) = 0;
    virtual void startStream(ORVEX::Clock start) = 0;
    virtual bool disconnectStream() = 0;
    virtual bool preDisconnectSecond();
    virtual bool doneStream(bool reportWanted) = 0;
    virtual bool getStreamRate(std::uint16_t& current, std::uint16_t& target) = 0;
    virtual void eventUpdate();
    virtual StreamBuffer* getStream();
    virtual bool ConfigGet(std::uint16_t index, std::string& text, std::uint16_t& value);
    virtual bool ConfigSet(std::uint16_t index, const std::string& text, const std::uint16_t& value, bool toDefault);
    virtual bool ConfigFinale(bool commit, bool& changed);

protected:
    // Not virtual, and protected so that no one deletes an application through
    // a Sink pointer. Closes when the derived class did not (logged as an
    // error: the derived members are gone by now, so no callbacks are made).
    ~Sink();

    // The stream thread's body and one idle wait plus one connection.
    void thread_stream_func();
    bool streamWorker();

    // For the application's disconnectStream: why the connection ended, and
    // the counts of the connection (accepted data messages, resend requests).
    EndCause endCause() const { return endCause_.load(); }
    std::uint64_t acceptedMessages() const { return acceptedMessages_.load(); }
    std::uint64_t resendRequests() const { return resendRequests_.load(); }

private:
    struct Session;
    struct ConnectRequest;
    class PendingConnect;
    struct Arrival;
    struct DeliveryTexts;

    // What the control step hands to the stream thread with a connection.
    struct ConnectionRecord {
        ORVEX::IPAddress peer;   // the connected sender
        ORVEX::IPAddress local;  // the address it asked, where the sink's datagrams leave from
        bool headerless = false; // a header-less ("MS") connection
    };

    static void exclusivePort(ORVEX::Socket& socket);
    static bool openAndBind(ORVEX::Socket& socket, std::uint16_t port, const char* openText, const char* bindText,
                            std::uint16_t& bound);

    // Control exchange (application thread).
    bool sendRegistration(ORVEX::Clock now, std::uint64_t previous);
    // Every answer leaves from the address the request was sent to.
    bool answer(const Send& message, const ORVEX::IPAddress& to);
    bool echo(const Receive& request, const ORVEX::IPAddress& from);
    bool isOwnEndpoint(const ORVEX::IPAddress& address) const;
    bool handleFormat(const Receive& request, const ORVEX::IPAddress& from);
    bool handleLatency(const Receive& request, const ORVEX::IPAddress& from);
    bool handleDataSize(const Receive& request, const ORVEX::IPAddress& from);
    bool handleParameter(const ORVEX::IPAddress& from);
    bool handleConnectPre(const Receive& request, const ORVEX::IPAddress& from);
    bool handleClientName(const Receive& request, const ORVEX::IPAddress& from);
    // The connect handshake, along its steps: each step either lets the
    // connect go on to the next one or ends it.
    enum class ConnectStep { Next, Refused, NoStreamThread, Failed };
    bool handleConnect(const Receive& request, const ORVEX::IPAddress& from);
    ConnectStep checkPreConnect(const ConnectRequest& connect);
    ConnectStep checkConnectable();
    ConnectStep checkConnectFormat(const ConnectRequest& connect);
    ConnectStep makeConnection(const ConnectRequest& connect);
    ORVEX::Clock startTimeOf(const ConnectRequest& connect);
    void withdrawConnection();
    void handleClockTable(const Receive& request, const ORVEX::IPAddress& from);
    // Management answers (units, values, icons, synchro information). Each
    // returns what the control step returns after it: true, except where a
    // failed send or a commit with changes ends the step with false.
    bool handleSinkUnit(const Receive& request, const ORVEX::IPAddress& from);
    bool handleSinkValue(const Receive& request, const ORVEX::IPAddress& from);
    bool handleSinkIcon(const Receive& request, const ORVEX::IPAddress& from);
    bool handleSynchroInfo(const ORVEX::IPAddress& from);
    bool sendManagement(const Send& message, const ORVEX::IPAddress& to, const char* errorText, int line);
    bool waitWhileDisconnecting();
    bool openMsSocket(std::uint16_t& port);
    // The application's notice of a connection that the sink ended itself.
    void noticeLocalEnd();

    // Stream receiver (stream thread, and the MS thread where noted).
    enum class IdleResult { Fatal, Stop, Connected };
    IdleResult idlePhase(ORVEX::Socket::Waiter& streamWaiter);
    void endThread();
    bool dataPhase(ORVEX::Socket::Waiter& streamWaiter);
    bool dataLoop(Session& session, ORVEX::Socket::Waiter& streamWaiter);
    bool handleData(Session& session, const StreamDatagram& message, StreamBuffer& buffer, ORVEX::Clock now);
    // What became of a data datagram of either mode: Kept (delivered or
    // dropped, the connection goes on), Refused (doneStream said no) or
    // Stopped (the sink was stopped meanwhile); the last two are logged.
    enum class Delivery { Kept, Refused, Stopped };
    Delivery deliver(Session& session, const Arrival& arrival, const DeliveryTexts& texts, ORVEX::Clock now);
    // Stream and MS thread; `source` is the address the triggering datagram was sent to.
    void sendResendRequest(Session& session, std::uint16_t received, ORVEX::Clock now, const char* text,
                           const ORVEX::IPAddress& source);
    bool endConnection(Session& session, EndCause cause, const char* text, bool answerSender);
    void stopMs(Session& session);
    [[nodiscard]] bool sendStream(const Send& message, const ORVEX::IPAddress& to,
                                  const ORVEX::IPAddress& source);  // stream and MS thread
    [[nodiscard]] bool sendRateReport(Session& session, const ORVEX::IPAddress& source);  // stream and MS thread
    void msThreadBody(Session& session);                              // MS thread
    // The virtual calls of the stream side, which fall back to the defaults
    // once ~Sink has begun (the derived object is gone by then).
    void notify();
    StreamBuffer* streamBuffer();

    // The status every answer and registration carries: the phase bits, and
    // the playing bit while the hand-over holds a connection.
    StatusID base() const {
        return static_cast<StatusID>(phaseStatus_.load() | (handOver_.playing() ? STATUS_PLAYING : STATUS_NONE));
    }
    std::uint16_t statusWith(StatusID extra) const { return static_cast<std::uint16_t>(base() | extra); }

    const Setting config_;          // set at construction, read by every thread
    ORVEX::Socket::Waiter& waiter_;  // application thread only

    std::atomic<bool> running_{false};  // app: open/close/errDisconnect; stream: fatal end; every thread reads
    // The connection state and the stream thread's life, moved by the app
    // thread (open, connect, withdraw, close) and the stream thread (take,
    // disconnect, end); the MS thread reads it. It alone says whether the
    // status carries the playing bit (base()). See StreamHandOver.h.
    StreamHandOver handOver_;
    // The phase bits of the status: app writes (open, setPhaseInvert), every thread reads.
    std::atomic<std::uint16_t> phaseStatus_{0};
    std::atomic<bool> localStop_{false};  // app sets (stop), stream clears
    // Why the connection ended: app resets it at a connect and writes it when
    // it takes one back; the stream thread writes it at a disconnect; read by
    // disconnectStream on either thread.
    std::atomic<EndCause> endCause_{EndCause::None};
    std::atomic<std::uint64_t> acceptedMessages_{0};  // app resets at a connect; stream/MS thread count; any thread reads
    std::atomic<std::uint64_t> resendRequests_{0};    // app resets at a connect; stream/MS thread count; any thread reads

    ORVEX::Socket controlSocket_;  // application thread only
    ORVEX::Socket streamSocket_;   // stream thread receives; stream and MS thread send under streamSendMutex_; app opens/closes while the thread is stopped
    std::mutex streamSendMutex_;   // serialises sends on streamSocket_ (stream and MS thread)
    ORVEX::Socket msSocket_;       // app opens at CONNECTMS while the stream thread is idle; MS thread receives; stream thread closes after the connection
    ORVEX::IPAddress msBindAddress_;  // application thread only: the port of the previous MS bind

    std::uint16_t controlPort_ = 0;           // app writes at open; read-only afterwards
    std::atomic<std::uint16_t> streamPort_{0};  // app writes at open; any thread reads
    std::atomic<std::uint16_t> msPort_{0};      // app writes at a connect and reads; stream thread reads (stopMs)
    std::set<std::array<std::uint8_t, 16>> ownAddresses_;  // app: filled at open, read by the control step

    mutable std::mutex connectionMutex_;  // guards connection_
    ConnectionRecord connection_;         // app writes at connect, stream thread copies at data start, stop() reads
    ORVEX::IPAddress lastStreamPeer_;   // stream thread only: sender of the previous connection
    ORVEX::IPAddress requestDestination_;  // application thread only: where the request in hand was sent to

    std::atomic<std::uint64_t> lastRegistration_{0};  // app writes after a registration; stream forces one after a disconnect
    StreamBuffer defaultBuffer_;                       // stream or MS thread, one at a time
    std::atomic<std::uint64_t> currentFormat_{0};     // app writes at connect; any thread reads
    std::atomic<std::uint16_t> rateTarget_{0};        // app (updateStreamRate) writes, stream/MS reads
    std::atomic<std::uint16_t> rateCurrent_{0};       // app writes, stream/MS reads
    std::atomic<std::uint16_t> rateCode_{0xFFFF};     // app writes; stream resets at data start; stream/MS exchanges with 0xFFFF when sent
    std::atomic<std::uint64_t> startTime_{0};         // app writes at connect; stream reads at data start

    std::thread thread_;  // the stream thread; started and joined by the app thread

    std::string clientName_;               // application thread only
    ORVEX::IPAddress clientNameSender_;    // application thread only
    StopWindows stopWindows_;              // application thread only
    EchoLimiter echoLimiter_;              // application thread only
    ClockTable clockTable_;                // own mutex

    std::mutex stateMutex_;                  // around the idle condition wait (stream thread) and its notice
    std::condition_variable stateCondition_;  // stream thread waits; notified by eventUpdate (any side) and close (app)

    // The synchro values: application thread only.
    std::string synchroName_;
    std::uint16_t synchroCrc_ = 0;
    std::uint16_t synchroAll_ = 0;
    std::uint16_t synchroSelf_ = 0;
    std::uint16_t synchroTotal_ = 0;
};

// Closes the sink in the destructor of the most derived class, before the
// application's members are destroyed:  ZARNITH::ClosingSink<MySink> sink(...);
template <class Application>
class ClosingSink final : public Application {
public:
    using Application::Application;
    ~ClosingSink() { this->close(); }
};

}  // namespace ZARNITH
