// One transfer profile: how the sender paces a stream (cycle length, data
// messages per cycle, audio per message). A plain record, copied by value.
#pragma once

#include <cstdint>

#include "foundation/Clock.h"

namespace ZARNITH {

struct Profile {
    // Values of `mode`.
    enum Mode : std::uint32_t {
        MODE_VAR = 0,        // fixed message size, the cycle follows from it
        MODE_FIX = 1,        // fixed cycle, fractional frames per message
        MODE_RANDOM = 2,     // Fix profile whose cycle is drawn between cycleMin and cycle
        MODE_SINKCYCLE = 3,  // fixed message size derived from the sink's cycle parameters
    };

    ORVEX::Clock cycle;              // length of one cycle
    std::uint32_t packetSize = 0;    // bytes of every message when fixed; 0 when frames are fractional
    std::uint32_t packetSizeMax = 0; // largest number of audio bytes in one message
    std::uint32_t framesQ14 = 0;     // audio frames per message, 16384 = one frame
    std::uint16_t packetCount = 0;   // data messages per cycle
    ORVEX::Clock cycleMin;           // shortest cycle of the random mode (0 otherwise)
    std::uint32_t mode = MODE_VAR;
};

}  // namespace ZARNITH
