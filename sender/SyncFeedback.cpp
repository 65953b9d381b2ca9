#include "sender/SyncFeedback.h"

#include <algorithm>
#include <cstdio>

namespace ZARNITH {

namespace {

std::int16_t saturate16(std::int64_t value) {
    return static_cast<std::int16_t>(std::clamp<std::int64_t>(value, -32768, 32767));
}

}  // namespace

SyncFeedback::SyncFeedback(int averaged) : count(std::clamp(averaged, 1, History)) {}

std::int16_t SyncFeedback::sample(std::uint16_t option0, std::uint16_t option1, std::uint16_t option2, int& kind) {
    if (option0 >= 1 && option0 <= 0x7FFF) {
        kind = 1;
        return saturate16(2 * static_cast<std::int64_t>(option0) - 0x4000);
    }
    if ((option0 & 0x8000) != 0) {
        kind = 2;
        // Bit 15 replaced by bit 14: the low 15 bits read as a signed value.
        const auto low = static_cast<std::uint16_t>((option0 & 0x7FFF) | ((option0 & 0x4000) << 1));
        return static_cast<std::int16_t>(low);
    }
    if (option2 != 0) {
        kind = 3;
        const std::int64_t deviation = static_cast<std::int64_t>(option1) - static_cast<std::int64_t>(option2);
        return saturate16(deviation * 16384 / static_cast<std::int64_t>(option2));
    }
    kind = 0;
    return 0;
}

std::int16_t SyncFeedback::update(std::int16_t value) {
    for (int i = History - 1; i > 0; --i) history[i] = history[i - 1];
    history[0] = value;
    std::int64_t sum = 0;
    for (int i = 0; i < count; ++i) sum += history[i];
    const std::int64_t a = sum / count;
    const std::int64_t c = static_cast<std::int64_t>(controlPrev) - ((a * 655) >> 14) -
                           (((a - static_cast<std::int64_t>(averagePrev)) * 1638) >> 14);
    averagePrev = static_cast<std::int16_t>(a);
    controlPrev = static_cast<std::int16_t>(std::clamp(c, ControlMin, ControlMax));
    return controlPrev;
}

std::string SyncFeedback::formatQ14(std::int64_t value) {
    const std::uint64_t magnitude = static_cast<std::uint64_t>(value < 0 ? -value : value);
    char text[40];
    std::snprintf(text, sizeof(text), " %s%llu.%04llu", value < 0 ? "-" : " ",
                  static_cast<unsigned long long>(magnitude / 16384),
                  static_cast<unsigned long long>((magnitude % 16384) * 10000 / 16384));
    return text;
}

}  // namespace ZARNITH
