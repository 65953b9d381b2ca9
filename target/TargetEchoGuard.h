// Decides whether the target may echo an unsupported request back to its
// source. Two endpoints that echo each other's echoes would bounce one datagram
// forever, so the target never echoes to a target endpoint's own port (no
// target sends requests from it) and sends at most Burst echoes per source
// within each Window, with a bounded table of sources. Worker thread only.
#pragma once

#include <cstddef>
#include <map>

#include "foundation/Clock.h"
#include "foundation/IPAddress.h"

namespace ZARNITH {

class TargetEchoGuard {
public:
    static constexpr ORVEX::Clock Window = ORVEX::Clock::fromSeconds(1);
    static constexpr unsigned Burst = 10;
    static constexpr std::size_t MaxSources = 256;

    explicit TargetEchoGuard(std::uint16_t ownPort) : ownPort_(ownPort) {}

    // Whether an echo to `source` may go out at `now` (and counts it).
    [[nodiscard]] bool allow(const ORVEX::IPAddress& source, ORVEX::Clock now);

private:
    struct Slot {
        ORVEX::Clock start;  // start of the source's current window
        unsigned count = 0;  // echoes sent in it
    };
    std::uint16_t ownPort_;
    std::map<ORVEX::IPAddress, Slot> sources_;
};

}  // namespace ZARNITH
