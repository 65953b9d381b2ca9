#include "protocol/FormatSupport.h"

namespace ZARNITH {

namespace {

// Channel counts of the channel code bits 0-5.
constexpr std::uint64_t kChannels[6] = {1, 2, 4, 6, 8, 16};
constexpr std::uint64_t kBases[3] = {8000, 44100, 48000};

}  // namespace

std::uint64_t FormatSupport::getChMin() const {
    for (int bit = 0; bit < 6; ++bit)
        if (word & (1ull << bit)) return kChannels[bit];
    return 0;
}

std::uint64_t FormatSupport::getChMax() const {
    for (int bit = 5; bit >= 0; --bit)
        if (word & (1ull << bit)) return kChannels[bit];
    return 0;
}

bool FormatSupport::havePCM() const { return (word & FORMAT_PCM_MASK) != 0; }

bool FormatSupport::haveDSD() const { return (word & FORMAT_DSD_MASK) != 0; }

std::uint64_t FormatSupport::getBitsMin() const {
    const std::uint64_t m = word;
    if (m & DSD1) return 1;
    if (m & DSD4) return 4;
    if (m & PCM8) return 8;
    if (m & PCM16) return 16;
    if (m & PCM24) return 24;
    if (m & (PCM32 | FLOAT32)) return 32;
    if (m & (PCM64 | FLOAT64)) return 64;
    return 0;
}

std::uint64_t FormatSupport::getBitsMax() const {
    const std::uint64_t m = word;
    if (m & (PCM64 | FLOAT64)) return 64;
    if (m & (PCM32 | FLOAT32)) return 32;
    if (m & PCM24) return 24;
    if (m & PCM16) return 16;
    if (m & PCM8) return 8;
    if (m & DSD4) return 4;
    if (m & DSD1) return 1;
    return 0;
}

std::uint64_t FormatSupport::getSpeedBaseMin() const {
    for (int k = 0; k < 3; ++k)
        if (word & (BASE_8000 << k)) return kBases[k];
    return 0;
}

std::uint64_t FormatSupport::getSpeedBaseMax() const {
    for (int k = 2; k >= 0; --k)
        if (word & (BASE_8000 << k)) return kBases[k];
    return 0;
}

std::uint64_t FormatSupport::getSpeedMultMin() const {
    for (int k = 0; k <= 12; ++k)
        if (word & (MULTI_1 << k)) return 1ull << k;
    return 0;
}

std::uint64_t FormatSupport::getSpeedMultMax() const {
    for (int k = 12; k >= 0; --k)
        if (word & (MULTI_1 << k)) return 1ull << k;
    return 0;
}

}  // namespace ZARNITH
