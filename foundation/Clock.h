// One time type for the whole system: a monotonic instant or a duration,
// counted in picoseconds.
#pragma once

#include <cstdint>

namespace ORVEX {

class Clock {
public:
    // 0 stands for a time that was never set.
    constexpr Clock() = default;
    constexpr explicit Clock(std::uint64_t picoseconds) : ps_(picoseconds) {}

    // Current monotonic time: seconds x 10^12 + nanoseconds x 1000; never 0.
    static Clock now();
    // The value now() yields for a clock reading of tv_sec and tv_nsec.
    static constexpr Clock fromMonotonic(std::uint64_t seconds, std::uint64_t nanoseconds) {
        std::uint64_t ps = seconds * 1000000000000ULL + nanoseconds * 1000ULL;
        return Clock(ps == 0 ? 1 : ps);
    }

    // Named conversions at the edges (settings file, log lines, wire units).
    static constexpr Clock fromNanoseconds(std::uint64_t ns) { return Clock(ns * 1000ULL); }
    static constexpr Clock fromMicroseconds(std::uint64_t us) { return Clock(us * 1000000ULL); }
    static constexpr Clock fromMilliseconds(std::uint64_t ms) { return Clock(ms * 1000000000ULL); }
    static constexpr Clock fromSeconds(std::uint64_t s) { return Clock(s * 1000000000000ULL); }

    constexpr std::uint64_t picoseconds() const { return ps_; }
    constexpr std::uint64_t toNanoseconds() const { return ps_ / 1000ULL; }
    constexpr std::uint64_t toMicroseconds() const { return ps_ / 1000000ULL; }
    constexpr std::uint64_t toMilliseconds() const { return ps_ / 1000000000ULL; }
    constexpr std::uint64_t toSeconds() const { return ps_ / 1000000000000ULL; }

    constexpr bool isSet() const { return ps_ != 0; }

    // 0 equal, 1 this is later, -1 this is earlier; later means that the
    // wrapped difference (this - other) read as signed 64-bit is positive.
    // A difference of exactly 2^63 is negative from either side: -1 both ways.
    constexpr int Comp(const Clock& other) const {
        if (ps_ == other.ps_) return 0;
        return static_cast<std::int64_t>(ps_ - other.ps_) > 0 ? 1 : -1;
    }

    // What is left of `limit` after `elapsed`: limit - elapsed while elapsed
    // compares before limit, else 0.
    static constexpr Clock remaining(const Clock& limit, const Clock& elapsed) {
        return elapsed.Comp(limit) < 0 ? limit - elapsed : Clock();
    }

    // Plain unsigned arithmetic, wrapping modulo 2^64.
    friend constexpr Clock operator+(Clock a, Clock b) { return Clock(a.ps_ + b.ps_); }
    friend constexpr Clock operator-(Clock a, Clock b) { return Clock(a.ps_ - b.ps_); }
    friend constexpr Clock operator*(Clock a, std::uint64_t n) { return Clock(a.ps_ * n); }
    friend constexpr Clock operator*(std::uint64_t n, Clock a) { return Clock(a.ps_ * n); }
    friend constexpr Clock operator/(Clock a, std::uint64_t n) { return Clock(a.ps_ / n); }
    Clock& operator+=(Clock b) { ps_ += b.ps_; return *this; }
    Clock& operator-=(Clock b) { ps_ -= b.ps_; return *this; }
    friend constexpr bool operator==(Clock a, Clock b) { return a.ps_ == b.ps_; }
    friend constexpr bool operator!=(Clock a, Clock b) { return a.ps_ != b.ps_; }

private:
    std::uint64_t ps_ = 0;
};

}  // namespace ORVEX
