// Test kit for the target endpoint (included by tests only): wire bytes built
// and read by hand, a scripted UDP peer, a log capture, and a target whose
// clock the test can move on.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
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
#include "target/Target.h"
#include "tests/support/TestSupport.h"

namespace targettest {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

constexpr std::uint16_t TargetPort = 19642;

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
    auto w = [&](int i) { return static_cast<std::uint16_t>(b[2 * i] | (b[2 * i + 1] << 8)); };
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

inline std::uint16_t u16At(const Bytes& p, std::size_t at) {
    return static_cast<std::uint16_t>(p[at] | (p[at + 1] << 8));
}

// One UDP/IPv6 socket driven by the test.
class UdpPeer {
public:
    explicit UdpPeer(std::uint16_t port = 0, const char* address = "::1", unsigned scope = 0) {
        fd_ = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
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
            auto b = receive(left);
            if (!b) return std::nullopt;
            if (header(*b).id == id) return b;
        }
    }

    // Sends a request to the target and returns the first answer.
    std::optional<Bytes> ask(const Bytes& request, std::chrono::milliseconds timeout = 1000ms,
                             const char* address = "::1", unsigned scope = 0) const {
        if (!sendTo(TargetPort, request, address, scope)) return std::nullopt;
        return receive(timeout);
    }

private:
    int fd_ = -1;
    bool ok_ = false;
    std::uint16_t port_ = 0;
};

// Polls `condition` every millisecond for up to `timeout`.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 3000ms) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return condition();
}

// Every log message of the process, at level 7.
class LogCapture {
public:
    static void start() {
        (void)ORVEX::SysLog::initialize(ORVEX::SysLog::FACILITY_LOCAL0, &LogCapture::take);
        ORVEX::SysLog::logLevel = 7;
    }
    static std::size_t count(const std::string& part) {
        std::lock_guard<std::mutex> lock(mutex());
        std::size_t n = 0;
        for (const auto& line : lines())
            if (line.find(part) != std::string::npos) ++n;
        return n;
    }
    static void clear() {
        std::lock_guard<std::mutex> lock(mutex());
        lines().clear();
    }

private:
    static void take(const char* message) {
        std::lock_guard<std::mutex> lock(mutex());
        lines().emplace_back(message);
    }
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string>& lines() {
        static std::vector<std::string> l;
        return l;
    }
};

// The worker's clock runs ahead of the real one by `skew`.
inline std::atomic<std::uint64_t> skew{0};
inline ORVEX::Clock skewedNow() { return ORVEX::Clock::now() + ORVEX::Clock(skew.load()); }
inline void advance(ORVEX::Clock by) { skew += by.picoseconds(); }

class TestTarget : public ZARNITH::Target {
public:
    explicit TestTarget(const Setting& s) : Target(s) {
        skew = 0;
        setClockSource(&skewedNow);
    }
    ~TestTarget() override { close(); }
    using Target::getTransferBuffer;
};

// The setting the host application uses, with its controller port.
inline ZARNITH::Target::Setting hostSetting(std::uint16_t controllerPort = 40001) {
    ZARNITH::Target::Setting s;
    s.productId = 0;
    s.typeMask = 5;
    s.name = "TolvenmarkHost";
    s.loopbackAllowed = 1;
    ZARNITH::Target::Setting::RegistSt kx1;
    kx1.port = controllerPort;
    kx1.id = 1;
    kx1.name = "KX1";
    kx1.sel = 1;
    kx1.type = 4;
    s.ports.push_back(kx1);
    return s;
}

// A second address on the loopback interface, for peers that are not ::1.
inline bool addLocalAddress(const char* address) {
    return tmtest::shell(std::string("ip -6 addr add ") + address + "/128 dev lo nodad") == 0;
}

}  // namespace targettest
