// Arithmetic of the sink's rate reports: the duration of received bytes in
// units of 0.1 ms and the rate code (bit 15 set, a 15-bit signed offset of the
// buffer level from its target with 16384 = 1.0). 64-bit throughout.
#pragma once

#include <cstdint>

namespace ZARNITH {

class StreamRate {
public:
    // Rate code meaning "no report pending".
    static constexpr std::uint16_t None = 0xFFFF;
    // The code of a level exactly on target (the neutral report).
    static constexpr std::uint16_t Neutral = 0x8000;

    // Bytes per 10 ms of a format: rate x bits x channels / 8 / 100; 0 when the
    // format has no usable rate.
    static std::uint64_t bytesPer10ms(std::uint64_t rate, std::uint64_t bits, std::uint64_t channels);

    // The level after `bytes` more: current + bytes x 100 / per10ms, cut to 16
    // bits. False (level unchanged) when bytes > 0 and per10ms is 0.
    [[nodiscard]] static bool addDuration(std::uint16_t& current, std::uint64_t bytes, std::uint64_t per10ms);

    // ((current - target) x 2^14) / target with bit 15 set while current is
    // below twice the target; Neutral otherwise (a target of 0 included).
    static std::uint16_t code(std::uint16_t current, std::uint16_t target);
};

}  // namespace ZARNITH
