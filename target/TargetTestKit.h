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
#include "tests/support/ZarnithWire.h"

namespace targettest {

using tmtest::Bytes;
using namespace std::chrono_literals;

using ZARNITH::TargetPort;

// How long a test waits for something that must come. The worker runs at
// idle priority, so a busy machine may hold it off for seconds; a wait that
// succeeds ends as soon as its condition holds.
constexpr std::chrono::milliseconds Patience = 15000ms;

inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = Patience) {
    return tmtest::eventually(condition, timeout);
}

using tmtest::Header;
using tmtest::header;
using tmtest::message;
using tmtest::message64;
using tmtest::payload;
using tmtest::payloadText;
using tmtest::text;
using tmtest::u16At;

// One UDP/IPv6 socket driven by the test.
class UdpPeer : public tmtest::UdpPeer {
public:
    using tmtest::UdpPeer::UdpPeer;

    // Sends a request to the target and returns its answer: the first datagram
    // with the request's id plus one, or with its own id (an echo). Others,
    // such as a late answer to an earlier request, are skipped.
    std::optional<Bytes> ask(const Bytes& request, std::chrono::milliseconds timeout = Patience,
                             const char* address = "::1", unsigned scope = 0) const {
        if (!sendTo(TargetPort, request, address, scope)) return std::nullopt;
        const std::uint16_t id = header(request).id;
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            auto b = receive(left);
            if (!b) return std::nullopt;
            const std::uint16_t got = header(*b).id;
            if (got == id || got == static_cast<std::uint16_t>(id + 1)) return b;
        }
    }
};

// Every log message of the process, at level 7. Each test starts with an
// empty capture, so that counts see only its own lines.
class LogCapture {
public:
    static void start() {
        tmtest::LogCapture::start(7);
        clear();
    }
    // Messages that hold `part`.
    static std::size_t count(const std::string& part) { return tmtest::LogCapture::instance().countContaining(part); }
    static void clear() { tmtest::LogCapture::instance().clear(); }
};

// The worker's clock runs ahead of the real one by `skew`; once frozen, it
// stands still at `frozenAt` (plus `skew`), so that a test of a time limit
// does not depend on how fast the worker gets through its messages. The
// worker reads it once per pass of its loop, so `passes` counts the passes.
inline std::atomic<std::uint64_t> skew{0};
inline std::atomic<std::uint64_t> frozenAt{0};  // 0: running
inline std::atomic<std::uint64_t> passes{0};
inline ORVEX::Clock skewedNow() {
    ++passes;
    const std::uint64_t frozen = frozenAt.load();
    return (frozen != 0 ? ORVEX::Clock(frozen) : ORVEX::Clock::now()) + ORVEX::Clock(skew.load());
}
inline void advance(ORVEX::Clock by) { skew += by.picoseconds(); }
inline void freezeClock() { frozenAt = ORVEX::Clock::now().picoseconds(); }
// Waits until the worker has made `n` more passes (each one wakes at the
// latest after its one-second wait).
inline bool morePasses(std::uint64_t n, std::chrono::milliseconds limit = Patience) {
    const std::uint64_t target = passes.load() + n;
    return eventually([&] { return passes.load() >= target; }, limit);
}

class TestTarget : public ZARNITH::Target {
public:
    explicit TestTarget(const Setting& s) : Target(s) {
        skew = 0;
        frozenAt = 0;
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

// A second address on the loopback interface, for peers that are not ::1
// (already there from an earlier test of the process is fine).
inline bool addLocalAddress(const char* address) {
    return tmtest::shell(std::string("ip -6 addr replace ") + address + "/128 dev lo nodad") == 0;
}

}  // namespace targettest
