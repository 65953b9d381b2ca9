// zarnith-capture-sink: a test and measurement sink endpoint. It accepts the
// formats of a mask, reports the recorder's latency, answers every report
// request with a neutral rate report, writes the payload of every accepted
// data message in order to OUTPREFIX.N.raw (N counts connections from 1) and
// prints one line at the end of each connection.
//
//   zarnith-capture-sink [--port-id N] [--formats MASK] OUTPREFIX
//
// --port-id (default 1) gives the control port 19642 + 2N and the stream port
// one higher; --formats (default every format) is the accepted FormatID mask.
//
// Ends on SIGTERM or SIGINT with exit status 0.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "foundation/Clock.h"
#include "foundation/Socket.h"
#include "protocol/FormatID.h"
#include "sink/Sink.h"

namespace {

// Every format a sink can take: all channel codes, PCM formats, DSD kinds,
// orders and the 32-bit word size, every rate base and multiplier.
constexpr std::uint64_t AllFormats = 0x0000FFFF02F37F3FULL;

std::atomic<bool> g_stop{false};  // set by the signal handler, read by the main loop

void onSignal(int) { g_stop = true; }

// The answer to a format inquiry or connect word `query` from the mask:
// the families the query names, each field narrowed to the query's bits where
// the query has any; 0 when nothing of the mask is left.
std::uint64_t supportedSubset(std::uint64_t mask, std::uint64_t query) {
    if (query == 0) return mask;
    constexpr std::uint64_t pcm = ZARNITH::FORMAT_PCM_MASK;
    constexpr std::uint64_t dsd = ZARNITH::FORMAT_DSD_MASK | ZARNITH::FORMAT_DSD_FLAGS_MASK;
    std::uint64_t result = mask;
    const bool namesPcm = (query & pcm) != 0;
    const bool namesDsd = (query & dsd) != 0;
    if (namesPcm && !namesDsd) result &= ~dsd;
    if (namesDsd && !namesPcm) result &= ~pcm;
    static constexpr std::uint64_t fields[] = {
        ZARNITH::FORMAT_CHANNEL_MASK, pcm, ZARNITH::FORMAT_DSD_MASK, 0x300000ULL, 0xC00000ULL, 0xFF000000ULL,
        ZARNITH::FORMAT_BASE_MASK, ZARNITH::FORMAT_MULTI_MASK};
    for (const std::uint64_t field : fields)
        if ((query & field) != 0) result = (result & ~field) | (result & query & field);
    if ((result & (pcm | ZARNITH::FORMAT_DSD_MASK)) == 0) return 0;
    return result;
}

class CaptureSink : public ZARNITH::Sink {
public:
    CaptureSink(const Setting& setting, ORVEX::Socket::Waiter& waiter, std::uint64_t formats, std::string prefix)
        : Sink(setting, waiter), formats_(formats), prefix_(std::move(prefix)) {}
    ~CaptureSink() {
        // The stream thread must end while the members below still live.
        close();
        if (file_ != nullptr) std::fclose(file_);
    }

    void getLatency(std::uint16_t& opt2, std::uint16_t& opt1, std::uint16_t& opt0) override {
        opt2 = 5000;
        opt1 = 200;
        opt0 = 1000;
    }

    bool checkFormat(ZARNITH::FormatID& format) override {
        format = static_cast<ZARNITH::FormatID>(supportedSubset(formats_, format));
        return true;
    }

    bool prepareFormat(ZARNITH::FormatPreConfigure&) override { return true; }

    bool changeFormat(ZARNITH::FormatConfigure& format) override {
        format_ = format.word;
        return true;
    }

    bool connectStream(const std::string& clientName) override {
        ++connection_;
        const std::string path = prefix_ + "." + std::to_string(connection_) + ".raw";
        file_ = std::fopen(path.c_str(), "wb");
        if (file_ == nullptr) {
            std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), std::strerror(errno));
            return false;
        }
        std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
        client_ = clientName;
        bytes_ = 0;
        return true;
    }

    void startStream(ORVEX::Clock) override {}

    bool disconnectStream() override {
        if (file_ != nullptr) {
            if (std::fclose(file_) != 0) std::fprintf(stderr, "close failed: %s\n", std::strerror(errno));
            file_ = nullptr;
        }
        const char* end = "local";
        switch (endCause()) {
            case EndCause::Request: end = "request"; break;
            case EndCause::Timeout: end = "timeout"; break;
            default: break;
        }
        std::printf("connection=%u format=0x%016llx client=%s messages=%llu bytes=%llu resend_requests=%llu end=%s\n",
                    connection_, static_cast<unsigned long long>(format_), client_.c_str(),
                    static_cast<unsigned long long>(acceptedMessages()), static_cast<unsigned long long>(bytes_),
                    static_cast<unsigned long long>(resendRequests()), end);
        std::fflush(stdout);
        return true;
    }

    bool doneStream(bool reportWanted) override {
        const StreamBuffer* received = getStream();
        if (file_ != nullptr && received->size > 0) {
            const std::size_t written =
                std::fwrite(received->buffer.data() + received->offset, 1, received->size, file_);
            if (written != received->size) {
                std::fprintf(stderr, "write failed: %s\n", std::strerror(errno));
                return false;
            }
        }
        bytes_ += received->size;
        // A neutral report (level on target) keeps the sender streaming.
        if (reportWanted) (void)updateStreamRate(0);
        return true;
    }

    bool getStreamRate(std::uint16_t& current, std::uint16_t& target) override {
        current = 5000;
        target = 5000;
        return true;
    }

private:
    const std::uint64_t formats_;  // read-only
    const std::string prefix_;     // read-only
    // Written at connect (application thread) and by the stream thread during
    // the connection; the sink's state hand-over orders the two.
    unsigned connection_ = 0;
    std::FILE* file_ = nullptr;
    std::string client_;
    std::uint64_t format_ = 0;
    std::uint64_t bytes_ = 0;
};

void usage() {
    std::fprintf(stderr, "usage: zarnith-capture-sink [--port-id N] [--formats MASK] OUTPREFIX\n");
}

bool parseNumber(const char* text, std::uint64_t max, std::uint64_t& value) {
    if (text == nullptr || *text == '\0') return false;
    // Decimal, or hexadecimal after 0x (no octal: a leading 0 is decimal).
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(hex ? text + 2 : text, &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || end == text || parsed > max || text[0] == '-' || text[0] == '+') return false;
    value = parsed;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t portId = 1;  // the ports of a device's first sink: 19644 and 19645
    std::uint64_t formats = AllFormats;
    std::string prefix;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port-id" && i + 1 < argc) {
            if (!parseNumber(argv[++i], 0xFFFF, portId)) {
                usage();
                return 2;
            }
        } else if (arg == "--formats" && i + 1 < argc) {
            if (!parseNumber(argv[++i], ~0ULL, formats)) {
                usage();
                return 2;
            }
        } else if (prefix.empty() && !arg.empty() && arg[0] != '-') {
            prefix = arg;
        } else {
            usage();
            return 2;
        }
    }
    if (prefix.empty()) {
        usage();
        return 2;
    }

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // A sink like the host's recorder, on the port id asked for and under a
    // name of its own.
    ZARNITH::Sink::Setting setting = ZARNITH::Sink::Setting::recorder();
    setting.portId = static_cast<std::uint16_t>(portId);
    setting.name = "Capture";

    ORVEX::Socket::Waiter waiter;
    CaptureSink sink(setting, waiter, formats, prefix);
    std::uint16_t controlPort = 0;
    std::uint16_t streamPort = 0;
    if (!sink.open(controlPort, streamPort)) {
        std::fprintf(stderr, "sink open failed\n");
        return 1;
    }
    std::fprintf(stderr, "listening control=%u stream=%u\n", static_cast<unsigned>(controlPort),
                 static_cast<unsigned>(streamPort));

    bool warned = false;
    int status = 0;
    while (!g_stop) {
        const ORVEX::WaitResult ready = waiter.wait(ORVEX::Clock::fromMilliseconds(100));
        if (ready == ORVEX::WaitResult::Error && !g_stop) {
            std::fprintf(stderr, "wait failed: %s\n", std::strerror(errno));
            status = 1;
            break;
        }
        (void)sink.controlLoop();
        if (!sink.isRunning() && !warned) {
            std::fprintf(stderr, "stream thread not running (no real-time priority?): connects are refused\n");
            warned = true;
        }
    }
    sink.close();
    return status;
}
