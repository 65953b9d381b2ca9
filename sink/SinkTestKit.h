// Test kit for the sink endpoint (included by tests only): a scripted UDP peer
// on ::1 that builds and reads the wire bytes itself, an application-thread
// driver that runs the control step, and a recording sink application.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Socket.h"
#include "protocol/SysLogZarnith.h"
#include "sink/Sink.h"
#include "tests/support/TestSupport.h"
#include "tests/support/ZarnithWire.h"

namespace sinktest {

using tmtest::Bytes;
using tmtest::eventually;
using tmtest::Header;
using tmtest::header;
using tmtest::message;
using tmtest::message64;
using tmtest::text;

// One UDP/IPv6 socket on ::1 driven by the test, with a large receive buffer.
class UdpPeer : public tmtest::UdpPeer {
public:
    explicit UdpPeer(std::uint16_t port = 0, const char* address = "::1")
        : tmtest::UdpPeer(port, address, 0, 4 << 20) {}

    // The next datagram within `timeout`, with its source port.
    std::optional<Bytes> receive(std::chrono::milliseconds timeout, std::uint16_t* from = nullptr) const {
        sockaddr_in6 a{};
        auto b = tmtest::UdpPeer::receive(timeout, &a);
        if (b && from) *from = ntohs(a.sin6_port);
        return b;
    }
};

// A sink application that records every call and takes scripted results.
class RecordingSink : public ZARNITH::Sink {
public:
    using Sink::Sink;

    // Scripted behaviour (set before open, or by the test between steps).
    std::atomic<std::uint64_t> supported{0x0000FFFF02F37F3FULL};  // checkFormat answers query & supported
    std::atomic<bool> changeLatency{false};     // prepareFormat sets the latency to 1 (a counter-proposal)
    std::atomic<bool> alterFormat{false};       // changeFormat alters the format
    std::atomic<bool> connectResult{true};
    std::atomic<bool> disconnectResult{true};
    std::atomic<bool> doneResult{true};
    std::atomic<std::uint16_t> rateCurrent{5000};
    std::atomic<std::uint16_t> rateTarget{5000};
    std::function<void()> onConnect;            // runs inside connectStream; set through SinkDriver::run

    // Records.
    std::atomic<int> disconnects{0};
    std::atomic<int> connects{0};
    std::atomic<int> starts{0};
    std::atomic<int> events{0};
    std::atomic<int> schedPolicy{-1};
    std::atomic<int> schedPriority{-1};
    std::atomic<int> disconnectCause{-1};
    std::atomic<std::uint64_t> startTime{~0ULL};  // the argument of the last startStream

    struct Delivery {
        Bytes payload;
        bool reportWanted;
    };
    std::vector<Delivery> deliveries() {
        std::lock_guard<std::mutex> lock(mutex_);
        return deliveries_;
    }
    std::size_t deliveryCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return deliveries_.size();
    }
    std::string clientName() {
        std::lock_guard<std::mutex> lock(mutex_);
        return clientName_;
    }
    std::uint64_t acceptedCount() const { return acceptedMessages(); }
    std::uint64_t resendCount() const { return resendRequests(); }

    void getLatency(std::uint16_t& opt2, std::uint16_t& opt1, std::uint16_t& opt0) override {
        opt2 = static_cast<std::uint16_t>(opt2 + 1);
        opt1 = 200;
        opt0 = opt0 == 0 ? 1000 : opt0;
    }
    bool checkFormat(ZARNITH::FormatID& format) override {
        format = static_cast<ZARNITH::FormatID>(format == 0 ? supported.load() : (format & supported.load()));
        return true;
    }
    bool prepareFormat(ZARNITH::FormatPreConfigure& pre) override {
        if (changeLatency) pre.setLatency(1);
        return true;
    }
    bool changeFormat(ZARNITH::FormatConfigure& format) override {
        if (alterFormat) format.word = static_cast<ZARNITH::FormatID>(format.word ^ 0x01);
        return true;
    }
    bool connectStream(const std::string& name) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            clientName_ = name;
        }
        ++connects;
        if (onConnect) onConnect();
        return connectResult;
    }
    void startStream(ORVEX::Clock start) override {
        startTime = start.picoseconds();
        sched_param param{};
        int policy = 0;
        pthread_getschedparam(pthread_self(), &policy, &param);
        schedPolicy = policy;
        schedPriority = param.sched_priority;
        ++starts;
    }
    bool disconnectStream() override {
        disconnectCause = static_cast<int>(endCause());
        ++disconnects;
        return disconnectResult;
    }
    bool doneStream(bool reportWanted) override {
        const StreamBuffer* b = getStream();
        Delivery d{Bytes(b->buffer.begin() + static_cast<long>(b->offset),
                         b->buffer.begin() + static_cast<long>(b->offset + b->size)),
                   reportWanted};
        std::lock_guard<std::mutex> lock(mutex_);
        deliveries_.push_back(std::move(d));
        return doneResult;
    }
    bool getStreamRate(std::uint16_t& current, std::uint16_t& target) override {
        current = rateCurrent;
        target = rateTarget;
        return true;
    }
    void eventUpdate() override {
        ++events;
        Sink::eventUpdate();
    }

private:
    std::mutex mutex_;
    std::vector<Delivery> deliveries_;
    std::string clientName_;
};

// A recording sink with configuration units of its own (slots 13 to 15): it
// keeps the values it is given, records every call and takes scripted results.
class ConfigurableSink : public RecordingSink {
public:
    using RecordingSink::RecordingSink;

    struct Value {
        std::string text;
        std::uint16_t value = 0;
    };
    struct SetCall {
        std::uint16_t index;
        std::string text;
        std::uint16_t value;
        bool toDefault;
    };

    std::atomic<bool> setResult{true};       // ConfigSet's answer (true: the value is kept)
    std::atomic<bool> finaleResult{true};    // ConfigFinale's answer
    std::atomic<bool> finaleChanged{false};  // ConfigFinale's `changed`

    // A value that ConfigGet gives for `index` (indexes without one are not readable).
    void store(std::uint16_t index, const std::string& text, std::uint16_t value) {
        std::lock_guard<std::mutex> lock(configMutex_);
        values_[index] = Value{text, value};
    }
    std::vector<SetCall> sets() {
        std::lock_guard<std::mutex> lock(configMutex_);
        return sets_;
    }
    std::vector<bool> finales() {
        std::lock_guard<std::mutex> lock(configMutex_);
        return finales_;
    }
    int gets() const { return gets_; }

    bool ConfigGet(std::uint16_t index, std::string& text, std::uint16_t& value) override {
        ++gets_;
        std::lock_guard<std::mutex> lock(configMutex_);
        auto it = values_.find(index);
        if (it == values_.end()) return false;
        text = it->second.text;
        value = it->second.value;
        return true;
    }
    bool ConfigSet(std::uint16_t index, const std::string& text, const std::uint16_t& value,
                   bool toDefault) override {
        std::lock_guard<std::mutex> lock(configMutex_);
        sets_.push_back(SetCall{index, text, value, toDefault});
        if (!setResult) return false;
        values_[index] = Value{text, value};
        return true;
    }
    bool ConfigFinale(bool commit, bool& changed) override {
        std::lock_guard<std::mutex> lock(configMutex_);
        finales_.push_back(commit);
        changed = finaleChanged;
        return finaleResult;
    }

private:
    std::mutex configMutex_;
    std::map<std::uint16_t, Value> values_;
    std::vector<SetCall> sets_;
    std::vector<bool> finales_;
    std::atomic<int> gets_{0};
};

// The application thread: waits on the waiter and runs the control step;
// runs posted work between steps.
class SinkDriver {
public:
    explicit SinkDriver(ZARNITH::Sink& sink, ORVEX::Socket::Waiter& waiter) : sink_(sink), waiter_(waiter) {
        thread_ = std::thread([this] { loop(); });
    }
    ~SinkDriver() { stop(); }

    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

    // Runs `work` on the application thread and waits for it.
    void run(const std::function<void()>& work) {
        std::atomic<bool> done{false};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            posted_.push_back([&] {
                work();
                done = true;
            });
        }
        while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    int falseSteps() const { return falseSteps_; }

private:
    void loop() {
        while (!stop_) {
            const ORVEX::WaitResult ready = waiter_.wait(ORVEX::Clock::fromMilliseconds(5));
            if (ready != ORVEX::WaitResult::Error && !sink_.controlLoop()) ++falseSteps_;
            std::deque<std::function<void()>> work;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                work.swap(posted_);
            }
            for (auto& w : work) w();
        }
    }

    ZARNITH::Sink& sink_;
    ORVEX::Socket::Waiter& waiter_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> falseSteps_{0};
    std::mutex mutex_;
    std::deque<std::function<void()>> posted_;
};

// The sink's log as the log listener on [::1]:19640 receives it, at the trace
// level; the level goes back to "no logging" at the end.
class LogListener {
public:
    LogListener() : peer_(19640) {
        ok_ = peer_.ok() && ZARNITH::SysLogZarnith::initialize(ORVEX::SysLog::FACILITY_LOCAL0, 19640, false) &&
              ZARNITH::SysLogZarnith::changeLevel(ORVEX::SysLog::LEVEL_DEBUG, 19640);
    }
    ~LogListener() { ZARNITH::SysLogZarnith::zarnith_log = -1; }
    LogListener(const LogListener&) = delete;
    LogListener& operator=(const LogListener&) = delete;

    bool ok() const { return ok_; }

    // Every log datagram that arrives within `window`, as text.
    std::vector<std::string> lines(std::chrono::milliseconds window) const {
        std::vector<std::string> out;
        for (const Bytes& b : peer_.drain(window)) out.emplace_back(b.begin(), b.end());
        return out;
    }
    // How many of `lines` hold `part`.
    static std::size_t count(const std::vector<std::string>& lines, const std::string& part) {
        std::size_t n = 0;
        for (const std::string& line : lines)
            if (line.find(part) != std::string::npos) ++n;
        return n;
    }

private:
    UdpPeer peer_;
    bool ok_ = false;
};

// The host's recorder values on port id 1 (control 19644, stream 19645).
inline ZARNITH::Sink::Setting recorderSetting() { return ZARNITH::Sink::Setting::recorder(); }

// CH2, PCM32, 44100 x 1.
constexpr std::uint64_t Pcm32At44k = 0x02 | 0x800 | (0x000AULL << 32);
// CH2, PCM16, 44100 x 1.
constexpr std::uint64_t Pcm16At44k = 0x02 | 0x200 | (0x000AULL << 32);

// The pre-format of a format word with a latency.
inline std::uint64_t preFormatOf(std::uint64_t format, std::uint16_t latency) {
    const std::uint64_t pcm = format & 0xFF00;
    std::uint64_t cls = 0x0400;
    if (pcm != 0) cls = (pcm & 0x6000) ? 0x0200 : 0x0100;
    else if ((format & 0xFFF00) == 0x20000) cls = 0x0800;
    return (format & 0xFF) | cls | (std::uint64_t{latency} << 16) | (format & 0xFFFFFFFF00000000ULL);
}

// Waits until datagrams sent to `address` (a local address) arrive: just
// after an address is added, the first datagrams to it can still be lost.
inline bool takesDatagrams(const char* address) {
    UdpPeer probe(0, address);
    if (!probe.ok()) return false;
    return eventually(
        [&] { return probe.sendTo(probe.port(), {1}, address) && probe.receive(std::chrono::milliseconds(10)); },
        std::chrono::milliseconds(5000));
}

// A further address on the loopback interface, for peers that are not ::1;
// true once it takes datagrams.
inline bool addLocalAddress(const char* address) {
    return tmtest::shell(std::string("ip -6 addr add ") + address + "/128 dev lo nodad") == 0 &&
           takesDatagrams(address);
}

// The pre-format announcement is process-wide: shared by every sink of the
// process and outliving connections. A test that connects starts by settling
// it: a throwaway sender announces, then asks to connect with an invalid
// format, which clears the pending pre-client and leaves a known pre-format.
inline bool settlePreConnect(std::uint16_t controlPort) {
    UdpPeer settler;
    constexpr std::uint64_t invalid = Pcm32At44k | 0x01;  // two channel codes
    auto pre = settler.ask(controlPort, message64(0x12, 0, preFormatOf(invalid, 0)));
    auto refused = settler.ask(controlPort, message64(0x08, 0, invalid));
    return pre && refused && header(*refused).id == 0x09 && (header(*refused).status & 1) == 0;
}

}  // namespace sinktest
