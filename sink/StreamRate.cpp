#include "sink/StreamRate.h"

namespace ZARNITH {

std::uint64_t StreamRate::bytesPer10ms(std::uint64_t rate, std::uint64_t bits, std::uint64_t channels) {
    // Each factor is far below 2^21 for every format word, so the product fits.
    const std::uint64_t perSecond = rate * bits * channels / 8;
    return perSecond / 100;
}

bool StreamRate::addDuration(std::uint16_t& current, std::uint64_t bytes, std::uint64_t per10ms) {
    if (bytes == 0) return true;
    if (per10ms == 0) return false;
    const std::uint64_t units = (bytes / per10ms) * 100 + (bytes % per10ms) * 100 / per10ms;
    current = static_cast<std::uint16_t>(current + units);
    return true;
}

std::uint16_t StreamRate::code(std::uint16_t current, std::uint16_t target) {
    const std::int64_t c = current;
    const std::int64_t t = target;
    if (c >= 2 * t) return Neutral;
    const std::int64_t offset = ((c - t) * 16384) / t;  // t > 0 here; truncates toward zero
    return static_cast<std::uint16_t>(static_cast<std::uint16_t>(offset) | 0x8000);
}

}  // namespace ZARNITH
