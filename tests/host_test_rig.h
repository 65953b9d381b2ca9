// The rig of the host's process and end-to-end tests: controller frames and
// a frame-level controller over TCP, the scripted controller
// (tests/controller.py) as a process, the host as a process in a network
// namespace with its log datagrams read on [::1]:19640 there, and a fixture
// with two namespaces joined by a veth pair.
#pragma once

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"

namespace hostrig {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;
using tmtest::NetnsPair;

inline constexpr auto Patience = 20s;  // the host runs at idle priority: allow for a busy machine

inline std::string hex(std::uint64_t v) {
    std::ostringstream s;
    s << std::hex << v;
    return s.str();
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---- controller frames ----------------------------------------------------

inline std::string prefix(std::size_t length, std::uint8_t type) {
    std::string p(9, '\0');
    p[0] = static_cast<char>((length >> 16) & 0xFF);
    p[1] = static_cast<char>((length >> 8) & 0xFF);
    p[2] = static_cast<char>(length & 0xFF);
    p[3] = static_cast<char>(type);
    return p;
}
inline std::string textFrame(const std::string& text) { return prefix(6 + text.size(), 1) + std::string(6, '\0') + text; }
inline std::string dataFrame(std::uint64_t format, const std::string& audio = std::string()) {
    std::string f = prefix(9 + audio.size(), 0) + std::string(1, '\x5A');  // reserved byte: any value
    for (int i = 0; i < 8; ++i) f.push_back(static_cast<char>((format >> (8 * i)) & 0xFF));
    return f + audio;
}
inline std::string tagFrame(const std::string& name) { return prefix(1 + name.size(), 2) + std::string(1, '\0') + name; }
// The host's reply: one line ended by CR LF.
inline std::string reply(const std::string& key, const std::string& value) { return textFrame(key + "=" + value + "\r\n"); }

// 2 channels, 32-bit PCM, 48 kHz; one second of 192 kHz 32-bit stereo for large chunks.
inline constexpr std::uint64_t Pcm32x48k = 0x02 | 0x800 | 0x400000000ULL | 0x800000000ULL;
inline constexpr std::uint64_t Pcm16x44k = 0x02 | 0x200 | 0x200000000ULL | 0x800000000ULL;
inline const std::string LoopTag = "@@Zarnith-TAG-LOOP@@";
inline const std::string QuitTag = "@@Zarnith-TAG-QUIT@@";

class Controller {
public:
    ~Controller() {
        if (fd_ >= 0) ::close(fd_);
    }
    // To the host on [::1].
    bool connect(std::uint16_t port, int receiveBuffer = 0) { return connectTo(in6addr_loopback, 0, port, receiveBuffer); }
    // To a host at `address` (with its scope, for a link-local address).
    bool connectTo(const in6_addr& address, unsigned scope, std::uint16_t port, int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return false;
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = address;
        a.sin6_scope_id = scope;
        a.sin6_port = htons(port);
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    bool send(const std::string& bytes) {
        std::size_t at = 0;
        while (at < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return false;
            at += static_cast<std::size_t>(n);
        }
        return true;
    }
    // The next whole frame from the host, or nothing within `timeout`.
    std::optional<std::string> frame(Ms timeout = Patience) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (pending_.size() >= 9) {
                const std::size_t length = (static_cast<std::uint8_t>(pending_[0]) << 16) |
                                           (static_cast<std::uint8_t>(pending_[1]) << 8) |
                                           static_cast<std::uint8_t>(pending_[2]);
                if (pending_.size() >= 9 + length) {
                    std::string f = pending_.substr(0, 9 + length);
                    pending_.erase(0, 9 + length);
                    return f;
                }
            }
            const auto left = std::chrono::duration_cast<Ms>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[65536];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                closed_ = true;
                return std::nullopt;
            }
            pending_.append(buf, static_cast<std::size_t>(n));
        }
    }
    // The text of the next frame, a one-line reply, without its CR LF
    // ("Key=Value"), or nothing within `timeout`.
    std::optional<std::string> line(Ms timeout = Patience) {
        auto f = frame(timeout);
        if (!f) return std::nullopt;
        std::string text = f->size() > 15 ? f->substr(15) : std::string();
        if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) text.resize(text.size() - 2);
        return text;
    }
    // The first frame (within `timeout`) whose text holds `line` as one of
    // its lines; the frames before it are dropped.
    std::optional<std::string> frameWithLine(const std::string& line, Ms timeout = Patience) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<Ms>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            auto f = frame(left);
            if (!f) return std::nullopt;
            if (hasLine(*f, line)) return f;
        }
    }
    // Whether the text of `frame` holds `line` as one of its lines.
    static bool hasLine(const std::string& frame, const std::string& line) {
        if (frame.size() < 15) return false;
        std::string text(1, '\n');
        text.append(frame, 15, std::string::npos);
        std::string wanted(1, '\n');
        wanted.append(line).append("\r\n");
        return text.find(wanted) != std::string::npos;
    }
    // True when the host closes the connection within `timeout`.
    bool closedByHost(Ms timeout = Patience) {
        while (!closed_ && frame(timeout)) {
        }
        return closed_;
    }
    void close() {
        ::close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    std::string pending_;
    bool closed_ = false;
};

// ---- log datagrams of one namespace ----------------------------------------

class NsLog {
public:
    explicit NsLog(const std::string& ns) {
        tmtest::ScopedNetns inside(ns);
        if (!inside.ok()) return;
        fd_ = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int big = 16 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(19640);
        ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (ok_) thread_ = std::thread([this] { collect(); });
    }
    ~NsLog() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return ok_; }

    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    // The text of the first line holding `needle` (within `timeout`).
    std::optional<std::string> waitFor(const std::string& needle, Ms timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        do {
            for (const auto& l : lines())
                if (l.find(needle) != std::string::npos) return l;
            std::this_thread::sleep_for(10ms);
        } while (std::chrono::steady_clock::now() < end);
        return std::nullopt;
    }
    std::size_t count(const std::string& needle) {
        std::size_t n = 0;
        for (const auto& l : lines())
            if (l.find(needle) != std::string::npos) ++n;
        return n;
    }
    // Index of the first line holding `needle` at or after `from`; -1 when none.
    long indexOf(const std::string& needle, long from = 0) {
        const auto all = lines();
        for (std::size_t i = static_cast<std::size_t>(from); i < all.size(); ++i)
            if (all[i].find(needle) != std::string::npos) return static_cast<long>(i);
        return -1;
    }
    std::string dump() {
        std::string out;
        for (const auto& l : lines()) {
            // Text lines only: the sender's statistics records are raw bytes.
            bool text = true;
            for (unsigned char ch : l) text = text && (ch >= 0x20 || ch == '\t');
            if (text && l.find("info rcv") == std::string::npos) out += l + "\n";
        }
        return out;
    }

private:
    void collect() {
        char buf[2048];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) continue;
            std::string text(buf, static_cast<std::size_t>(n));
            // The text follows the syslog header "<pri>Mon dd hh:mm:ss host ".
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(std::move(text));
        }
    }

    int fd_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// ---- processes -------------------------------------------------------------

// The lines a controller received ("Key=Value"), with their time in seconds.
struct Received {
    double t;
    std::string line;
};

struct ControllerRun {
    tmtest::ChildProcess process;
    std::string ns;

    bool start(const std::string& netns, std::uint16_t port, const std::vector<std::string>& steps) {
        ns = netns;
        std::vector<std::string> argv{"python3", tmtest::sourcePath("tests/controller.py"), "--port",
                                      std::to_string(port)};
        argv.insert(argv.end(), steps.begin(), steps.end());
        return process.start(NetnsPair::inNs(netns, argv));
    }
    // Waits for the end; true when every step succeeded.
    bool finish(Ms timeout) {
        if (!process.wait(timeout)) {
            process.signal(SIGKILL);
            (void)process.wait(2000ms);
            return false;
        }
        return process.exitStatus() == 0;
    }
    std::vector<Received> received() const {
        std::vector<Received> out;
        std::istringstream in(process.output());
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("RX ", 0) != 0) continue;
            const std::size_t space = line.find(' ', 3);
            if (space == std::string::npos) continue;
            out.push_back({std::atof(line.c_str() + 3), line.substr(space + 1)});
        }
        return out;
    }
    // Waits until the controller has received `line`; false after `timeout`.
    bool waitForLine(const std::string& line, Ms timeout) const {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!sawLine(line)) {
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }
    bool sawLine(const std::string& line) const {
        for (const auto& r : received())
            if (r.line == line) return true;
        return false;
    }
    // Seconds of the first received line equal to `line` (after `after`); -1 when none.
    double timeOf(const std::string& line, double after = -1) const {
        for (const auto& r : received())
            if (r.t > after && r.line == line) return r.t;
        return -1;
    }
    // Seconds at which a step began; -1 when it did not run.
    double stepTime(const std::string& step) const {
        std::istringstream in(process.output());
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("STEP ", 0) != 0) continue;
            const std::size_t space = line.find(' ', 5);
            if (space != std::string::npos && line.substr(space + 1) == step) return std::atof(line.c_str() + 5);
        }
        return -1;
    }
    std::vector<long> lastTimes() const {
        std::vector<long> out;
        for (const auto& r : received())
            if (r.line.rfind("LastTime=", 0) == 0) out.push_back(std::atol(r.line.c_str() + 9));
        return out;
    }
};

class HostProcess {
public:
    HostProcess(const std::string& ns, const std::string& dir, const std::string& name) : ns_(ns), log(ns) {
        settingsPath_ = dir + "/" + name + ".inf";
    }
    bool start(const std::string& settings) {
        if (!log.ok()) return false;
        std::ofstream(settingsPath_, std::ios::binary) << "Debug=enable\n" << settings;
        if (!process.start(NetnsPair::inNs(ns_, {tmtest::binPath("tolvenmarkhost"), settingsPath_}))) return false;
        const auto bind = log.waitFor("Bind : ", 20000ms);
        if (!bind) return false;
        port = static_cast<std::uint16_t>(std::atoi(bind->c_str() + bind->find("Bind : ") + 7));
        return port != 0 && log.waitFor("Zarnith Sink Library ReleaseNo", 20000ms).has_value();
    }
    // SIGTERM and the exit status (-1 when it did not end in time).
    int stop(Ms limit = 10000ms) {
        if (!process.signal(SIGTERM)) return process.exitStatus();
        if (!process.wait(limit)) return -1;
        return process.exitStatus();
    }

    std::string ns_;
    std::string settingsPath_;
    NsLog log;
    tmtest::ChildProcess process;
    std::uint16_t port = 0;
};

// Two namespaces and a temporary directory.
class NetnsRig : public ::testing::Test {
protected:
    void SetUp() override {
        net = std::make_unique<NetnsPair>();
        if (!net->ok()) GTEST_SKIP() << "network namespaces are not available: " << net->reason();
        char dir[] = "/tmp/tmplayXXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        directory = dir;
    }
    void TearDown() override {
        if (!directory.empty()) tmtest::shell("rm -rf " + directory);
    }

    // The track written to a file for the controller; returns its path.
    std::string writeTrack(const std::string& name, const std::string& bytes) {
        const std::string path = directory + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::unique_ptr<NetnsPair> net;
    std::string directory;
};

}  // namespace hostrig
