// What the harnesses share: a network namespace of the process's own, the
// product's logging switched on into it, and a reader that cuts fuzz input
// into pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A property of the code under test that the input broke: reported like a
// crash, so the fuzzer keeps the input.
#define TM_FUZZ_CHECK(condition)                                                              \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

namespace tmfuzz {

// Moves the process into a network namespace of its own with the loopback
// interface up, so that harnesses may bind the system's fixed ports while
// several fuzzers run at once. Aborts when that is not permitted: a harness
// that shared the ports would fail by chance, not by its input.
void ownNetwork();

// Adds an IPv6 address (/128) to the loopback interface of the process's
// namespace; aborts when that fails.
void addLoopbackAddress(const char* address);

// Logging at the trace level to [::1]:19640, where nobody listens: every log
// statement the input reaches is built and sent.
void traceLogging();

// A UDP/IPv6 socket of the harness, playing a peer of the code under test.
class UdpPeer {
public:
    // Bound to `address` and `port` (0: a system-chosen one); aborts when
    // that fails.
    explicit UdpPeer(const char* address, std::uint16_t port = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    // To [address]:port; false when the send failed.
    bool sendTo(const char* address, std::uint16_t port, const void* bytes, std::size_t size) const;
    // The next datagram within `milliseconds` into `buffer` (at most
    // `capacity` bytes): its size, or -1 when none came. `port` gets its
    // source port when not null.
    long receive(std::uint8_t* buffer, std::size_t capacity, int milliseconds, std::uint16_t* port = nullptr) const;
    // Drops every datagram already queued.
    void drain() const;
    std::uint16_t port() const { return port_; }
    int descriptor() const { return fd_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// Takes bytes from the front of the input.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t left() const { return size_; }
    // One byte; 0 when none is left.
    std::uint8_t byte();
    // A little-endian 16-bit value from up to two bytes.
    std::uint16_t u16();
    std::uint64_t u64();
    // Up to `count` bytes (fewer at the end): their start, and the count taken.
    const std::uint8_t* take(std::size_t count, std::size_t& taken);

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace tmfuzz
