#include "protocol/FormatConfigure.h"

#include <bit>

namespace ZARNITH {

namespace {

std::uint64_t formatField(std::uint64_t w) { return w & FORMAT_KIND_MASK; }

// Multiplier exponent k (times 2^k) when exactly one multiplier bit is set, else -1.
int multiplierShift(std::uint64_t w) {
    const std::uint64_t multi = w & FORMAT_MULTI_MASK;
    if (multi == 0 || !std::has_single_bit(multi)) return -1;
    return std::countr_zero(multi) - std::countr_zero(static_cast<std::uint64_t>(MULTI_1));
}

}  // namespace

bool FormatConfigure::isPCM() const { return (word & FORMAT_PCM_MASK) != 0; }

bool FormatConfigure::isSigned() const {
    const std::uint64_t f = formatField(word);
    return f == PCM8 || f == PCM16 || f == PCM24 || f == PCM32 || f == PCM64;
}

bool FormatConfigure::isFloat() const {
    const std::uint64_t f = formatField(word);
    return f == FLOAT32 || f == FLOAT64;
}

bool FormatConfigure::isDSD() const { return (word & FORMAT_DSD_MASK) != 0; }
bool FormatConfigure::isDSD1() const { return formatField(word) == DSD1; }
bool FormatConfigure::isDSD4() const { return formatField(word) == DSD4; }
bool FormatConfigure::isDSDlsb() const { return (word & DSD_LSB) != 0; }
bool FormatConfigure::isDSDmsb() const { return (word & DSD_MSB) != 0; }
bool FormatConfigure::isDSDlittle() const { return (word & DSD_LITTLE) != 0; }
bool FormatConfigure::isDSDbig() const { return (word & DSD_BIG) != 0; }

std::uint64_t FormatConfigure::getWid() const {
    switch (formatField(word)) {
    case PCM8: return 1;
    case PCM16: return 2;
    case PCM24: return 3;
    case PCM32: return 4;
    case PCM64: return 8;
    case FLOAT32: return 4;
    case FLOAT64: return 8;
    case DSD1:
    case DSD4: return ((word >> 24) & 0xFF) == 2 ? 4 : 2;
    default: return 2;
    }
}

std::uint64_t FormatConfigure::getBits() const {
    switch (formatField(word)) {
    case PCM8: return 8;
    case PCM16: return 16;
    case PCM24: return 24;
    case PCM32: return 32;
    case PCM64: return 64;
    case FLOAT32: return 32;
    case FLOAT64: return 64;
    case DSD1: return 1;
    case DSD4: return 4;
    default: return 16;
    }
}

std::uint64_t FormatConfigure::getChannel() const {
    switch (word & FORMAT_CHANNEL_MASK) {
    case CH1: return 1;
    case CH2: return 2;
    case CH4: return 4;
    case CH6: return 6;
    case CH8: return 8;
    case CH16: return 16;
    default: return 2;
    }
}

std::uint64_t FormatConfigure::getSpeedBase() const {
    const std::uint64_t base = word & FORMAT_BASE_MASK;
    if (base == BASE_44100) return 44100;
    if (base == BASE_48000) return 48000;
    if (base == BASE_8000 && (word & FORMAT_MULTI_MASK) == 0) return 8000;
    return 0;
}

std::uint64_t FormatConfigure::getSpeedMulti() const {
    const int k = multiplierShift(word);
    return k < 0 ? 0 : 1ull << k;
}

std::uint64_t FormatConfigure::getSpeed() const {
    const std::uint64_t base = word & FORMAT_BASE_MASK;
    std::uint64_t hz = 0;
    if (base == BASE_44100)
        hz = 44100;
    else if (base == BASE_48000)
        hz = 48000;
    else
        return 0;
    const int k = multiplierShift(word);
    return k < 0 ? 0 : hz << k;
}

bool FormatConfigure::isValid() const {
    switch (word & FORMAT_CHANNEL_MASK) {
    case CH1: case CH2: case CH4: case CH6: case CH8: case CH16: break;
    default: return false;
    }
    switch (formatField(word)) {
    case PCM8: case PCM16: case PCM24: case PCM32: case PCM64: case FLOAT32: case FLOAT64:
        return (word & FORMAT_DSD_FLAGS_MASK) == 0;
    case DSD1:
    case DSD4: {
        const bool oneOrder = ((word & DSD_LSB) != 0) != ((word & DSD_MSB) != 0);
        const bool oneEndian = ((word & DSD_LITTLE) != 0) != ((word & DSD_BIG) != 0);
        const bool word32 = ((word >> 24) & 0xFF) == 2;
        return oneOrder && oneEndian && word32 && getSpeed() >= 2822400;
    }
    default: return false;
    }
}

std::uint8_t FormatConfigure::getMuteByte() const {
    if ((word & FORMAT_DSD_MASK) == 0) return 0;
    return (word & DSD_LSB) ? 0x69 : 0x96;
}

bool FormatConfigure::setSpeed(std::uint64_t rate) {
    std::uint64_t rateBits = 0;
    if (rate == 8000) {
        rateBits = BASE_8000;
    } else {
        for (int k = 0; k <= 12 && rateBits == 0; ++k) {
            if (rate == (44100ull << k)) rateBits = BASE_44100 | (MULTI_1 << k);
            if (rate == (48000ull << k)) rateBits = BASE_48000 | (MULTI_1 << k);
        }
        if (rateBits == 0) return false;
    }
    word = static_cast<FormatID>((word & ~FORMAT_RATE_MASK) | rateBits);
    return true;
}

bool FormatConfigure::setChannel(unsigned int count) {
    std::uint64_t code = 0;
    switch (count) {
    case 1: code = CH1; break;
    case 2: code = CH2; break;
    case 4: code = CH4; break;
    case 6: code = CH6; break;
    case 8: code = CH8; break;
    case 16: code = CH16; break;
    default: return false;
    }
    word = static_cast<FormatID>((word & ~FORMAT_CHANNEL_MASK) | code);
    return true;
}

bool FormatConfigure::setFormat(FormatID id) {
    const std::uint64_t fields[3] = {FORMAT_CHANNEL_MASK, FORMAT_ORDER_MASK, FORMAT_RATE_MASK};
    bool any = false;
    std::uint64_t w = word;
    for (std::uint64_t field : fields) {
        if ((id & field) == 0) continue;
        any = true;
        w = (w & ~field) | (id & field);
    }
    if (!any) return false;
    word = static_cast<FormatID>(w | (id & FORMAT_RESERVED_MASK));
    return true;
}

}  // namespace ZARNITH
