// Serial-number arithmetic on the 16-bit stream sequence numbers: every
// comparison of two sequence numbers goes through here, so that the wrap from
// 65535 to 0 is handled in one place.
#pragma once

#include <cstdint>

namespace ZARNITH {

class SequenceNumber {
public:
    // Signed distance from `from` to `to` (to - from) read as a 16-bit
    // two's-complement value: positive when `to` lies ahead of `from`.
    static constexpr std::int16_t distance(std::uint16_t from, std::uint16_t to) {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(to - from));
    }
    // Whether `a` lies ahead of `b` in serial order.
    static constexpr bool after(std::uint16_t a, std::uint16_t b) { return distance(b, a) > 0; }
    static constexpr std::uint16_t next(std::uint16_t s) { return static_cast<std::uint16_t>(s + 1); }
};

}  // namespace ZARNITH
