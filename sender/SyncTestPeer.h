// Test helpers for the sender: a captured copy of the log, a scripted peer
// socket on ::1 that receives requests and sends chosen answers, and a
// sender whose stream source is a byte pattern.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <time.h>

#include "foundation/Clock.h"
#include "foundation/IPAddress.h"
#include "foundation/Socket.h"
#include "foundation/SysLog.h"
#include "foundation/ThreadPriority.h"
#include "protocol/FormatConfigure.h"
#include "protocol/Receive.h"
#include "protocol/Send.h"
#include "protocol/SysLogZarnith.h"
#include "sender/Sync.h"
#include "tests/support/ZarnithWire.h"

namespace synctest {

// Every log body of the process since the test began, in order (level 7
// and below).
class LogCapture : public tmtest::LogCapture {
public:
    // Starts each test with an empty capture: the lines of earlier tests in
    // the same process must not answer its searches. Also lifts the calling
    // (test) thread to round-robin real-time, so that a scripted peer answers
    // inside the sender's 10 ms windows on a loaded machine.
    static void start(int level = 7) {
        (void)ORVEX::ThreadPriority::setPriority(ORVEX::ThreadPriority::getSelfThreadID(),
                                                 ORVEX::ThreadPriority::HIGH);
        tmtest::LogCapture::start(level);
        instance().clear();
    }
};

// A UDP socket on [::1] with a system port, driven by the test.
class Peer {
public:
    Peer() {
        ok = socket.open(ORVEX::Socket::TYPE_UDPV6);
        // The first query turns the kernel's arrival stamps on, so that
        // SIOCGSTAMPNS gives them from the first datagram on.
        timespec stamp{};
        (void)::ioctl(socket.getDescriptor(), SIOCGSTAMPNS, &stamp);
        ORVEX::IPAddress any;
        (void)any.set_V6_str("::1");
        ok = ok && socket.bindV6(any, 1);
        address = any;
        address.ifIndex = 0;
        socket.receiveSize = 70000;
    }
    // One datagram within `limit`; false on time-out.
    bool receive(ZARNITH::Receive& message, ORVEX::IPAddress& from,
                 std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= end) return false;
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - now).count();
            const ORVEX::Clock window = ORVEX::Clock::fromMicroseconds(static_cast<std::uint64_t>(left));
            if (socket.wait(window) != ORVEX::WaitResult::Ready) continue;
            if (!socket.receiveFromV6(message, from)) return false;
            if (!message.empty()) return true;
        }
    }
    // Receives until a message with `id` comes (others are dropped).
    bool receiveId(ZARNITH::MessageID id, ZARNITH::Receive& message, ORVEX::IPAddress& from,
                   std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (!receive(message, from, std::max(left, std::chrono::milliseconds(1)))) return false;
            if (message && message.getMessage() == id) return true;
        }
        return false;
    }
    bool send(const ORVEX::IPAddress& to, const ZARNITH::Send& message) {
        return socket.sendToV6(static_cast<ORVEX::BufferCS_const>(message), to, true);
    }
    bool sendBuffer(const ORVEX::IPAddress& to, const ZARNITH::SendBuffer& message) {
        return socket.sendToV6(static_cast<ORVEX::BufferCS_const>(message), to, true);
    }
    static std::vector<std::uint8_t> bytes(const ZARNITH::Receive& message) {
        return std::vector<std::uint8_t>(message.begin(), message.end());
    }

    bool ok = false;
    ORVEX::UDPV6 socket;
    ORVEX::IPAddress address;
};

// A 16-byte header as the wire carries it.
inline std::vector<std::uint8_t> header(std::uint16_t id, std::uint16_t status, std::uint64_t option,
                                        std::uint16_t lengthCode = 0x0010) {
    std::vector<std::uint8_t> h = tmtest::message64(id, status, option);
    h[2] = static_cast<std::uint8_t>(lengthCode);
    h[3] = static_cast<std::uint8_t>(lengthCode >> 8);
    return h;
}

// A sender whose stream is a byte pattern handed out in chunks of `chunkBytes`;
// at its end it requests the disconnect and reports no more data, as the
// buffer ring does with the end armed.
class PatternSync : public ZARNITH::Sync {
public:
    // The worker calls back into this object: it must end first.
    ~PatternSync() { close(); }

    bool getNewStream(ORVEX::BufferCS_const& out) override {
        calls.fetch_add(1);
        const int delay = delayMs.load();
        if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        if (endless.load()) {
            out = ORVEX::BufferCS_const(track.data(), std::min<std::size_t>(chunkBytes, track.size()));
            return true;
        }
        if (position >= track.size()) {
            out = ORVEX::BufferCS_const();
            if (disconnectAtEnd) disconnect_flgset();
            return false;
        }
        const std::size_t n = std::min<std::size_t>(chunkBytes, track.size() - position);
        out = ORVEX::BufferCS_const(track.data() + position, n);
        position += n;
        return true;
    }
    static std::vector<std::uint8_t> pattern(std::size_t n, std::uint32_t seed = 1) {
        std::vector<std::uint8_t> v(n);
        std::uint32_t x = seed;
        for (auto& b : v) {
            x = x * 1664525u + 1013904223u;
            b = static_cast<std::uint8_t>(x >> 24);
        }
        return v;
    }

    std::vector<std::uint8_t> track;
    std::size_t chunkBytes = 1000;
    std::size_t position = 0;  // worker thread
    bool disconnectAtEnd = true;
    std::atomic<int> calls{0};
    std::atomic<int> delayMs{0};
    std::atomic<bool> endless{false};
};

// 32-bit PCM stereo at 48 kHz.
inline ZARNITH::FormatConfigure pcm32Stereo48k() {
    return ZARNITH::FormatConfigure(ZARNITH::CH2 | ZARNITH::PCM32 | ZARNITH::BASE_48000 | ZARNITH::MULTI_1);
}

// A Fix profile: `cycleUs` microseconds, `count` messages of `frames` frames.
inline ZARNITH::Profile fixProfile(std::uint64_t cycleUs, std::uint16_t count, std::uint32_t frames) {
    ZARNITH::Profile p;
    p.cycle = ORVEX::Clock::fromMicroseconds(cycleUs);
    p.packetSize = 0;
    p.packetSizeMax = frames * 8;
    p.framesQ14 = frames * 16384;
    p.packetCount = count;
    p.mode = ZARNITH::Profile::MODE_FIX;
    return p;
}

}  // namespace synctest
