// The sink endpoint's control and stream handling: a fresh sink (the
// recorder's setting with units, an icon and synchro information) on the
// loopback interface of the harness's own namespace gets the datagrams of the
// input on its real sockets. The harness is the application thread (it runs
// the control step after every wake-up of the sink's waiter) and the sender.
//
// Input: a mode byte, then up to 16 records.
//   mode bit 0: the recorder's format families (else every format is taken)
//   mode bit 1: connect first with a valid pre-format and connect request
//   mode bit 2: that connect asks for the header-less stream mode
// Record: a flag byte (bits 0-1: 0 control port, 1 stream port, 2 the
// header-less port, 3 control port from fd00::2 instead of the sender's
// ::1), a 16-bit little-endian length and that many bytes.
//
// Control datagrams are followed by control steps until the control socket
// is drained. Stream datagrams go out only while a connection is up; each is
// followed by a stream echo request, whose answer tells that the stream
// thread has handled the datagram before it (or the connection ends). A
// connection still up at the end is ended by a disconnect request.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "foundation/Socket.h"
#include "fuzz/FuzzSupport.h"
#include "host/SinkRecode.h"
#include "protocol/FormatPreConfigure.h"
#include "protocol/Send.h"
#include "sink/Sink.h"

namespace {

using Setting = ZARNITH::Sink::Setting;

constexpr const char* Remote = "fd00::2";
constexpr std::uint64_t Pcm32At44k = 0x02 | 0x800 | (0x000AULL << 32);

// An application that takes what it is given and reads every payload byte.
class FuzzSink : public ZARNITH::Sink {
public:
    FuzzSink(const Setting& s, ORVEX::Socket::Waiter& w, bool recorderFormats)
        : Sink(s, w), recorderFormats(recorderFormats) {}
    ~FuzzSink() { close(); }

    void getLatency(std::uint16_t& opt2, std::uint16_t& opt1, std::uint16_t& opt0) override {
        opt2 = 5000;
        opt1 = 200;
        opt0 = 1000;
    }
    bool checkFormat(ZARNITH::FormatID& format) override {
        if (recorderFormats) format = static_cast<ZARNITH::FormatID>(SinkRecode::supportedFamilies(format));
        return true;
    }
    bool prepareFormat(ZARNITH::FormatPreConfigure&) override { return true; }
    bool changeFormat(ZARNITH::FormatConfigure&) override { return true; }
    bool connectStream(const std::string&) override { return true; }
    void startStream(ORVEX::Clock) override {}
    bool disconnectStream() override { return true; }
    bool doneStream(bool reportWanted) override {
        const StreamBuffer* b = getStream();
        TM_FUZZ_CHECK(b->offset <= b->buffer.size() && b->size <= b->buffer.size() - b->offset);
        std::uint64_t sum = 0;
        for (std::uint64_t i = 0; i < b->size; ++i) sum += b->buffer[b->offset + i];
        checksum += sum;
        if (reportWanted) (void)updateStreamRate(b->size);
        return true;
    }
    bool getStreamRate(std::uint16_t& current, std::uint16_t& target) override {
        current = 4000;
        target = 5000;
        return true;
    }

private:
    const bool recorderFormats;
    std::atomic<std::uint64_t> checksum{0};
};

Setting fuzzSetting() {
    Setting s = SinkRecode::Setting::recorder();
    s.phaseControl = 1;
    s.synchro = 1;
    s.synchroName = "clock";
    s.synchroCrc = 0x1234;
    s.synchroAll = 2;
    s.synchroSelf = 1;
    s.synchroTotal = 3;
    Setting::_Config::_Unit number;
    number.kind = Setting::_Config::UNIT_NUMBER;
    number.name = "Gain";
    number.max = 20;
    number.defaultValue = 3;
    Setting::_Config::_Unit choice;
    choice.kind = Setting::_Config::UNIT_CHOICE;
    choice.name = "Filter";
    choice.max = 2;
    choice.choices = {"a", "b", "c"};
    Setting::_Config::_Unit text;
    text.kind = Setting::_Config::UNIT_TEXT;
    text.name = "Label";
    text.defaultText = "rec";
    s.configUnits = {number, choice, text};
    s.icons[0].width = 4;
    s.icons[0].pixels.resize(16);
    return s.gen();
}

const Setting* setting = nullptr;
tmfuzz::UdpPeer* sender = nullptr;
tmfuzz::UdpPeer* remote = nullptr;
tmfuzz::UdpPeer* localTarget = nullptr;  // where the sink registers
std::uint16_t echoCount = 0;

std::uint16_t u16At(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

void send(const tmfuzz::UdpPeer& from, std::uint16_t port, const ZARNITH::Send& m) {
    const ORVEX::BufferCS_const bytes = m;
    (void)from.sendTo("::1", port, bytes.data, bytes.size);
}

// Control steps until the control socket holds nothing more.
void controlSteps(FuzzSink& sink, ORVEX::Socket::Waiter& waiter) {
    for (int step = 0; step < 64; ++step) {
        if (waiter.wait(ORVEX::Clock::fromMilliseconds(step == 0 ? 200 : 0)) != ORVEX::WaitResult::Ready) break;
        (void)sink.controlLoop();
    }
    localTarget->drain();
}

// The answer `id` to the sender, within a second; its options 0 and 1.
bool answer(std::uint16_t id, std::uint16_t& option0, std::uint16_t& option1) {
    std::uint8_t bytes[2048];
    for (int i = 0; i < 100; ++i) {
        const long n = sender->receive(bytes, sizeof bytes, 10);
        if (n >= 16 && u16At(bytes + 4) == id) {
            option0 = u16At(bytes + 8);
            option1 = u16At(bytes + 10);
            return true;
        }
    }
    return false;
}

// A valid connect from the sender; the header-less port when asked for (0 else).
std::uint16_t connect(FuzzSink& sink, ORVEX::Socket::Waiter& waiter, bool headerLess) {
    const ZARNITH::FormatPreConfigure pre(ZARNITH::FormatConfigure(Pcm32At44k), 0);
    send(*sender, sink.getControlPort(),
         ZARNITH::Send(ZARNITH::CONNECTPRE_REQ, ZARNITH::STATUS_NONE, static_cast<std::uint64_t>(pre)));
    controlSteps(sink, waiter);
    send(*sender, sink.getControlPort(),
         ZARNITH::Send(headerLess ? ZARNITH::CONNECTMS_REQ : ZARNITH::CONNECT_REQ, ZARNITH::STATUS_NONE,
                       Pcm32At44k));
    controlSteps(sink, waiter);
    std::uint16_t streamPort = 0;
    std::uint16_t msPort = 0;
    if (!answer(headerLess ? ZARNITH::CONNECTMS_ANS : ZARNITH::CONNECT_ANS, streamPort, msPort)) return 0;
    // The stream thread takes the connection up on its own time.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (sink.getState() == ZARNITH::Sink::CONNECTED && !sink.isStreaming() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return msPort;
}

// Waits until the stream thread has handled what was sent before, or the
// connection has ended.
void settleStream(FuzzSink& sink) {
    const std::uint16_t mark = ++echoCount;
    send(*sender, sink.getStreamPort(), ZARNITH::Send(ZARNITH::STREAMECHO_REQ, ZARNITH::STATUS_NONE, mark, 0, 0, 0));
    std::uint8_t bytes[2048];
    for (int i = 0; i < 200 && sink.getState() == ZARNITH::Sink::CONNECTED; ++i) {
        const long n = sender->receive(bytes, sizeof bytes, 10);
        if (n >= 16 && u16At(bytes + 4) == ZARNITH::STREAMECHO_ANS) return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tmfuzz::ownNetwork();
    tmfuzz::addLoopbackAddress(Remote);
    tmfuzz::traceLogging();
    setting = new Setting(fuzzSetting());
    sender = new tmfuzz::UdpPeer("::1");
    remote = new tmfuzz::UdpPeer(Remote);
    localTarget = new tmfuzz::UdpPeer("::1", ZARNITH::TargetPort);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tmfuzz::Input in(data, size);
    const std::uint8_t mode = in.byte();
    ORVEX::Socket::Waiter waiter;
    FuzzSink sink(*setting, waiter, (mode & 1) != 0);
    std::uint16_t controlPort = 0;
    std::uint16_t streamPort = 0;
    if (!sink.open(controlPort, streamPort)) {
        std::fprintf(stderr, "fuzz harness: the sink did not open\n");
        std::abort();
    }
    (void)sink.controlLoop();  // the first step registers
    std::uint16_t msPort = 0;
    if ((mode & 2) != 0) msPort = connect(sink, waiter, (mode & 4) != 0);

    for (int record = 0; record < 16 && in.left() > 0; ++record) {
        const std::uint8_t flags = in.byte();
        const std::uint16_t length = in.u16();
        std::size_t taken = 0;
        const std::uint8_t* bytes = in.take(length, taken);
        switch (flags & 3) {
        case 0:
        case 3:
            if (((flags & 3) == 3 ? remote : sender)->sendTo("::1", controlPort, bytes, taken))
                controlSteps(sink, waiter);
            break;
        case 1:
            if (sink.getState() == ZARNITH::Sink::CONNECTED && sender->sendTo("::1", streamPort, bytes, taken))
                settleStream(sink);
            break;
        default:
            if (msPort != 0 && sink.getState() == ZARNITH::Sink::CONNECTED &&
                sender->sendTo("::1", msPort, bytes, taken))
                settleStream(sink);
            break;
        }
    }
    // A connection still up ends by the sender's request, so that the close
    // need not wait out the stream thread's socket wait.
    if (sink.getState() == ZARNITH::Sink::CONNECTED) {
        send(*sender, sink.getStreamPort(), ZARNITH::Send(ZARNITH::DSICONNECT_REQ, ZARNITH::STATUS_NONE));
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (sink.getState() != ZARNITH::Sink::IDLE && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    sink.close();
    sender->drain();
    remote->drain();
    localTarget->drain();
    return 0;
}
