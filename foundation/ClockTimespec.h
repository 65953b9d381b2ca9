// A Clock as the timespec of a poll wait: whole seconds, and the whole
// microseconds below them in nanoseconds.
#pragma once

#include <ctime>

#include "foundation/Clock.h"

namespace ORVEX {

inline timespec toTimespec(Clock timeOut) {
    std::uint64_t ps = timeOut.picoseconds();
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ps / 1000000000000ULL);
    ts.tv_nsec = static_cast<long>(((ps / 1000000ULL) % 1000000ULL) * 1000ULL);
    return ts;
}

}  // namespace ORVEX
