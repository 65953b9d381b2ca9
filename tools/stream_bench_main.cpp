// stream_bench: measures the sender's pacing and cost against a sink endpoint
// in another process, next to a bare baseline loop on the same machine.
//
//   stream_bench [--seconds S] [--format pcm32-48k|pcm32-192k|pcm32-768k|dsd64|dsd512]
//                [--cycle-us N] [--mode FLAGS] [--cpu N] [--convert]
//
// The program moves into a network namespace of its own (loopback only) and
// starts itself again as the receiver: a sink endpoint (the sink library, port
// id 1) that checks the stream byte for byte against the known pattern, and a
// packet socket on the loopback interface that takes the kernel's receive
// time stamp (SO_TIMESTAMPNS) of every datagram. The sender then first runs a
// baseline for S seconds (a thread at the worker's priority that sleeps to
// each cycle's deadline with clock_nanosleep(TIMER_ABSTIME) and sends the same
// datagrams per cycle), then streams an S-second track from its ring. Printed
// for both, and as a ratio to the baseline: messages, bytes, the deviation of
// each cycle's first datagram from the ideal schedule (p50, p99, p99.9, max),
// the thread's CPU seconds per second of audio (deviations are taken modulo
// the cycle, so the largest shown is half a cycle), the cycles that began
// more than a cycle late ("over time"); for the sender also the
// sink's resend requests and whether the data arrived bit-exact.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "foundation/Clock.h"
#include "foundation/IPAddress.h"
#include "foundation/Socket.h"
#include "foundation/SysLog.h"
#include "foundation/ThreadPriority.h"
#include "protocol/FormatConfigure.h"
#include "protocol/LittleEndian.h"
#include "protocol/SysLogZarnith.h"
#include "sender/SyncBuffer.h"
#include "sink/Sink.h"

namespace {

using ORVEX::Clock;
using namespace ZARNITH;

constexpr std::uint16_t SinkPortId = 1;
constexpr std::uint16_t ControlPort = 19644;
constexpr std::uint16_t StreamPort = 19645;
constexpr std::uint16_t BaselinePort = 19700;

// ---- The pattern both processes know ----

// The track's bytes, made one after another; the first eight are 0x11 so that
// the track is found after the leading silence of any format.
class Pattern {
public:
    std::uint8_t next() {
        if (index_++ < 8) return 0x11;
        x_ = x_ * 1664525u + 1013904223u;
        return static_cast<std::uint8_t>(x_ >> 24);
    }

private:
    std::uint32_t x_ = 987654321u;
    std::uint64_t index_ = 0;
};

struct FormatChoice {
    const char* name;
    std::uint64_t host;  // the host's format
    std::uint64_t sink;  // what the sink accepts with --convert (0: the host format itself)
};

const FormatChoice Formats[] = {
    {"pcm32-48k", CH2 | PCM32 | BASE_48000 | MULTI_1, 0},
    {"pcm32-192k", CH2 | PCM32 | BASE_48000 | MULTI_4, 0},
    {"pcm32-768k", CH2 | PCM32 | BASE_48000 | MULTI_16, 0},
    {"dsd64", CH2 | DSD1 | DSD_LSB | DSD_LITTLE | DSD_WORD32 | BASE_44100 | MULTI_64,
     CH2 | DSD1 | DSD_LSB | DSD_BIG | DSD_WORD32 | BASE_44100 | MULTI_64},
    {"dsd512", CH2 | DSD1 | DSD_LSB | DSD_LITTLE | DSD_WORD32 | BASE_44100 | MULTI_512,
     CH2 | DSD1 | DSD_LSB | DSD_BIG | DSD_WORD32 | BASE_44100 | MULTI_512},
};

// ---- Receiver ----

// Arrival times of the first datagram of each cycle, per destination port.
class Sniffer {
public:
    bool open() {
        fd_ = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IPV6));
        if (fd_ < 0) return false;
        sockaddr_ll link{};
        link.sll_family = AF_PACKET;
        link.sll_protocol = htons(ETH_P_IPV6);
        link.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
        const int on = 1;
        const int size = 64 << 20;
        (void)::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
        return ::bind(fd_, reinterpret_cast<sockaddr*>(&link), sizeof(link)) == 0 &&
               ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) == 0;
    }
    void run() {
        std::uint8_t packet[70000];
        char control[256];
        while (!stop_.load()) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            sockaddr_ll from{};
            iovec io{packet, sizeof(packet)};
            msghdr msg{};
            msg.msg_name = &from;
            msg.msg_namelen = sizeof(from);
            msg.msg_iov = &io;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof(control);
            const ssize_t n = ::recvmsg(fd_, &msg, 0);
            if (n <= 0 || from.sll_pkttype != PACKET_HOST) continue;
            std::int64_t stamp = -1;
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec ts{};
                    std::memcpy(&ts, CMSG_DATA(c), sizeof(ts));
                    stamp = static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
                }
            }
            // IPv6 (40 bytes, UDP next), UDP (8 bytes), then the message header.
            if (stamp < 0 || n < 40 + 8 + 16 || packet[6] != 17) continue;
            const std::uint16_t port = static_cast<std::uint16_t>((packet[42] << 8) | packet[43]);
            const std::uint8_t* m = packet + 48;
            if (readU16LE(m) != 0x0064) continue;
            const std::uint16_t id = readU16LE(m + 4);
            const std::uint16_t status = readU16LE(m + 6);
            std::lock_guard<std::mutex> lock(mutex_);
            Stream& s = streams_[port];
            if (id == DSICONNECT_REQ) s.ended = true;
            if (id != STREAMDATA_SET) continue;
            ++s.messages;
            if (s.cycleEnded) s.cycleStarts.push_back(stamp);
            s.cycleEnded = (status & STATUS_CYCLEEND) != 0;
        }
    }
    void stop() { stop_ = true; }
    bool ended(std::uint16_t port) {
        std::lock_guard<std::mutex> lock(mutex_);
        return streams_[port].ended;
    }
    struct Stream {
        std::vector<std::int64_t> cycleStarts;
        std::uint64_t messages = 0;
        bool cycleEnded = true;
        bool ended = false;
    };
    Stream take(std::uint16_t port) {
        std::lock_guard<std::mutex> lock(mutex_);
        return streams_[port];
    }

private:
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::map<std::uint16_t, Stream> streams_;
};

// |deviation from the ideal schedule| of every cycle start, in ns, sorted. The
// ideal schedule is the straight line fitted (least squares) through the
// arrivals over their cycle numbers, so a period slightly off the nominal
// one does not count as jitter.
std::vector<double> deviations(const std::vector<std::int64_t>& starts, double cycleNs) {
    std::vector<double> dev;
    if (starts.size() < 20) return dev;
    // The first cycles run half a cycle early by design; skip them.
    const std::int64_t t0 = starts[10];
    std::vector<double> k, t;
    for (std::size_t i = 10; i < starts.size(); ++i) {
        const double offset = static_cast<double>(starts[i] - t0);
        k.push_back(std::round(offset / cycleNs));
        t.push_back(offset);
    }
    const double n = static_cast<double>(k.size());
    double sk = 0, st = 0, skk = 0, skt = 0;
    for (std::size_t i = 0; i < k.size(); ++i) {
        sk += k[i];
        st += t[i];
        skk += k[i] * k[i];
        skt += k[i] * t[i];
    }
    const double denominator = n * skk - sk * sk;
    const double slope = denominator != 0 ? (n * skt - sk * st) / denominator : cycleNs;
    const double intercept = (st - slope * sk) / n;
    for (std::size_t i = 0; i < k.size(); ++i) dev.push_back(std::fabs(t[i] - (intercept + slope * k[i])));
    std::sort(dev.begin(), dev.end());
    return dev;
}

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    const auto i = static_cast<std::size_t>(std::min<double>(sorted.size() - 1, std::floor(p * sorted.size())));
    return sorted[i];
}

// The sink library endpoint that checks every byte against the pattern:
// silence, the track (words swapped when the sender converts), silence.
class CheckingSink : public Sink {
public:
    CheckingSink(const Setting& setting, ORVEX::Socket::Waiter& waiter, std::uint64_t formats, std::uint64_t trackBytes,
                 bool swap, std::uint8_t mute)
        : Sink(setting, waiter), formats_(formats), trackBytes_(trackBytes), swap_(swap), mute_(mute) {}
    ~CheckingSink() { close(); }

    void getLatency(std::uint16_t& opt2, std::uint16_t& opt1, std::uint16_t& opt0) override {
        opt2 = 5000;
        opt1 = 200;
        opt0 = 1000;
    }
    bool checkFormat(FormatID& format) override {
        if (format == 0) {
            format = static_cast<FormatID>(formats_);
            return true;
        }
        const std::uint64_t pcm = 0xFF00, dsd = 0xF0000;
        std::uint64_t result = formats_;
        if ((format & pcm) && !(format & dsd)) result &= ~(dsd | 0xFFF00000ULL);
        if ((format & dsd) && !(format & pcm)) result &= ~pcm;
        format = static_cast<FormatID>(result);
        return true;
    }
    bool prepareFormat(FormatPreConfigure&) override { return true; }
    bool changeFormat(FormatConfigure&) override { return true; }
    bool connectStream(const std::string&) override { return true; }
    void startStream(Clock) override {}
    bool disconnectStream() override {
        ended_ = true;
        return true;
    }
    bool doneStream(bool reportWanted) override {
        const StreamBuffer* b = getStream();
        const std::uint8_t* p = b->buffer.data() + b->offset;
        for (std::uint64_t i = 0; i < b->size; ++i) check(p[i]);
        bytes_ += b->size;
        if (reportWanted) (void)updateStreamRate(0);
        return true;
    }
    bool getStreamRate(std::uint16_t& current, std::uint16_t& target) override {
        current = 5000;
        target = 5000;
        return true;
    }

    bool ended() const { return ended_.load(); }
    std::uint64_t resends() const { return resendRequests(); }
    std::uint64_t accepted() const { return acceptedMessages(); }
    bool exact() const { return !broken_ && phase_ != 0 && matched_ == trackBytes_; }
    std::uint64_t bytes() const { return bytes_; }

private:
    void check(std::uint8_t b) {
        if (broken_) return;
        if (phase_ == 0) {
            if (b == mute_) return;
            phase_ = 1;
        }
        if (phase_ == 1) {
            if (word_ == 4) {
                for (std::uint8_t& w : expected_) w = pattern_.next();
                word_ = 0;
            }
            const std::uint8_t want = swap_ ? expected_[3 - word_] : expected_[word_];
            ++word_;
            if (b != want) {
                broken_ = true;
                return;
            }
            if (++matched_ == trackBytes_) phase_ = 2;
            return;
        }
        if (b != mute_) broken_ = true;
    }

    const std::uint64_t formats_;
    const std::uint64_t trackBytes_;
    const bool swap_;
    const std::uint8_t mute_;
    // Stream thread only, read by the main thread after the connection ended.
    Pattern pattern_;
    std::uint8_t expected_[4] = {};
    int word_ = 4;
    int phase_ = 0;
    std::uint64_t matched_ = 0;
    bool broken_ = false;
    std::uint64_t bytes_ = 0;
    std::atomic<bool> ended_{false};
};

int receiverMain(std::uint64_t formats, std::uint64_t trackBytes, bool swap, std::uint8_t mute, double cycleNs) {
    Sniffer sniffer;
    if (!sniffer.open()) {
        std::fprintf(stderr, "receiver: packet socket: %s\n", std::strerror(errno));
        return 1;
    }
    // The baseline's datagrams need a socket to land in.
    ORVEX::UDPV6 drain;
    ORVEX::IPAddress any;
    any.set_port(BaselinePort);
    if (!drain.open(ORVEX::Socket::TYPE_UDPV6) || !drain.bindV6(any, 1)) {
        std::fprintf(stderr, "receiver: baseline socket: %s\n", std::strerror(errno));
        return 1;
    }
    std::thread sniff(&Sniffer::run, &sniffer);
    std::atomic<bool> draining{true};
    std::thread drainer([&] {
        ORVEX::Buffer b;
        ORVEX::IPAddress from;
        while (draining.load())
            if (drain.wait(Clock::fromMilliseconds(100)) == ORVEX::WaitResult::Ready) (void)drain.receiveFromV6(b, from);
    });

    // A sink like the host's recorder, under a name of its own.
    Sink::Setting setting = Sink::Setting::recorder();
    setting.portId = SinkPortId;
    setting.name = "Bench";
    ORVEX::Socket::Waiter waiter;
    CheckingSink sink(setting, waiter, formats, trackBytes, swap, mute);
    std::uint16_t control = 0, stream = 0;
    if (!sink.open(control, stream)) {
        std::fprintf(stderr, "receiver: sink open failed\n");
        sniffer.stop();
        sniff.join();
        draining = false;
        drainer.join();
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::hours(2);
    while (!(sink.ended() && sniffer.ended(BaselinePort)) && std::chrono::steady_clock::now() < giveUp) {
        (void)waiter.wait(Clock::fromMilliseconds(100));
        (void)sink.controlLoop();
    }
    const std::uint64_t resends = sink.resends();
    const std::uint64_t accepted = sink.accepted();
    sink.close();
    sniffer.stop();
    sniff.join();
    draining = false;
    drainer.join();

    for (std::uint16_t port : {StreamPort, BaselinePort}) {
        const Sniffer::Stream s = sniffer.take(port);
        const std::vector<double> dev = deviations(s.cycleStarts, cycleNs);
        const char* who = port == StreamPort ? "sender" : "baseline";
        std::printf("%s.messages=%llu\n%s.cycles=%zu\n", who, static_cast<unsigned long long>(s.messages), who,
                    s.cycleStarts.size());
        std::printf("%s.p50=%.1f\n%s.p99=%.1f\n%s.p999=%.1f\n%s.max=%.1f\n", who, percentile(dev, 0.5) / 1000, who,
                    percentile(dev, 0.99) / 1000, who, percentile(dev, 0.999) / 1000, who,
                    dev.empty() ? 0.0 : dev.back() / 1000);
    }
    std::printf("sender.bytes=%llu\nsender.accepted=%llu\nsender.resends=%llu\nsender.exact=%s\n",
                static_cast<unsigned long long>(sink.bytes()), static_cast<unsigned long long>(accepted),
                static_cast<unsigned long long>(resends), sink.exact() ? "yes" : "no");
    std::fflush(stdout);
    return 0;
}

// ---- Sender side ----

std::atomic<int> g_overTime{0};  // log callback (worker thread) writes, main thread reads

void countLog(const char* message) {
    const char* body = std::strstr(message, "over time ");
    if (body != nullptr && std::strncmp(body, "over time change", 16) != 0 &&
        std::strncmp(body, "over time recover", 17) != 0)
        g_overTime.fetch_add(1);
}

bool ownNetwork() {
    if (::unshare(CLONE_NEWNET) != 0) return false;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    ::close(fd);
    return ok;
}

double threadCpuSeconds(clockid_t id) {
    timespec ts{};
    if (::clock_gettime(id, &ts) != 0) return -1;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The bare loop: sleep to each deadline, send the cycle's datagrams.
double baseline(const Profile& profile, std::uint64_t frameBytes, double seconds, int mode, int cpu, int& late) {
    double cpuSeconds = -1;
    late = 0;
    std::thread t([&] {
        const unsigned long self = ORVEX::ThreadPriority::getSelfThreadID();
        (void)ORVEX::ThreadPriority::setPriority(self, (mode & Sync::CRITICAL) ? ORVEX::ThreadPriority::CRITICAL
                                                                               : ORVEX::ThreadPriority::HIGH);
        if ((mode & Sync::OCCUPIED) && cpu >= 0)
            (void)ORVEX::ThreadPriority::setCpuThread(self, {{static_cast<std::uint16_t>(cpu), 1}});
        const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 to{};
        to.sin6_family = AF_INET6;
        to.sin6_port = htons(BaselinePort);
        to.sin6_addr = in6addr_loopback;
        const std::uint32_t perMessage =
            profile.packetSize != 0 ? profile.packetSize
                                    : static_cast<std::uint32_t>(profile.framesQ14 / 16384 * frameBytes);
        std::vector<std::uint8_t> message(16 + ((perMessage + 7) & ~7u), 0);
        message[0] = 0x64;
        const std::uint16_t code = static_cast<std::uint16_t>(Send::lengthCode(perMessage));
        message[2] = static_cast<std::uint8_t>(code);
        message[3] = static_cast<std::uint8_t>(code >> 8);
        message[4] = STREAMDATA_SET;
        const auto cycleNs = static_cast<long>(profile.cycle.toNanoseconds());
        const auto cycles = static_cast<long>(seconds * 1e9 / static_cast<double>(cycleNs));
        const double startCpu = threadCpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        timespec next{};
        ::clock_gettime(CLOCK_MONOTONIC, &next);
        std::uint16_t seq = 0;
        for (long c = 0; c < cycles; ++c) {
            next.tv_nsec += cycleNs;
            while (next.tv_nsec >= 1000000000L) {
                next.tv_nsec -= 1000000000L;
                ++next.tv_sec;
            }
            while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
            }
            // Woken more than a cycle after the deadline: what the worker logs as "over time".
            timespec woke{};
            ::clock_gettime(CLOCK_MONOTONIC, &woke);
            const long long lateNs = (static_cast<long long>(woke.tv_sec) - next.tv_sec) * 1000000000LL +
                                     (woke.tv_nsec - next.tv_nsec);
            if (lateNs > cycleNs) ++late;
            for (std::uint16_t i = 0; i < profile.packetCount; ++i, ++seq) {
                message[6] = i + 1 == profile.packetCount ? STATUS_CYCLEEND : 0;
                message[8] = static_cast<std::uint8_t>(seq);
                message[9] = static_cast<std::uint8_t>(seq >> 8);
                (void)::sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
            }
        }
        cpuSeconds = threadCpuSeconds(CLOCK_THREAD_CPUTIME_ID) - startCpu;
        std::uint8_t end[16] = {0x64, 0, 0x10, 0, DSICONNECT_REQ, 0};
        for (int i = 0; i < 3; ++i)
            (void)::sendto(fd, end, sizeof(end), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        ::close(fd);
    });
    t.join();
    return cpuSeconds;
}

void usage() {
    std::fprintf(stderr,
                 "usage: stream_bench [--seconds S] [--format pcm32-48k|pcm32-192k|pcm32-768k|dsd64|dsd512]\n"
                 "                    [--cycle-us N] [--mode FLAGS] [--cpu N] [--convert]\n");
}

std::map<std::string, std::string> readResults(FILE* in) {
    std::map<std::string, std::string> r;
    char line[512];
    while (std::fgets(line, sizeof(line), in) != nullptr) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        const auto eq = s.find('=');
        if (eq != std::string::npos) r[s.substr(0, eq)] = s.substr(eq + 1);
    }
    return r;
}

double number(const std::map<std::string, std::string>& r, const std::string& key) {
    const auto it = r.find(key);
    return it == r.end() ? 0.0 : std::atof(it->second.c_str());
}

std::string ratio(double a, double b) {
    if (b <= 0) return "-";
    char text[32];
    std::snprintf(text, sizeof(text), "%.2f", a / b);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    // Receiver role: --receiver FORMATS TRACKBYTES SWAP MUTE CYCLENS
    if (argc == 7 && std::strcmp(argv[1], "--receiver") == 0) {
        return receiverMain(std::strtoull(argv[2], nullptr, 0), std::strtoull(argv[3], nullptr, 0),
                            std::atoi(argv[4]) != 0, static_cast<std::uint8_t>(std::atoi(argv[5])),
                            std::atof(argv[6]));
    }

    double seconds = 10;
    std::string formatName = "pcm32-192k";
    std::uint64_t cycleUs = 1000;
    int mode = Sync::CRITICAL;
    int cpu = -1;
    bool convert = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--seconds" && more) {
            seconds = std::atof(argv[++i]);
        } else if (a == "--format" && more) {
            formatName = argv[++i];
        } else if (a == "--cycle-us" && more) {
            cycleUs = std::strtoull(argv[++i], nullptr, 0);
        } else if (a == "--mode" && more) {
            mode = static_cast<int>(std::strtol(argv[++i], nullptr, 0));
        } else if (a == "--cpu" && more) {
            cpu = std::atoi(argv[++i]);
        } else if (a == "--convert") {
            convert = true;
        } else {
            usage();
            return 2;
        }
    }
    const FormatChoice* choice = nullptr;
    for (const FormatChoice& f : Formats)
        if (formatName == f.name) choice = &f;
    if (choice == nullptr || seconds <= 0 || cycleUs == 0) {
        usage();
        return 2;
    }
    if (!ownNetwork()) {
        std::fprintf(stderr, "stream_bench: no network namespace of its own: %s\n", std::strerror(errno));
        return 1;
    }

    const FormatConfigure host(choice->host);
    const std::uint64_t sinkMask = convert && choice->sink != 0 ? choice->sink : choice->host;
    const bool swap = sinkMask != choice->host;
    const std::uint64_t rate = host.getSpeed() * host.getBits() * host.getChannel() / 8;
    const std::uint64_t frameBytes = host.getWid() * host.getChannel();
    const std::uint64_t blockFrames = rate / 100 / frameBytes;  // 10 ms blocks
    const std::uint64_t blockBytes = blockFrames * frameBytes;
    const auto blocks = static_cast<std::uint64_t>(std::ceil(seconds * 100));
    const std::uint64_t trackBytes = blocks * blockBytes;

    // Start the receiver in this namespace; its stdout is our pipe.
    int pipeFd[2];
    if (::pipe(pipeFd) != 0) return 1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipeFd[1], 1);
        ::close(pipeFd[0]);
        ::close(pipeFd[1]);
        const std::string formats = std::to_string(sinkMask), bytes = std::to_string(trackBytes),
                          mute = std::to_string(FormatConfigure(sinkMask).getMuteByte()),
                          cycle = std::to_string(cycleUs * 1000);
        ::execl("/proc/self/exe", argv[0], "--receiver", formats.c_str(), bytes.c_str(), swap ? "1" : "0",
                mute.c_str(), cycle.c_str(), static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    ::close(pipeFd[1]);
    if (child < 0) {
        std::fprintf(stderr, "stream_bench: no receiver process: %s\n", std::strerror(errno));
        return 1;
    }
    // A run that fails before the stream ends would leave the receiver
    // waiting for it: end the receiver with the run.
    auto fail = [child](const char* what) {
        std::fprintf(stderr, "stream_bench: %s\n", what);
        (void)::kill(child, SIGTERM);
        (void)::waitpid(child, nullptr, 0);
        return 1;
    };
    FILE* fromReceiver = ::fdopen(pipeFd[0], "r");
    char line[64];
    if (fromReceiver == nullptr || std::fgets(line, sizeof(line), fromReceiver) == nullptr ||
        std::strncmp(line, "ready", 5) != 0) {
        return fail("the receiver did not start");
    }

    (void)ORVEX::SysLog::initialize(ORVEX::SysLog::FACILITY_LOCAL0, &countLog);
    SysLogZarnith::zarnith_log = 4;

    // The track in the ring, 10 ms per block.
    SyncBuffer sync;
    if (!sync.open(static_cast<Sync::THRED_MODE>(mode), Clock::fromMilliseconds(100), 0, "stream-bench", 1, cpu, -1,
                   0)) {
        return fail("open failed");
    }
    const ORVEX::IPAddress sinkAddress = ORVEX::IPAddress::loopback(ControlPort);
    bool asked = false;
    for (int i = 0; i < 50 && !asked; ++i) {
        asked = sync.setSink(sinkAddress, Clock(), false);
        if (!asked) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!asked || !sync.setSinkConfigure(host) ||
        !sync.configTransferFix(Clock::fromMicroseconds(cycleUs), 0)) {
        return fail("handshake, format or profile failed");
    }
    const Profile profile = sync.profiles[0];
    if (!sync.setupBuffer(blockFrames, 10, false, host)) return fail("ring setup failed");
    {
        Pattern pattern;
        std::vector<std::uint8_t> block(blockBytes);
        for (std::uint64_t b = 0; b < blocks; ++b) {
            for (auto& x : block) x = pattern.next();
            if (!sync.addStream(ORVEX::BufferCS_const(block.data(), block.size()))) return fail("addStream failed");
        }
    }
    sync.seek_front();

    int baselineLate = 0;
    const double baselineCpu = baseline(profile, frameBytes, seconds, mode, cpu, baselineLate);

    if (!sync.connectPrepare() || !sync.connect(false, -1)) {
        return fail("connect failed");
    }
    (void)sync.connectWait();
    if (!sync.state.connected()) {
        sync.close();
        return fail("not connected");
    }
    clockid_t workerClock{};
    const bool haveClock = ::pthread_getcpuclockid(sync.worker.native_handle(), &workerClock) == 0;
    sync.play();
    sync.pre_disconnect(true);
    double workerCpu = 0;
    while (sync.state.connectionRuns()) {
        if (haveClock) {
            const double c = threadCpuSeconds(workerClock);
            if (c >= 0) workerCpu = c;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    sync.close();
    const std::map<std::string, std::string> r = readResults(fromReceiver);
    int status = 0;
    ::waitpid(child, &status, 0);

    const double audioSeconds = static_cast<double>(trackBytes) / static_cast<double>(rate);
    std::printf("stream_bench format=%s%s cycle_us=%llu mode=0x%03x seconds=%.1f profile: %u x %u bytes%s\n",
                choice->name, swap ? " (converted)" : "", static_cast<unsigned long long>(cycleUs), mode, seconds,
                static_cast<unsigned>(profile.packetCount),
                static_cast<unsigned>(profile.packetSize != 0 ? profile.packetSize
                                                              : profile.framesQ14 / 16384 * frameBytes),
                profile.packetSize != 0 ? "" : " (fractional)");
    std::printf("%-22s %14s %14s %8s\n", "", "sender", "baseline", "ratio");
    std::printf("%-22s %14.0f %14.0f\n", "messages", number(r, "sender.messages"), number(r, "baseline.messages"));
    std::printf("%-22s %14.0f\n", "bytes", number(r, "sender.bytes"));
    for (const char* key : {"p50", "p99", "p999", "max"}) {
        const double s = number(r, std::string("sender.") + key), b = number(r, std::string("baseline.") + key);
        std::printf("deviation %-12s %14.1f %14.1f %8s\n", (std::string(key) + " us").c_str(), s, b,
                    ratio(s, b).c_str());
    }
    const double senderCpu = workerCpu / audioSeconds, baseCpu = baselineCpu / seconds;
    std::printf("%-22s %14.4f %14.4f %8s\n", "cpu s per audio s", senderCpu, baseCpu, ratio(senderCpu, baseCpu).c_str());
    std::printf("%-22s %14d %14d\n", "over time", g_overTime.load(), baselineLate);
    std::printf("%-22s %14.0f\n", "resend requests", number(r, "sender.resends"));
    const auto exact = r.find("sender.exact");
    std::printf("%-22s %14s\n", "bit-exact", exact == r.end() ? "unknown" : exact->second.c_str());
    return exact != r.end() && exact->second == "yes" ? 0 : 1;
}
