// The failed receives of one socket in a row, and when they mean that the
// socket is broken: at once for an error that leaves the socket unusable;
// otherwise (a stray ICMP error, an interrupted call, a zero-length datagram)
// only after Limit of them in a row. Used by the one thread that receives on
// the socket.
#pragma once

namespace ZARNITH {

class ReceiveFailures {
public:
    // Transient failures in a row taken as a broken socket.
    static constexpr unsigned Limit = 1000;

    // `text` starts the log line of each failure: "<text><line>:<errno>".
    explicit ReceiveFailures(const char* text) : text_(text) {}

    // A receive failed (errno tells why): logs it, at level 3 when the error
    // leaves the socket unusable and 5 otherwise, with the caller's source
    // line. True when the socket is to be taken as broken.
    [[nodiscard]] bool broken(int line);
    // A receive succeeded: the count starts again.
    void reset() { inARow_ = 0; }

private:
    const char* text_;
    unsigned inARow_ = 0;
};

}  // namespace ZARNITH
