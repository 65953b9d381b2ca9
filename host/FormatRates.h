// Byte and frame arithmetic of a format word, in 64 bits: the highest rates
// times 64-bit samples times 16 channels pass 32 bits.
#pragma once

#include <cstdint>

#include "protocol/FormatConfigure.h"

class FormatRates {
public:
    // Rate times bits per sample times channels, divided by 8; 0 without a rate.
    static std::uint64_t bytesPerSecond(ZARNITH::FormatConfigure f) {
        return f.getSpeed() * f.getBits() * f.getChannel() / 8;
    }
    // Bytes per sample word times channels.
    static std::uint64_t bytesPerFrame(ZARNITH::FormatConfigure f) { return f.getWid() * f.getChannel(); }
    // Frames in 10 ms; 0 when the format has no rate or no frame size.
    static std::uint64_t framesPer10ms(ZARNITH::FormatConfigure f) {
        const std::uint64_t frame = bytesPerFrame(f);
        if (frame == 0) return 0;
        return bytesPerSecond(f) / frame / 100;
    }
};
