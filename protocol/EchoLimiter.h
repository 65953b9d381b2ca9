// Bounds the echoes an endpoint sends back for requests it does not support,
// so that two endpoints cannot echo each other's echoes forever: at most Burst
// echoes per source within each Window, and a bounded table of sources. Used
// by one thread at a time (the owner's receiving thread).
#pragma once

#include <cstddef>
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

    // A window has ended once its length has passed, and also when `now` lies
    // before its start (a clock that ran backwards): a new window starts then,
    // so that no source stays silenced, and no table stays full, for as long
    // as the clock took to come back.
    static bool ended(ORVEX::Clock start, ORVEX::Clock now) {
        return now.Comp(start) < 0 || (now - start).Comp(Window) >= 0;
    }

private:
    struct Slot {
        ORVEX::Clock start;  // start of the source's current window
        unsigned count = 0;  // echoes sent in it
    };
    std::map<ORVEX::IPAddress, Slot> sources_;
};

}  // namespace ZARNITH
