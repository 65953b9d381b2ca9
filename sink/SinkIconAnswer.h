// SINKICON_ANS: the size of one of a sink's four icons, or a run of its pixels.
// Kind 0 travels as four bytes per pixel (pixel format 1), any other kind as
// the fourth byte of each pixel (pixel format 2).
#pragma once

#include <array>
#include <cstdint>

#include "protocol/Icon.h"
#include "protocol/Receive.h"
#include "protocol/Send.h"

namespace ZARNITH {

class SinkIconAnswer {
public:
    // Pixels of an open-ended run (to the end of the row) per answer.
    static constexpr std::uint64_t RunWide = 300;     // kind 0
    static constexpr std::uint64_t RunNarrow = 1000;  // other kinds

    // Fills `answer` (header and payload, without update()) for `request`.
    static void build(const std::array<Icon, 4>& icons, const Receive& request, SendBuffer& answer);

private:
    // A width, pixels, whole rows, and sizes that fit the answer's options.
    static bool usable(const Icon& icon);
};

}  // namespace ZARNITH
