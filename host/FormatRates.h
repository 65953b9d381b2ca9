// Byte and frame arithmetic of a format word, in 64 bits: the highest rates
// times 64-bit samples times 16 channels pass 32 bits.
#pragma once

#include <cstdint>

#include "protocol/FormatConfigure.h"
#include "protocol/Send.h"
#include "sender/Sync.h"

class FormatRates {
public:
    // The highest byte rate that any transfer profile of the sender can
    // carry. A profile's resend ring must hold one second of its messages
    // (whole cycles counted) and no more than Sync::MaxResendRing of them;
    // counting whole cycles lets a cycle of just over half a second send up to
    // twice that many messages a second. Each data message carries at most
    // Send::MAX_PAYLOAD audio bytes (its 16-bit length code). So:
    // 2 x 32768 x 65512 bytes a second, about 4.3 GB/s. A format word above
    // it could never be streamed; the ring is not sized for it (10 ms of the
    // highest format words, 16 channels of 64-bit samples at 48 kHz x 4096,
    // is 250 MB).
    static constexpr std::uint64_t MaxStreamBytesPerSecond =
        2 * std::uint64_t{ZARNITH::Sync::MaxResendRing} * ZARNITH::Send::MAX_PAYLOAD;

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
    // Whether a track in `f` could be streamed at all: it has a rate, a frame
    // size, and a byte rate no higher than MaxStreamBytesPerSecond.
    static bool streamable(ZARNITH::FormatConfigure f) {
        return framesPer10ms(f) != 0 && bytesPerSecond(f) <= MaxStreamBytesPerSecond;
    }
};
