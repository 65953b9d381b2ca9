// Upload benchmark: sends a track of a given size over loopback, in chunks of
// one second of 192 kHz 32-bit stereo, to a baseline receiver and to a
// running host in turn, and prints for both the throughput, the CPU time the
// receiving thread spent and the peak resident memory, with the ratios.
//
//   upload_bench <host port> <host pid> [megabytes, default 256] [rounds, default 3]
//
// The baseline is the least any receiver of the track must do: a plain TCP
// receiver in a process of its own, at the host's idle scheduling class, that
// keeps every byte in fresh memory (each frame read straight into a new
// allocation of its size) and answers each frame as the host does. Both get
// the same frames, sent and answered the same way, in the same run; each
// round uploads to a new baseline process, then to the host (whose next
// format frame replaces the track), and the medians are printed. The CPU time
// holds better than the throughput on a busy machine, where a receiver of the
// idle class waits for every other process.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t Format = 0x02 | 0x800 | 0x400000000ULL | (0x800000000ULL << 2);  // 2 ch, PCM32, 192 kHz
constexpr std::size_t ChunkBytes = 192000 * 4 * 2;                                      // one second

std::string prefix(std::size_t length, std::uint8_t type) {
    std::string p(9, '\0');
    p[0] = static_cast<char>((length >> 16) & 0xFF);
    p[1] = static_cast<char>((length >> 8) & 0xFF);
    p[2] = static_cast<char>(length & 0xFF);
    p[3] = static_cast<char>(type);
    return p;
}

std::string dataPrefix(std::size_t audioBytes) {
    std::string f = prefix(9 + audioBytes, 0) + std::string(1, '\0');
    for (int i = 0; i < 8; ++i) f.push_back(static_cast<char>((Format >> (8 * i)) & 0xFF));
    return f;
}

bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool receiveAll(int fd, std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::recv(fd, data, size, 0);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads replies; returns the last "DataStack" value seen (or `last`).
long readReplies(int fd, std::string& pending, long last, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, timeoutMs) > 0) {
        char buf[65536];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        pending.append(buf, static_cast<std::size_t>(n));
        for (;;) {
            if (pending.size() < 9) break;
            const std::size_t length = (static_cast<std::uint8_t>(pending[0]) << 16) |
                                       (static_cast<std::uint8_t>(pending[1]) << 8) |
                                       static_cast<std::uint8_t>(pending[2]);
            if (pending.size() < 9 + length) break;
            const std::string text = pending.substr(15, length > 6 ? length - 6 : 0);
            pending.erase(0, 9 + length);
            if (text.rfind("DataStack=", 0) == 0) last = std::strtol(text.c_str() + 10, nullptr, 10);
        }
        timeoutMs = 0;
    }
    return last;
}

std::string peakMemory(long pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return line.substr(6);
    return " unknown";
}

// CPU time of the calling thread, in seconds.
double threadCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// CPU time of a process's main thread (where the host reads its
// controllers), in seconds; -1 when it cannot be read.
double mainThreadCpuSeconds(long pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/schedstat");
    unsigned long long ns = 0;
    if (!(stat >> ns)) return -1;
    return static_cast<double>(ns) / 1e9;
}

// The baseline's work on one connection: every frame into fresh memory of
// its size, kept to the end; "DataStack" with the count of audio frames
// after each one, as the host answers.
void keepEveryFrame(int fd) {
    std::vector<std::unique_ptr<std::uint8_t[]>> kept;
    long frames = -1;
    std::uint8_t head[9];
    while (receiveAll(fd, head, sizeof head)) {
        const std::size_t length = (static_cast<std::size_t>(head[0]) << 16) | (head[1] << 8) | head[2];
        kept.emplace_back(new std::uint8_t[length == 0 ? 1 : length]);
        if (!receiveAll(fd, kept.back().get(), length)) break;
        ++frames;
        const std::string line = "DataStack=" + std::to_string(frames) + "\r\n";
        const std::string answer = prefix(6 + line.size(), 1) + std::string(6, '\0') + line;
        if (!sendAll(fd, answer.data(), answer.size())) break;
    }
}

// A listening socket on [::1] with a port chosen by the system.
int listenLoopback(std::uint16_t& port) {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    socklen_t size = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    port = ntohs(a.sin6_port);
    return fd;
}

// The baseline receiver as a child process; its pid, or -1. It writes the
// CPU time its connection took (a double) to `report` before it ends.
pid_t startBaseline(std::uint16_t& port, int report) {
    const int listener = listenLoopback(port);
    if (listener < 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        sched_param idle{};
        (void)::sched_setscheduler(0, SCHED_IDLE, &idle);  // as the host's main thread
        const int fd = ::accept(listener, nullptr, nullptr);
        const double begin = threadCpuSeconds();
        if (fd >= 0) keepEveryFrame(fd);
        const double cpu = threadCpuSeconds() - begin;
        (void)!::write(report, &cpu, sizeof cpu);
        ::_exit(0);
    }
    ::close(listener);
    return pid;
}

struct Upload {
    double seconds = 0;
    bool ok = false;
};

// The format frame, then `chunks` chunks, sent without waiting and answered
// as they go; the time runs from the first chunk to the last answer.
Upload upload(std::uint16_t port, std::uint64_t chunks, const std::string& chunk) {
    Upload result;
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    a.sin6_port = htons(port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::fprintf(stderr, "cannot connect to [::1]:%u: %s\n", static_cast<unsigned>(port), std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return result;
    }
    std::string pending;
    const std::string format = dataPrefix(0);
    if (!sendAll(fd, format.data(), format.size()) || readReplies(fd, pending, -2, 5000) != 0) {
        std::fprintf(stderr, "[::1]:%u did not take the format frame\n", static_cast<unsigned>(port));
        ::close(fd);
        return result;
    }
    const auto start = std::chrono::steady_clock::now();
    long stacked = 0;
    for (std::uint64_t i = 0; i < chunks; ++i) {
        if (!sendAll(fd, chunk.data(), chunk.size())) {
            std::fprintf(stderr, "send failed after %llu chunks\n", static_cast<unsigned long long>(i));
            ::close(fd);
            return result;
        }
        stacked = readReplies(fd, pending, stacked, 0);
    }
    while (stacked < static_cast<long>(chunks)) {
        const long before = stacked;
        stacked = readReplies(fd, pending, stacked, 10000);
        if (stacked == before) break;
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::close(fd);
    if (stacked != static_cast<long>(chunks)) {
        std::fprintf(stderr, "[::1]:%u stored %ld of %llu chunks\n", static_cast<unsigned>(port), stacked,
                     static_cast<unsigned long long>(chunks));
        return result;
    }
    result.ok = true;
    return result;
}

struct Figures {
    double seconds = 0;
    double cpuSeconds = 0;
    long peakKb = 0;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

long peakKbOf(long pid) { return std::atol(peakMemory(pid).c_str()); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <host port> <host pid> [megabytes] [rounds]\n", argv[0]);
        return 2;
    }
    const auto hostPort = static_cast<std::uint16_t>(std::atoi(argv[1]));
    const long pid = std::atol(argv[2]);
    const std::uint64_t megabytes = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 256;
    const int rounds = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
    const std::uint64_t chunks = (megabytes * 1000000 + ChunkBytes - 1) / ChunkBytes;

    std::string chunk = dataPrefix(ChunkBytes);
    const std::size_t audioAt = chunk.size();
    chunk.resize(audioAt + ChunkBytes);
    for (std::size_t i = 0; i < ChunkBytes; ++i) chunk[audioAt + i] = static_cast<char>(i * 31);
    const double mb = static_cast<double>(chunks * ChunkBytes) / 1e6;
    std::printf("track %.1f MB in %llu chunks of %zu bytes, %d rounds\n", mb, static_cast<unsigned long long>(chunks),
                ChunkBytes, rounds);

    std::vector<Figures> base, host;
    for (int round = 0; round < rounds; ++round) {
        int report[2];
        if (::pipe(report) != 0) return 1;
        std::uint16_t basePort = 0;
        const pid_t basePid = startBaseline(basePort, report[1]);
        if (basePid < 0) {
            std::fprintf(stderr, "cannot start the baseline receiver: %s\n", std::strerror(errno));
            return 1;
        }
        ::close(report[1]);
        const Upload b = upload(basePort, chunks, chunk);
        Figures fb;
        fb.seconds = b.seconds;
        if (::read(report[0], &fb.cpuSeconds, sizeof fb.cpuSeconds) != sizeof fb.cpuSeconds) fb.cpuSeconds = -1;
        ::close(report[0]);
        int status = 0;
        rusage usage{};
        (void)::wait4(basePid, &status, 0, &usage);
        fb.peakKb = usage.ru_maxrss;
        if (!b.ok) return 1;

        const double cpuBefore = mainThreadCpuSeconds(pid);
        const Upload h = upload(hostPort, chunks, chunk);
        if (!h.ok) return 1;
        Figures fh;
        fh.seconds = h.seconds;
        fh.cpuSeconds = mainThreadCpuSeconds(pid) - cpuBefore;
        fh.peakKb = peakKbOf(pid);
        std::printf("round %d: baseline %.1f MB/s, %.3f s CPU; host %.1f MB/s, %.3f s CPU\n", round + 1,
                    mb / fb.seconds, fb.cpuSeconds, mb / fh.seconds, fh.cpuSeconds);
        base.push_back(fb);
        host.push_back(fh);
    }

    const auto medianOf = [](const std::vector<Figures>& f, double Figures::*field) {
        std::vector<double> v;
        for (const Figures& x : f) v.push_back(x.*field);
        return median(v);
    };
    const double bs = medianOf(base, &Figures::seconds), hs = medianOf(host, &Figures::seconds);
    const double bc = medianOf(base, &Figures::cpuSeconds), hc = medianOf(host, &Figures::cpuSeconds);
    long bp = 0, hp = 0;
    for (const Figures& x : base) bp = std::max(bp, x.peakKb);
    for (const Figures& x : host) hp = std::max(hp, x.peakKb);
    std::printf("median     throughput      CPU s per GB     peak resident\n");
    std::printf("baseline   %8.1f MB/s   %8.3f         %9ld kB\n", mb / bs, bc * 1000 / mb, bp);
    std::printf("host       %8.1f MB/s   %8.3f         %9ld kB\n", mb / hs, hc * 1000 / mb, hp);
    std::printf("host/base  %8.2f        %8.2f         %9.2f\n", bs / hs, hc / bc,
                static_cast<double>(hp) / static_cast<double>(bp));
    return 0;
}
