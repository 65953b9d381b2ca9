#include "protocol/FormatPreConfigure.h"

namespace ZARNITH {

namespace {

constexpr std::uint64_t kClassMask = 0xFF00ull;
constexpr std::uint64_t kLatencyMask = 0xFFFF0000ull;
constexpr std::uint64_t kFromFormatMask = 0xFFFFFFFF000000FFull;  // bits 0-7 and 32-63

}  // namespace

FormatPreConfigure::FormatPreConfigure(FormatConfigure format, std::uint16_t latency) {
    std::uint64_t preClass = 0;
    if (format.isPCM())
        preClass = format.isFloat() ? PRE_FLOAT : PRE_SIGNED;
    else
        preClass = format.isDSD4() ? PRE_DSD4 : PRE_DSD1;
    word = (static_cast<std::uint64_t>(format) & kFromFormatMask) | preClass |
           (static_cast<std::uint64_t>(latency) << 16);
}

bool FormatPreConfigure::operator==(FormatConfigure format) const {
    return word == FormatPreConfigure(format, getLatency()).word;
}

bool FormatPreConfigure::isPCM() const {
    const std::uint16_t c = getPreFormat();
    return c == PRE_SIGNED || c == PRE_FLOAT;
}
bool FormatPreConfigure::isSigned() const { return getPreFormat() == PRE_SIGNED; }
bool FormatPreConfigure::isFloat() const { return getPreFormat() == PRE_FLOAT; }
bool FormatPreConfigure::isDSD() const {
    const std::uint16_t c = getPreFormat();
    return c == PRE_DSD1 || c == PRE_DSD4;
}
bool FormatPreConfigure::isDSD1() const { return getPreFormat() == PRE_DSD1; }
bool FormatPreConfigure::isDSD4() const { return getPreFormat() == PRE_DSD4; }

void FormatPreConfigure::setLatency(std::uint16_t latency) {
    word = (word & ~kLatencyMask) | (static_cast<std::uint64_t>(latency) << 16);
}

std::uint16_t FormatPreConfigure::getLatency() const { return static_cast<std::uint16_t>(word >> 16); }

void FormatPreConfigure::setPreFormat(FormatPreID id) {
    word = (word & ~kClassMask) | (static_cast<std::uint64_t>(id) & kClassMask);
}

std::uint16_t FormatPreConfigure::getPreFormat() const {
    return static_cast<std::uint16_t>(word & kClassMask);
}

}  // namespace ZARNITH
