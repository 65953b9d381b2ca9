// Pre-format word announced before connecting: channel code (bits 0-7), format
// class (bits 8-15), latency in 100-microsecond units (bits 16-31) and bits
// 32-63 of the format word (rate word and reserved bits).
#pragma once

#include <cstdint>

#include "protocol/FormatConfigure.h"

namespace ZARNITH {

// Coarse format class of a pre-format, as the value of bits 8-15.
enum FormatPreID : std::uint16_t {
    PRE_SIGNED = 0x0100,  // integer PCM
    PRE_FLOAT = 0x0200,   // float PCM
    PRE_DSD1 = 0x0400,
    PRE_DSD4 = 0x0800,
};

class FormatPreConfigure {
public:
    constexpr FormatPreConfigure() = default;
    constexpr FormatPreConfigure(std::uint64_t value) : word(value) {}
    FormatPreConfigure(FormatConfigure format, std::uint16_t latency);
    constexpr operator std::uint64_t() const { return word; }

    // Equal to the pre-format of `format` made with this word's own latency
    // (the latency takes no part in the comparison).
    bool operator==(FormatConfigure format) const;

    bool isPCM() const;
    bool isSigned() const;
    bool isFloat() const;
    bool isDSD() const;
    bool isDSD1() const;
    bool isDSD4() const;

    void setLatency(std::uint16_t latency);
    std::uint16_t getLatency() const;
    void setPreFormat(FormatPreID id);
    std::uint16_t getPreFormat() const;

    std::uint64_t word = 0;
};

}  // namespace ZARNITH
