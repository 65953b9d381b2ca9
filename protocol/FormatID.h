// Bit vocabulary of the 64-bit audio format words (supported-format masks,
// concrete formats and pre-formats all use it).
#pragma once

#include <cstdint>

namespace ZARNITH {

enum FormatID : std::uint64_t {
    FORMAT_NONE = 0,

    // Bits 0-7: channel code, one bit per channel count.
    CH1 = 0x01,
    CH2 = 0x02,
    CH4 = 0x04,
    CH6 = 0x08,
    CH8 = 0x10,
    CH16 = 0x20,

    // Bits 8-15: PCM sample format.
    PCM8 = 0x100,
    PCM16 = 0x200,
    PCM24 = 0x400,  // 3-byte words
    PCM32 = 0x800,
    PCM64 = 0x1000,
    FLOAT32 = 0x2000,
    FLOAT64 = 0x4000,

    // Bits 16-19: DSD kind.
    DSD1 = 0x10000,  // 1 bit per sample
    DSD4 = 0x20000,  // 4 bits per sample

    // Bits 20-21: DSD bit order.
    DSD_LSB = 0x100000,
    DSD_MSB = 0x200000,

    // Bits 22-23: DSD word byte order.
    DSD_LITTLE = 0x400000,
    DSD_BIG = 0x800000,

    // Bits 24-31: DSD word-size code (the whole byte); 2 = 32-bit words.
    DSD_WORD32 = 0x2000000,

    // Bits 32-34: sample-rate base.
    BASE_8000 = 0x100000000,  // only without a multiplier
    BASE_44100 = 0x200000000,
    BASE_48000 = 0x400000000,

    // Bits 35-47: sample-rate multiplier, bit 35 + k = times 2^k.
    MULTI_1 = 0x800000000,
    MULTI_2 = 0x1000000000,
    MULTI_4 = 0x2000000000,
    MULTI_8 = 0x4000000000,
    MULTI_16 = 0x8000000000,
    MULTI_32 = 0x10000000000,
    MULTI_64 = 0x20000000000,
    MULTI_128 = 0x40000000000,
    MULTI_256 = 0x80000000000,
    MULTI_512 = 0x100000000000,
    MULTI_1024 = 0x200000000000,
    MULTI_2048 = 0x400000000000,
    MULTI_4096 = 0x800000000000,
};

// Field masks of the format word.
inline constexpr std::uint64_t FORMAT_CHANNEL_MASK = 0xFFull;        // bits 0-7
inline constexpr std::uint64_t FORMAT_PCM_MASK = 0xFF00ull;          // bits 8-15
inline constexpr std::uint64_t FORMAT_DSD_MASK = 0xF0000ull;         // bits 16-19
inline constexpr std::uint64_t FORMAT_KIND_MASK = 0xFFF00ull;        // bits 8-19, the format field
inline constexpr std::uint64_t FORMAT_ORDER_MASK = 0xFFFFFF00ull;    // bits 8-31
inline constexpr std::uint64_t FORMAT_DSD_FLAGS_MASK = 0xFFF00000ull;  // bits 20-31
inline constexpr std::uint64_t FORMAT_BASE_MASK = 0x700000000ull;    // bits 32-34
inline constexpr std::uint64_t FORMAT_MULTI_MASK = 0xFFF800000000ull;  // bits 35-47
inline constexpr std::uint64_t FORMAT_RATE_MASK = 0xFFFF00000000ull;   // bits 32-47, the rate word
inline constexpr std::uint64_t FORMAT_RESERVED_MASK = 0xFFFF000000000000ull;  // bits 48-63

constexpr FormatID operator|(FormatID a, FormatID b) {
    return static_cast<FormatID>(static_cast<std::uint64_t>(a) | static_cast<std::uint64_t>(b));
}
constexpr FormatID operator&(FormatID a, FormatID b) {
    return static_cast<FormatID>(static_cast<std::uint64_t>(a) & static_cast<std::uint64_t>(b));
}
constexpr FormatID operator~(FormatID a) { return static_cast<FormatID>(~static_cast<std::uint64_t>(a)); }
constexpr FormatID& operator|=(FormatID& a, FormatID b) { return a = a | b; }
constexpr FormatID& operator&=(FormatID& a, FormatID b) { return a = a & b; }

}  // namespace ZARNITH
