// One concrete audio format in a 64-bit word: channel code, sample format or
// DSD kind with its bit and byte order, and the sample rate (base times
// multiplier).
#pragma once

#include <cstdint>

#include "protocol/FormatID.h"

namespace ZARNITH {

class FormatConfigure {
public:
    constexpr FormatConfigure() = default;
    constexpr FormatConfigure(std::uint64_t value) : word(static_cast<FormatID>(value)) {}
    constexpr operator std::uint64_t() const { return word; }

    bool isPCM() const;     // any of bits 8-15
    bool isSigned() const;  // format field PCM8 ... PCM64
    bool isFloat() const;   // format field FLOAT32 or FLOAT64
    bool isDSD() const;     // any of bits 16-19
    bool isDSD1() const;    // format field exactly DSD1
    bool isDSD4() const;    // format field exactly DSD4
    bool isDSDlsb() const;
    bool isDSDmsb() const;
    bool isDSDlittle() const;
    bool isDSDbig() const;

    // Bytes per sample word (DSD: 4 with 32-bit words, else 2; unknown 2).
    std::uint64_t getWid() const;
    // Bits per sample (unknown format field: 16).
    std::uint64_t getBits() const;
    // Channel count of the channel code; any code but a single known bit gives 2.
    std::uint64_t getChannel() const;
    // 44100 or 48000 for an exact base field; 8000 for BASE_8000 without a
    // multiplier; else 0.
    std::uint64_t getSpeedBase() const;
    // 1 ... 4096 when exactly one multiplier bit is set; else 0.
    std::uint64_t getSpeedMulti() const;
    // Sample rate in Hz (44100 or 48000 base times the multiplier); 0 for the
    // 8000 base and for every incomplete or ambiguous rate word. Callers must
    // refuse a 0 rate before dividing by it.
    std::uint64_t getSpeed() const;
    [[nodiscard]] bool isValid() const;
    // Byte value of silence: 0 for PCM, 0x69 for DSD LSB first, else 0x96.
    std::uint8_t getMuteByte() const;

    // Each setter returns false and leaves the word unchanged on refusal.
    // Replaces the whole rate word with the table entry of an exact rate in Hz.
    [[nodiscard]] bool setSpeed(std::uint64_t rate);
    // Writes the channel code of 1, 2, 4, 6, 8 or 16 channels into byte 0.
    [[nodiscard]] bool setChannel(unsigned int count);
    // Merges the non-zero fields of id (channel, format-and-order, rate) and ORs
    // in its bits 48-63; false when all three fields of id are zero.
    bool setFormat(FormatID id);

    FormatID word = FORMAT_NONE;
};

}  // namespace ZARNITH
