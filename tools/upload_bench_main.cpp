// Upload benchmark: sends a track of a given size to a running host over
// loopback, in chunks of one second of 192 kHz 32-bit stereo, and prints the
// throughput and the host's peak resident memory.
//
//   upload_bench <host port> <host pid> [megabytes, default 256]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <host port> <host pid> [megabytes]\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const long pid = std::atol(argv[2]);
    const std::uint64_t megabytes = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 256;
    const std::uint64_t chunks = (megabytes * 1000000 + ChunkBytes - 1) / ChunkBytes;

    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    a.sin6_port = htons(static_cast<std::uint16_t>(port));
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::fprintf(stderr, "cannot connect to [::1]:%d: %s\n", port, std::strerror(errno));
        return 1;
    }

    std::string pending;
    const std::string format = dataPrefix(0);
    if (!sendAll(fd, format.data(), format.size()) || readReplies(fd, pending, -2, 5000) != 0) {
        std::fprintf(stderr, "the host did not take the format frame\n");
        return 1;
    }
    std::string chunk = dataPrefix(ChunkBytes);
    const std::size_t audioAt = chunk.size();
    chunk.resize(audioAt + ChunkBytes);
    for (std::size_t i = 0; i < ChunkBytes; ++i) chunk[audioAt + i] = static_cast<char>(i * 31);

    const auto start = std::chrono::steady_clock::now();
    long stacked = 0;
    for (std::uint64_t i = 0; i < chunks; ++i) {
        if (!sendAll(fd, chunk.data(), chunk.size())) {
            std::fprintf(stderr, "send failed after %llu chunks\n", static_cast<unsigned long long>(i));
            return 1;
        }
        stacked = readReplies(fd, pending, stacked, 0);
    }
    while (stacked < static_cast<long>(chunks)) {
        const long before = stacked;
        stacked = readReplies(fd, pending, stacked, 10000);
        if (stacked == before) break;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::close(fd);
    if (stacked != static_cast<long>(chunks)) {
        std::fprintf(stderr, "the host stored %ld of %llu chunks\n", stacked, static_cast<unsigned long long>(chunks));
        return 1;
    }
    const double mb = static_cast<double>(chunks * ChunkBytes) / 1e6;
    std::printf("uploaded %.1f MB in %llu chunks of %zu bytes in %.3f s: %.1f MB/s\n", mb,
                static_cast<unsigned long long>(chunks), ChunkBytes, seconds, mb / seconds);
    std::printf("host peak resident memory (VmHWM):%s\n", peakMemory(pid).c_str());
    return 0;
}
