// Bounds the echoes of unsupported requests, so that two endpoints cannot echo
// each other forever: at most Burst echoes per source within each Window, and
// a bounded table of sources. Application thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

#include "foundation/Clock.h"
#include "foundation/IPAddress.h"

namespace ZARNITH {

class EchoLimiter {
public:
    static constexpr ORVEX::Clock Window = ORVEX::Clock::fromSeconds(1);
    static constexpr unsigned Burst = 10;
    static constexpr std::size_t MaxSources = 256;

    // Whether an echo to `source` may go out at `now` (and counts it).
    [[nodiscard]] bool allow(const ORVEX::IPAddress& source, ORVEX::Clock now);

private:
    struct Slot {
        ORVEX::Clock start;  // start of the source's current window
        unsigned count = 0;  // echoes sent in it
    };
    std::map<ORVEX::IPAddress, Slot> sources_;
};

}  // namespace ZARNITH
