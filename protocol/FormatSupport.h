// Capability mask: any combination of FormatID bits that an endpoint supports.
#pragma once

#include <cstdint>

#include "protocol/FormatID.h"

namespace ZARNITH {

class FormatSupport {
public:
    constexpr FormatSupport() = default;
    constexpr FormatSupport(std::uint64_t value) : word(static_cast<FormatID>(value)) {}
    constexpr operator std::uint64_t() const { return word; }

    // Each getter returns 0 when the word holds no bit of its field.
    std::uint64_t getChMin() const;   // smallest channel count (1, 2, 4, 6, 8, 16)
    std::uint64_t getChMax() const;   // largest channel count
    bool havePCM() const;             // any of bits 8-15
    bool haveDSD() const;             // any of bits 16-19
    std::uint64_t getBitsMin() const;  // smallest bits per sample (DSD1 1 ... 64)
    std::uint64_t getBitsMax() const;  // largest bits per sample
    std::uint64_t getSpeedBaseMin() const;  // 8000, 44100 or 48000
    std::uint64_t getSpeedBaseMax() const;
    std::uint64_t getSpeedMultMin() const;  // 1 ... 4096
    std::uint64_t getSpeedMultMax() const;

    FormatID word = FORMAT_NONE;
};

}  // namespace ZARNITH
