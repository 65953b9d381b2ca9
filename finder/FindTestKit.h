// Test kit for the finder (included by tests only): a copy of the log, and a
// scripted endpoint, a UDP socket whose thread hands every received datagram
// to the test's handler and records the valid requests.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Clock.h"
#include "foundation/IPAddress.h"
#include "foundation/Socket.h"
#include "foundation/SysLog.h"
#include "protocol/Receive.h"
#include "protocol/Send.h"
#include "protocol/SysLogZarnith.h"
#include "tests/support/ZarnithWire.h"

namespace findtest {

// Every log body of the process, in order.
using tmtest::LogCapture;

inline ORVEX::IPAddress address(const std::string& text, std::uint16_t port = 0, std::uint32_t ifIndex = 0) {
    ORVEX::IPAddress a;
    (void)a.set_V6_str(text);
    a.set_port(port);
    a.ifIndex = ifIndex;
    return a;
}

// A message with options and an optional text payload.
inline ZARNITH::SendBuffer reply(std::uint16_t id, std::uint16_t status, std::uint16_t o0 = 0, std::uint16_t o1 = 0,
                                 std::uint16_t o2 = 0, std::uint16_t o3 = 0, const std::string& payload = "") {
    ZARNITH::SendBuffer m;
    m.set(static_cast<ZARNITH::MessageID>(id), static_cast<ZARNITH::StatusID>(status), o0, o1, o2, o3);
    m.set_str(payload);
    m.update();
    return m;
}

inline ZARNITH::SendBuffer reply64(std::uint16_t id, std::uint16_t status, std::uint64_t option,
                                   const std::string& payload = "") {
    ZARNITH::SendBuffer m;
    m.set(static_cast<ZARNITH::MessageID>(id), static_cast<ZARNITH::StatusID>(status), option);
    m.set_str(payload);
    m.update();
    return m;
}

// One valid request as the endpoint received it.
struct Request {
    std::uint16_t id = 0;
    std::uint16_t status = 0;
    std::uint16_t o[4] = {0, 0, 0, 0};
    std::uint64_t option = 0;
    std::vector<std::uint8_t> payload;
    std::size_t datagram = 0;
    ORVEX::IPAddress from;
    std::string text() const { return std::string(payload.begin(), payload.end()); }
};

// A scripted endpoint on a UDP socket. The handler runs on the endpoint's
// thread for every valid message (after it is recorded).
class Peer {
public:
    using Handler = std::function<void(Peer&, const Request&)>;

    // Bound to `at` (port 0: the system's choice); joins ff02::1 on
    // `joinIfIndex` when it is non-zero. Create it inside the namespace it
    // belongs to; the thread may then run anywhere.
    explicit Peer(ORVEX::IPAddress at, std::uint32_t joinIfIndex = 0) {
        ok = socket.open(ORVEX::Socket::TYPE_UDPV6);
        socket.receiveSize = 70000;
        ok = ok && socket.bindV6(at, 1);
        if (ok && joinIfIndex != 0) {
            ORVEX::IPAddress group = findtest::address("ff02::1", 0, joinIfIndex);
            ok = socket.memberV6(group);
        }
        self = at;
    }
    ~Peer() { stop(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    void run(Handler h) {
        handler = std::move(h);
        running = true;
        thread = std::thread([this] { loop(); });
    }
    void stop() {
        running = false;
        if (thread.joinable()) thread.join();
    }

    bool send(const ORVEX::IPAddress& to, const ZARNITH::Send& m) {
        return socket.sendToV6(static_cast<ORVEX::BufferCS_const>(m), to, true);
    }
    bool sendRaw(const ORVEX::IPAddress& to, const std::vector<std::uint8_t>& bytes) {
        return socket.sendToV6(ORVEX::BufferCS_const(bytes.data(), bytes.size()), to, true);
    }
    // Answers the request's sender.
    bool answer(const Request& r, const ZARNITH::Send& m) { return send(r.from, m); }

    std::vector<Request> requests() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::vector<Request>(received.begin(), received.end());
    }
    std::vector<Request> requests(std::uint16_t id) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Request> out;
        for (const Request& r : received)
            if (r.id == id) out.push_back(r);
        return out;
    }
    // Waits (bounded) until `n` requests of `id` have come.
    std::size_t waitRequests(std::uint16_t id, std::size_t n) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (requests(id).size() < n && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return requests(id).size();
    }
    std::uint16_t port() const { return self.get_port(); }

    bool ok = false;
    ORVEX::Socket socket;
    ORVEX::IPAddress self;

private:
    void loop() {
        ZARNITH::Receive m;
        ORVEX::IPAddress from;
        while (running) {
            if (socket.wait(ORVEX::Clock::fromMilliseconds(20)) != ORVEX::WaitResult::Ready) continue;
            if (!socket.receiveFromV6(m, from) || m.empty() || !m) continue;
            Request r;
            r.id = m.getMessage();
            r.status = m.getStatus();
            r.o[0] = m.getOption0();
            r.o[1] = m.getOption1();
            r.o[2] = m.getOption2();
            r.o[3] = m.getOption3();
            r.option = m.getOption();
            r.payload.assign(m.get_data(), m.get_data() + m.size_data());
            r.datagram = m.size();
            r.from = from;
            {
                std::lock_guard<std::mutex> lock(mutex);
                received.push_back(r);
            }
            if (handler) handler(*this, r);
        }
    }

    Handler handler;
    std::atomic<bool> running{false};
    std::thread thread;
    std::mutex mutex;
    // Every request so far (endpoint thread appends, test thread reads). A
    // deque never moves what it holds, so a long exchange never waits for a
    // copy of all earlier requests.
    std::deque<Request> received;
};

}  // namespace findtest
