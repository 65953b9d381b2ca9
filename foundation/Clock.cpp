#include "foundation/Clock.h"

#include <ctime>

namespace ORVEX {

Clock Clock::now() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return fromMonotonic(static_cast<std::uint64_t>(ts.tv_sec), static_cast<std::uint64_t>(ts.tv_nsec));
}

}  // namespace ORVEX
