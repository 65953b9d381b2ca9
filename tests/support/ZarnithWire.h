// Shared pieces of the endpoint test kits (included by tests only): Zarnith
// messages built and read byte by byte, independently of the product's
// encoder; a scripted UDP/IPv6 peer; polling; and a copy of the process's log.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/SysLog.h"
#include "protocol/LittleEndian.h"

namespace tmtest {

using Bytes = std::vector<std::uint8_t>;

// A message in wire form: header (little-endian), payload, zero padding.
inline Bytes message(std::uint16_t id, std::uint16_t status, std::uint16_t o0 = 0, std::uint16_t o1 = 0,
                     std::uint16_t o2 = 0, std::uint16_t o3 = 0, const Bytes& payload = {}) {
    const std::size_t n = payload.size();
    const std::size_t padded = (n + 23) & ~std::size_t{7};
    const std::uint16_t code = static_cast<std::uint16_t>(padded | ((0 - n) & 7));
    Bytes out(padded, 0);
    const std::uint16_t words[8] = {0x0064, code, id, status, o0, o1, o2, o3};
    for (int i = 0; i < 8; ++i) {
        out[2 * i] = static_cast<std::uint8_t>(words[i]);
        out[2 * i + 1] = static_cast<std::uint8_t>(words[i] >> 8);
    }
    std::copy(payload.begin(), payload.end(), out.begin() + 16);
    return out;
}

inline Bytes message64(std::uint16_t id, std::uint16_t status, std::uint64_t option, const Bytes& payload = {}) {
    return message(id, status, static_cast<std::uint16_t>(option), static_cast<std::uint16_t>(option >> 16),
                   static_cast<std::uint16_t>(option >> 32), static_cast<std::uint16_t>(option >> 48), payload);
}

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct Header {
    std::uint16_t magic = 0, code = 0, id = 0, status = 0, o[4] = {0, 0, 0, 0};
    std::uint64_t option() const {
        return std::uint64_t{o[0]} | (std::uint64_t{o[1]} << 16) | (std::uint64_t{o[2]} << 32) |
               (std::uint64_t{o[3]} << 48);
    }
};

inline Header header(const Bytes& b) {
    Header h;
    if (b.size() < 16) return h;
    auto w = [&](int i) { return ZARNITH::readU16LE(b.data() + 2 * i); };
    h.magic = w(0);
    h.code = w(1);
    h.id = w(2);
    h.status = w(3);
    for (int i = 0; i < 4; ++i) h.o[i] = w(4 + i);
    return h;
}

// The payload a length code stands for.
inline Bytes payload(const Bytes& b) {
    if (b.size() < 16) return {};
    const std::uint16_t code = header(b).code;
    const std::size_t n = static_cast<std::uint16_t>((code ^ 7u) - 23u);
    if (16 + n > b.size()) return {};
    return Bytes(b.begin() + 16, b.begin() + 16 + static_cast<std::ptrdiff_t>(n));
}

inline std::string payloadText(const Bytes& b) {
    const Bytes p = payload(b);
    return std::string(p.begin(), p.end());
}

inline std::uint16_t u16At(const Bytes& p, std::size_t at) { return ZARNITH::readU16LE(p.data() + at); }

// Polls `condition` every millisecond for up to `timeout`.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

// One UDP/IPv6 socket driven by the test.
class UdpPeer {
public:
    // Bound to [address]:port on interface `scope` (port 0: the system's
    // choice); a non-zero `receiveBuffer` asks for that receive buffer size.
    explicit UdpPeer(std::uint16_t port = 0, const char* address = "::1", unsigned scope = 0,
                     int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer != 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, address, &a.sin6_addr);
        a.sin6_port = htons(port);
        a.sin6_scope_id = scope;
        ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
        socklen_t len = sizeof(a);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin6_port);
    }
    ~UdpPeer() { ::close(fd_); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool ok() const { return ok_; }
    std::uint16_t port() const { return port_; }
    int fd() const { return fd_; }

    bool sendTo(std::uint16_t port, const Bytes& bytes, const char* address = "::1", unsigned scope = 0) const {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, address, &a.sin6_addr);
        a.sin6_port = htons(port);
        a.sin6_scope_id = scope;
        return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a)) ==
               static_cast<ssize_t>(bytes.size());
    }

    // The next datagram within `timeout`, with its source.
    std::optional<Bytes> receive(std::chrono::milliseconds timeout, sockaddr_in6* from = nullptr) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
        Bytes b(70000);
        sockaddr_in6 a{};
        socklen_t len = sizeof(a);
        const ssize_t n = ::recvfrom(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&a), &len);
        if (n < 0) return std::nullopt;
        b.resize(static_cast<std::size_t>(n));
        if (from) *from = a;
        return b;
    }

    // The next datagram with message id `id` within `timeout`; others are skipped.
    std::optional<Bytes> receiveId(std::uint16_t id, std::chrono::milliseconds timeout) const {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            auto b = UdpPeer::receive(left);
            if (!b) return std::nullopt;
            if (header(*b).id == id) return b;
        }
    }

    // Every datagram arriving within `window`.
    std::vector<Bytes> drain(std::chrono::milliseconds window) const {
        // Everything already queued, then what comes within the window.
        std::vector<Bytes> out;
        const auto end = std::chrono::steady_clock::now() + window;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() < 0) left = std::chrono::milliseconds(0);
            auto b = UdpPeer::receive(left);
            if (!b) break;
            out.push_back(*b);
        }
        return out;
    }

    // Sends a request to `port` and returns the first answer.
    std::optional<Bytes> ask(std::uint16_t port, const Bytes& request,
                             std::chrono::milliseconds timeout = std::chrono::milliseconds(1000),
                             const char* address = "::1", unsigned scope = 0) const {
        if (!sendTo(port, request, address, scope)) return std::nullopt;
        return UdpPeer::receive(timeout);
    }

private:
    int fd_ = -1;
    bool ok_ = false;
    std::uint16_t port_ = 0;
};

// Every log message of the process as it was handed out, and the bodies of
// those of the form "<PRI>Mmm dd hh:mm:ss host body", in order.
class LogCapture {
public:
    static LogCapture& instance() {
        static LogCapture capture;
        return capture;
    }
    // Routes the process's log here at `level`.
    static void start(int level = 7) {
        (void)ORVEX::SysLog::initialize(ORVEX::SysLog::FACILITY_LOCAL0, &LogCapture::callback);
        ORVEX::SysLog::logLevel = level;
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex);
        return bodies;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        bodies.clear();
        messages.clear();
    }
    // Index of the first body from `from` on that starts with `prefix`, or -1.
    int find(const std::string& prefix, int from = 0) {
        std::lock_guard<std::mutex> lock(mutex);
        for (std::size_t i = static_cast<std::size_t>(std::max(from, 0)); i < bodies.size(); ++i)
            if (bodies[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
        return -1;
    }
    // Bodies that start with `prefix`.
    int count(const std::string& prefix) {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<int>(std::count_if(bodies.begin(), bodies.end(),
                                              [&](const std::string& b) { return b.rfind(prefix, 0) == 0; }));
    }
    // Whole messages that hold `part`.
    std::size_t countContaining(const std::string& part) {
        std::lock_guard<std::mutex> lock(mutex);
        std::size_t n = 0;
        for (const auto& line : messages)
            if (line.find(part) != std::string::npos) ++n;
        return n;
    }
    bool has(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        return std::find(bodies.begin(), bodies.end(), line) != bodies.end();
    }
    // Waits (up to `limit`) for a body that starts with `prefix`.
    bool waitFor(const std::string& prefix, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (find(prefix) >= 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return find(prefix) >= 0;
    }

private:
    static void callback(const char* message) {
        {
            std::lock_guard<std::mutex> lock(instance().mutex);
            instance().messages.emplace_back(message);
        }
        // The body follows the host name.
        const char* p = std::strchr(message, '>');
        if (p == nullptr) return;
        p += 1 + 15 + 1;
        if (std::strlen(p) == 0) return;
        const char* space = std::strchr(p, ' ');
        const std::string body = space == nullptr ? std::string() : std::string(space + 1);
        std::lock_guard<std::mutex> lock(instance().mutex);
        instance().bodies.push_back(body);
    }
    std::mutex mutex;
    std::vector<std::string> bodies;
    std::vector<std::string> messages;
};

}  // namespace tmtest
