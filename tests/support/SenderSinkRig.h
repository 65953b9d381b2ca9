// The sender with its buffer ring against the capture sink program: a track
// played from the ring to a sink endpoint, the sink run as a child process,
// and the checks of what it wrote (included by tests only).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Clock.h"
#include "foundation/IPAddress.h"
#include "protocol/FormatConfigure.h"
#include "sender/SyncBuffer.h"
#include "tests/support/TestSupport.h"

namespace tmtest {

using namespace std::chrono_literals;

inline std::vector<std::uint8_t> patternTrack(std::size_t bytes) {
    std::vector<std::uint8_t> v(bytes);
    std::uint32_t x = 12345;
    for (auto& b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    // A start that is no silence byte of any format, so the track is found.
    for (std::size_t i = 0; i < 8 && i < v.size(); ++i) v[i] = 0x11;
    return v;
}

inline std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What the sink should have received for a track in the host's format.
inline std::vector<std::uint8_t> onTheWire(const std::vector<std::uint8_t>& track, bool swapWords) {
    if (!swapWords) return track;
    std::vector<std::uint8_t> out(track.size());
    for (std::size_t i = 0; i < track.size(); ++i) out[i] = track[(i & ~std::size_t{3}) + 3 - (i & 3)];
    return out;
}

// Silence, then exactly the expected bytes, then silence.
inline ::testing::AssertionResult silenceTrackSilence(const std::vector<std::uint8_t>& captured,
                                                      const std::vector<std::uint8_t>& expected, std::uint8_t mute,
                                                      std::size_t leadingAtLeast) {
    const auto start = static_cast<std::size_t>(
        std::find_if(captured.begin(), captured.end(), [mute](std::uint8_t b) { return b != mute; }) -
        captured.begin());
    if (start < leadingAtLeast)
        return ::testing::AssertionFailure() << "leading silence " << start << " < " << leadingAtLeast;
    if (captured.size() < start + expected.size())
        return ::testing::AssertionFailure() << "captured " << captured.size() << " bytes, track ends at "
                                             << start + expected.size();
    const auto mismatch = std::mismatch(expected.begin(), expected.end(), captured.begin() + static_cast<long>(start));
    if (mismatch.first != expected.end())
        return ::testing::AssertionFailure() << "first difference at track byte " << (mismatch.first - expected.begin())
                                             << " of " << expected.size();
    const auto tail = captured.begin() + static_cast<long>(start + expected.size());
    if (!std::all_of(tail, captured.end(), [mute](std::uint8_t b) { return b == mute; }))
        return ::testing::AssertionFailure() << "non-silence after the track";
    return ::testing::AssertionSuccess();
}

// The capture sink as a child process, optionally inside a namespace.
class CaptureSinkProcess {
public:
    bool start(const std::string& ns, std::uint64_t formats, const std::string& prefix) {
        prefix_ = prefix;
        std::vector<std::string> argv{tmtest::binPath("zarnith-capture-sink")};
        if (formats != 0) {
            argv.push_back("--formats");
            argv.push_back(std::to_string(formats));
        }
        argv.push_back(prefix);
        if (!ns.empty()) argv = tmtest::NetnsPair::inNs(ns, argv);
        return process.start(argv);
    }
    // Waits for the end line of connection n (counted from 1).
    std::string endLine(std::chrono::milliseconds limit, unsigned n = 1) {
        const std::string key = "connection=" + std::to_string(n) + " ";
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            const std::string out = process.output();
            const auto at = out.find(key);
            if (at != std::string::npos) {
                const auto eol = out.find('\n', at);
                if (eol != std::string::npos) return out.substr(at, eol - at);
            }
            std::this_thread::sleep_for(20ms);
        }
        return std::string();
    }
    // What connection n wrote.
    std::vector<std::uint8_t> captured(unsigned n = 1) const {
        return readFile(prefix_ + "." + std::to_string(n) + ".raw");
    }
    void stop() {
        process.signal(SIGTERM);
        (void)process.wait(5000ms);
    }

    tmtest::ChildProcess process;

private:
    std::string prefix_;
};

// Plays a whole track from the ring to the sink and waits for the end.
class Player {
public:
    // Inquiry (retried while the sink starts), settlement, a 1 ms Fix profile,
    // the ring holding the track, prepare, connect.
    ::testing::AssertionResult connect(const ORVEX::IPAddress& sinkAddress, unsigned ifIndex,
                                       ZARNITH::FormatConfigure host, const std::vector<std::uint8_t>& track,
                                       std::uint64_t blockFrames) {
        if (!sync.open(ZARNITH::Sync::THRED_NONE, ORVEX::Clock::fromMilliseconds(100),
                       static_cast<unsigned short>(ifIndex), "sender-test", 0x5445535453454E44UL, -1, -1, 0))
            return ::testing::AssertionFailure() << "open";
        bool asked = false;
        for (int i = 0; i < 100 && !asked; ++i) {
            asked = sync.setSink(sinkAddress, ORVEX::Clock(), false);
            if (!asked) std::this_thread::sleep_for(100ms);
        }
        if (!asked) return ::testing::AssertionFailure() << "sink inquiry";
        if (!sync.setSinkConfigure(host)) return ::testing::AssertionFailure() << "format settlement";
        if (!sync.configTransferFix(ORVEX::Clock::fromMilliseconds(1), 0))
            return ::testing::AssertionFailure() << "profile";
        const std::uint64_t block = blockFrames * host.getWid() * host.getChannel();
        leadingSilence = block * LeadingBlocks;
        if (!sync.setupBuffer(blockFrames, LeadingBlocks, false, host)) return ::testing::AssertionFailure() << "ring";
        for (std::size_t at = 0; at < track.size(); at += block) {
            const std::size_t n = std::min<std::size_t>(block, track.size() - at);
            if (!sync.addStream(ORVEX::BufferCS_const(track.data() + at, n)))
                return ::testing::AssertionFailure() << "addStream";
        }
        sync.seek_front();
        if (!sync.connectPrepare()) return ::testing::AssertionFailure() << "prepare";
        if (!sync.connect(false, -1)) return ::testing::AssertionFailure() << "connect";
        (void)sync.connectWait();
        if (sync.state.load() != 2) return ::testing::AssertionFailure() << "state " << sync.state.load();
        sync.play();
        sync.pre_disconnect(true);
        return ::testing::AssertionSuccess();
    }
    bool waitIdle(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (sync.state.load() == 0) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    static constexpr unsigned long LeadingBlocks = 10;
    ZARNITH::SyncBuffer sync;
    std::uint64_t leadingSilence = 0;
};

// A path prefix for the capture sink's files.
inline std::string tempPrefix(const std::string& name) { return "/tmp/" + tmtest::uniqueName(name); }

}  // namespace tmtest
