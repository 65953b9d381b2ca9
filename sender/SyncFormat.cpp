// Format settlement (which format goes on the wire and which copy routine
// produces it), the copy routines themselves and the two sizes the profile
// maker needs from the sink's masks.
#include <cstring>

#include "foundation/SysLog.h"
#include "sender/Sync.h"

namespace ZARNITH {

using ORVEX::SysLog::LEVEL_ERROR;
using ORVEX::SysLog::LEVEL_INFO;
using ORVEX::SysLog::LEVEL_WARNING;

namespace {

// The 32-bit converters write whole 4-byte groups only, each byte through
// `map`, in reversed or kept byte order.
template <bool Reverse, typename Map>
inline void convertWords(std::uint8_t* out, const std::uint8_t* in, std::size_t n, Map map) {
    const std::size_t words = n / 4;
    for (std::size_t w = 0; w < words; ++w, in += 4, out += 4) {
        if constexpr (Reverse) {
            const std::uint8_t a = in[0], b = in[1], c = in[2], d = in[3];
            out[0] = map(d);
            out[1] = map(c);
            out[2] = map(b);
            out[3] = map(a);
        } else {
            out[0] = map(in[0]);
            out[1] = map(in[1]);
            out[2] = map(in[2]);
            out[3] = map(in[3]);
        }
    }
}

inline std::uint8_t same(std::uint8_t b) { return b; }
inline std::uint8_t complement(std::uint8_t b) { return static_cast<std::uint8_t>(~b); }
inline std::uint8_t reversed(std::uint8_t b) { return Sync::swapBitsTable[b]; }
inline std::uint8_t reversedComplement(std::uint8_t b) { return Sync::swapBitsTableAntiPhase[b]; }

// Float samples change phase by their sign bit: the top bit of the last
// byte of each little-endian sample. Whole samples only.
template <std::size_t Width>
inline void negateFloats(std::uint8_t* out, const std::uint8_t* in, std::size_t n) {
    std::memcpy(out, in, n - n % Width);
    for (std::size_t i = Width - 1; i < n; i += Width) out[i] = static_cast<std::uint8_t>(out[i] ^ 0x80);
}

const char* phaseName(bool invert) { return invert ? "Invert" : "Normal"; }

// One row of the conversion table: the target's bits 8-31, its copy routine
// and its log text.
struct Conversion {
    std::uint64_t target;
    Sync::Converter converter;
    const char* text;
};

constexpr std::uint64_t LSB_BIG = 0x2910000;
constexpr std::uint64_t LSB_LITTLE = 0x2510000;
constexpr std::uint64_t MSB_BIG = 0x2A10000;
constexpr std::uint64_t MSB_LITTLE = 0x2610000;

}  // namespace

// Entry i is the byte i with its eight bits in reverse order.
const std::uint8_t Sync::swapBitsTable[256] = {
    0x00, 0x80, 0x40, 0xC0, 0x20, 0xA0, 0x60, 0xE0, 0x10, 0x90, 0x50, 0xD0, 0x30, 0xB0, 0x70, 0xF0,
    0x08, 0x88, 0x48, 0xC8, 0x28, 0xA8, 0x68, 0xE8, 0x18, 0x98, 0x58, 0xD8, 0x38, 0xB8, 0x78, 0xF8,
    0x04, 0x84, 0x44, 0xC4, 0x24, 0xA4, 0x64, 0xE4, 0x14, 0x94, 0x54, 0xD4, 0x34, 0xB4, 0x74, 0xF4,
    0x0C, 0x8C, 0x4C, 0xCC, 0x2C, 0xAC, 0x6C, 0xEC, 0x1C, 0x9C, 0x5C, 0xDC, 0x3C, 0xBC, 0x7C, 0xFC,
    0x02, 0x82, 0x42, 0xC2, 0x22, 0xA2, 0x62, 0xE2, 0x12, 0x92, 0x52, 0xD2, 0x32, 0xB2, 0x72, 0xF2,
    0x0A, 0x8A, 0x4A, 0xCA, 0x2A, 0xAA, 0x6A, 0xEA, 0x1A, 0x9A, 0x5A, 0xDA, 0x3A, 0xBA, 0x7A, 0xFA,
    0x06, 0x86, 0x46, 0xC6, 0x26, 0xA6, 0x66, 0xE6, 0x16, 0x96, 0x56, 0xD6, 0x36, 0xB6, 0x76, 0xF6,
    0x0E, 0x8E, 0x4E, 0xCE, 0x2E, 0xAE, 0x6E, 0xEE, 0x1E, 0x9E, 0x5E, 0xDE, 0x3E, 0xBE, 0x7E, 0xFE,
    0x01, 0x81, 0x41, 0xC1, 0x21, 0xA1, 0x61, 0xE1, 0x11, 0x91, 0x51, 0xD1, 0x31, 0xB1, 0x71, 0xF1,
    0x09, 0x89, 0x49, 0xC9, 0x29, 0xA9, 0x69, 0xE9, 0x19, 0x99, 0x59, 0xD9, 0x39, 0xB9, 0x79, 0xF9,
    0x05, 0x85, 0x45, 0xC5, 0x25, 0xA5, 0x65, 0xE5, 0x15, 0x95, 0x55, 0xD5, 0x35, 0xB5, 0x75, 0xF5,
    0x0D, 0x8D, 0x4D, 0xCD, 0x2D, 0xAD, 0x6D, 0xED, 0x1D, 0x9D, 0x5D, 0xDD, 0x3D, 0xBD, 0x7D, 0xFD,
    0x03, 0x83, 0x43, 0xC3, 0x23, 0xA3, 0x63, 0xE3, 0x13, 0x93, 0x53, 0xD3, 0x33, 0xB3, 0x73, 0xF3,
    0x0B, 0x8B, 0x4B, 0xCB, 0x2B, 0xAB, 0x6B, 0xEB, 0x1B, 0x9B, 0x5B, 0xDB, 0x3B, 0xBB, 0x7B, 0xFB,
    0x07, 0x87, 0x47, 0xC7, 0x27, 0xA7, 0x67, 0xE7, 0x17, 0x97, 0x57, 0xD7, 0x37, 0xB7, 0x77, 0xF7,
    0x0F, 0x8F, 0x4F, 0xCF, 0x2F, 0xAF, 0x6F, 0xEF, 0x1F, 0x9F, 0x5F, 0xDF, 0x3F, 0xBF, 0x7F, 0xFF,
};

// Entry i is the complement of swapBitsTable[i].
const std::uint8_t Sync::swapBitsTableAntiPhase[256] = {
    0xFF, 0x7F, 0xBF, 0x3F, 0xDF, 0x5F, 0x9F, 0x1F, 0xEF, 0x6F, 0xAF, 0x2F, 0xCF, 0x4F, 0x8F, 0x0F,
    0xF7, 0x77, 0xB7, 0x37, 0xD7, 0x57, 0x97, 0x17, 0xE7, 0x67, 0xA7, 0x27, 0xC7, 0x47, 0x87, 0x07,
    0xFB, 0x7B, 0xBB, 0x3B, 0xDB, 0x5B, 0x9B, 0x1B, 0xEB, 0x6B, 0xAB, 0x2B, 0xCB, 0x4B, 0x8B, 0x0B,
    0xF3, 0x73, 0xB3, 0x33, 0xD3, 0x53, 0x93, 0x13, 0xE3, 0x63, 0xA3, 0x23, 0xC3, 0x43, 0x83, 0x03,
    0xFD, 0x7D, 0xBD, 0x3D, 0xDD, 0x5D, 0x9D, 0x1D, 0xED, 0x6D, 0xAD, 0x2D, 0xCD, 0x4D, 0x8D, 0x0D,
    0xF5, 0x75, 0xB5, 0x35, 0xD5, 0x55, 0x95, 0x15, 0xE5, 0x65, 0xA5, 0x25, 0xC5, 0x45, 0x85, 0x05,
    0xF9, 0x79, 0xB9, 0x39, 0xD9, 0x59, 0x99, 0x19, 0xE9, 0x69, 0xA9, 0x29, 0xC9, 0x49, 0x89, 0x09,
    0xF1, 0x71, 0xB1, 0x31, 0xD1, 0x51, 0x91, 0x11, 0xE1, 0x61, 0xA1, 0x21, 0xC1, 0x41, 0x81, 0x01,
    0xFE, 0x7E, 0xBE, 0x3E, 0xDE, 0x5E, 0x9E, 0x1E, 0xEE, 0x6E, 0xAE, 0x2E, 0xCE, 0x4E, 0x8E, 0x0E,
    0xF6, 0x76, 0xB6, 0x36, 0xD6, 0x56, 0x96, 0x16, 0xE6, 0x66, 0xA6, 0x26, 0xC6, 0x46, 0x86, 0x06,
    0xFA, 0x7A, 0xBA, 0x3A, 0xDA, 0x5A, 0x9A, 0x1A, 0xEA, 0x6A, 0xAA, 0x2A, 0xCA, 0x4A, 0x8A, 0x0A,
    0xF2, 0x72, 0xB2, 0x32, 0xD2, 0x52, 0x92, 0x12, 0xE2, 0x62, 0xA2, 0x22, 0xC2, 0x42, 0x82, 0x02,
    0xFC, 0x7C, 0xBC, 0x3C, 0xDC, 0x5C, 0x9C, 0x1C, 0xEC, 0x6C, 0xAC, 0x2C, 0xCC, 0x4C, 0x8C, 0x0C,
    0xF4, 0x74, 0xB4, 0x34, 0xD4, 0x54, 0x94, 0x14, 0xE4, 0x64, 0xA4, 0x24, 0xC4, 0x44, 0x84, 0x04,
    0xF8, 0x78, 0xB8, 0x38, 0xD8, 0x58, 0x98, 0x18, 0xE8, 0x68, 0xA8, 0x28, 0xC8, 0x48, 0x88, 0x08,
    0xF0, 0x70, 0xB0, 0x30, 0xD0, 0x50, 0x90, 0x10, 0xE0, 0x60, 0xA0, 0x20, 0xC0, 0x40, 0x80, 0x00,
};

// ---- Converters ----

void Sync::memcpySyncOrg(std::uint8_t* destination, const std::uint8_t* source, std::size_t count) {
    if (count != 0) std::memcpy(destination, source, count);
}

void Sync::memcpySyncAntiPhase(std::uint8_t* destination, const std::uint8_t* source, std::size_t count) {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        std::uint64_t v;
        std::memcpy(&v, source + i, 8);
        v = ~v;
        std::memcpy(destination + i, &v, 8);
    }
    for (; i < count; ++i) destination[i] = complement(source[i]);
}

void Sync::memcpySyncByteSwap32(std::uint8_t* destination, const std::uint8_t* source, std::size_t count) {
    convertWords<true>(destination, source, count, same);
}

void Sync::memcpySyncByteSwap32AntiPhase(std::uint8_t* destination, const std::uint8_t* source, std::size_t count) {
    convertWords<true>(destination, source, count, complement);
}

void Sync::memcpySyncBitSwap32(std::uint8_t* destination, const std::uint8_t* source, std::size_t count) {
    convertWords<true>(destination, source, count, reversed);
}

void Sync::memcpySyncBitSwap32AntiPhase(std::uint8_t* destination, const std::uint8_t* source, std::size_t count) {
    convertWords<true>(destination, source, count, reversedComplement);
}

void Sync::memcpySyncBitByteSwap32(std::uint8_t* destination, const std::uint8_t* source, std::size_t count) {
    convertWords<false>(destination, source, count, reversed);
}

void Sync::memcpySyncBitByteSwap32AntiPhase(std::uint8_t* destination, const std::uint8_t* source,
                                            std::size_t count) {
    convertWords<false>(destination, source, count, reversedComplement);
}

void Sync::memcpySyncAntiPhaseFloat32(std::uint8_t* destination, const std::uint8_t* source, std::size_t count) {
    negateFloats<4>(destination, source, count);
}

void Sync::memcpySyncAntiPhaseFloat64(std::uint8_t* destination, const std::uint8_t* source, std::size_t count) {
    negateFloats<8>(destination, source, count);
}

void Sync::memcpySync(std::uint8_t* destination, const std::uint8_t* source, std::size_t count) {
    const Converter c = converter;
    std::size_t width = 0;
    if (c == &Sync::memcpySyncAntiPhaseFloat32) width = 4;
    if (c == &Sync::memcpySyncAntiPhaseFloat64) width = 8;
    if (width != 0) {
        // Float samples may straddle two chunks: the sign byte is found by the
        // position in the stream, so the sample grid never shifts.
        std::size_t done = 0;
        while (done < count && (convertOffset + done) % width != 0) {
            const bool sign = (convertOffset + done) % width == width - 1;
            destination[done] = static_cast<std::uint8_t>(source[done] ^ (sign ? 0x80 : 0));
            ++done;
        }
        const std::size_t whole = (count - done) - (count - done) % width;
        c(destination + done, source + done, whole);
        for (std::size_t i = done + whole; i < count; ++i) destination[i] = source[i];
    } else {
        c(destination, source, count);
    }
    convertOffset += count;
}

void Sync::choosePhaseConverter(bool sinkPhaseInvert, bool hostPhaseInvert) {
    const bool invert = hostPhaseInvert != sinkPhaseInvert;
    LEVEL_INFO << "Host Phase " << phaseName(hostPhaseInvert);
    LEVEL_INFO << "Play Phase " << phaseName(invert);
    const Converter c = converter;
    Converter plain = &Sync::memcpySyncOrg;
    Converter inverted = &Sync::memcpySyncAntiPhase;
    if (c == &Sync::memcpySyncByteSwap32 || c == &Sync::memcpySyncByteSwap32AntiPhase) {
        plain = &Sync::memcpySyncByteSwap32;
        inverted = &Sync::memcpySyncByteSwap32AntiPhase;
    } else if (c == &Sync::memcpySyncBitSwap32 || c == &Sync::memcpySyncBitSwap32AntiPhase) {
        plain = &Sync::memcpySyncBitSwap32;
        inverted = &Sync::memcpySyncBitSwap32AntiPhase;
    } else if (c == &Sync::memcpySyncBitByteSwap32 || c == &Sync::memcpySyncBitByteSwap32AntiPhase) {
        plain = &Sync::memcpySyncBitByteSwap32;
        inverted = &Sync::memcpySyncBitByteSwap32AntiPhase;
    } else if (sendFormat.isFloat()) {
        // Complementing float bytes makes NaNs: floats change sign instead.
        inverted = sendFormat.getBits() == 64 ? &Sync::memcpySyncAntiPhaseFloat64 : &Sync::memcpySyncAntiPhaseFloat32;
    }
    converter = invert ? inverted : plain;
}

std::uint8_t Sync::silenceByte(bool invert) const {
    const std::uint8_t mute = sendFormat.getMuteByte();
    // Inverted silence is what the inverting converter makes of silence:
    // the complement for integer and DSD samples (as the ring's own silence
    // blocks arrive), while float silence stays 0 (a sign flip of 0).
    if (!invert || sendFormat.isFloat()) return mute;
    return static_cast<std::uint8_t>(~mute);
}

// ---- Settlement ----

bool Sync::checkSinkSupport(FormatConfigure format) const {
    const std::uint64_t f = format;
    auto holds = [f](std::uint64_t mask) { return (mask & f) == f; };
    if (format.isPCM()) return holds(sincSupportPCM);
    if (format.isDSD()) {
        if (format.isDSDlsb()) return holds(sincSupportDSDlsb);
        if (format.isDSDmsb()) return holds(sincSupportDSDmsb);
        return holds(static_cast<std::uint64_t>(sincSupportDSDlsb) | static_cast<std::uint64_t>(sincSupportDSDmsb));
    }
    return false;
}

bool Sync::setSinkConfigure(FormatConfigure format) {
    // Every byte rate and cycle follows from the rate: a rate that reads 0
    // (the 8000 base, no or several rate bits) would send empty messages.
    if (format.getSpeed() == 0) {
        LEVEL_ERROR << "sinkConfig rate invalid " << static_cast<unsigned long>(format);
        return false;
    }
    if (checkSinkSupport(format)) {
        converter = &Sync::memcpySyncOrg;
        sendFormat = format;
        requestedFormat = format;
        convertOffset = 0;
        return true;
    }
    const std::uint64_t lsb = sincSupportDSDlsb;
    const std::uint64_t msb = sincSupportDSDmsb;
    if (!format.isDSD1() || format.getWid() != 4 || ((lsb | msb) & DSD1) == 0) return false;

    const bool lsbSource = format.isDSDlsb();
    const bool little = format.isDSDlittle();
    const std::uint64_t own = lsbSource ? lsb : msb;
    const std::uint64_t other = lsbSource ? msb : lsb;
    const bool ownWord = (own & DSD_WORD32) != 0;
    const bool otherWord = (other & DSD_WORD32) != 0;

    Conversion row{};
    if (lsbSource && little) {
        if (ownWord) row = {LSB_BIG, &Sync::memcpySyncByteSwap32, "DSD COVERT LSB littele -> LSB Big"};
        else if (otherWord && (other & DSD_BIG)) row = {MSB_BIG, &Sync::memcpySyncBitByteSwap32, "DSD COVERT LSB littele -> MSB Big"};
        else if (otherWord) row = {MSB_LITTLE, &Sync::memcpySyncBitSwap32, "DSD COVERT LSB littele -> MSB littele"};
    } else if (lsbSource) {
        if (ownWord) row = {LSB_LITTLE, &Sync::memcpySyncByteSwap32, "DSD COVERT LSB Big -> LSB littele"};
        else if (otherWord && (other & DSD_LITTLE)) row = {MSB_LITTLE, &Sync::memcpySyncBitByteSwap32, "DSD COVERT LSB Big -> MSB littele"};
        else if (otherWord) row = {MSB_BIG, &Sync::memcpySyncBitSwap32, "DSD COVERT LSB Big -> MSB Big"};
    } else if (little) {
        if (ownWord) row = {MSB_BIG, &Sync::memcpySyncByteSwap32, "DSD COVERT MSB littele -> MSB Big"};
        else if (otherWord && (other & DSD_BIG)) row = {LSB_BIG, &Sync::memcpySyncBitByteSwap32, "DSD COVERT MSB littele -> LSB Big"};
        else if (otherWord) row = {LSB_LITTLE, &Sync::memcpySyncBitSwap32, "DSD COVERT MSB littele -> LSB littele"};
    } else {
        if (ownWord) row = {MSB_LITTLE, &Sync::memcpySyncByteSwap32, "DSD COVERT MSB Big -> MSB littele"};
        else if (otherWord && (other & DSD_LITTLE)) row = {LSB_LITTLE, &Sync::memcpySyncBitByteSwap32, "DSD COVERT MSB Big -> LSB littele"};
        else if (otherWord) row = {LSB_BIG, &Sync::memcpySyncBitSwap32, "DSD COVERT MSB Big -> LSB Big"};
    }
    if (row.converter == nullptr) return false;

    LEVEL_INFO << row.text;
    FormatConfigure copy = format;
    if (!copy.setFormat(static_cast<FormatID>(row.target)) || !checkSinkSupport(copy)) return false;
    converter = row.converter;
    sendFormat = copy;
    requestedFormat = format;
    convertOffset = 0;
    return true;
}

// ---- Sizes for the profile maker ----

namespace {
struct NamedMask {
    const char* name;
    FormatSupport mask;
};
}  // namespace

std::uint32_t Sync::getNoneBaseMin() const {
    const NamedMask masks[] = {{"sincSupportPCM=", sincSupportPCM},
                               {"sincSupportDSDlsb=", sincSupportDSDlsb},
                               {"sincSupportDSDmsb=", sincSupportDSDmsb}};
    std::uint32_t best = 0xFFFFFFFFu;
    for (const NamedMask& m : masks) {
        if (static_cast<std::uint64_t>(m.mask) == 0) continue;
        const std::uint64_t wide = m.mask.getSpeedMultMin() * m.mask.getBitsMax() * m.mask.getChMax() / 8;
        const std::uint32_t si = static_cast<std::uint32_t>(wide);
        LEVEL_INFO << m.name << static_cast<unsigned long>(m.mask) << " si=" << si;
        if (si != 0 && si < best) best = si;
    }
    return best;
}

std::uint32_t Sync::getFrameMax() const {
    const NamedMask masks[] = {{"sincSupportPCM=", sincSupportPCM},
                               {"sincSupportDSDlsb=", sincSupportDSDlsb},
                               {"sincSupportDSDmsb=", sincSupportDSDmsb}};
    std::uint32_t best = 0;
    for (const NamedMask& m : masks) {
        if (static_cast<std::uint64_t>(m.mask) == 0) continue;
        const std::uint32_t fr = static_cast<std::uint32_t>(m.mask.getBitsMax() * m.mask.getChMax() / 8);
        LEVEL_INFO << m.name << static_cast<unsigned long>(m.mask) << " si=" << fr;
        if (fr > best) best = fr;
    }
    return best;
}

bool Sync::setPackSize(std::uint16_t mtu, std::uint16_t max) {
    const std::uint16_t size = static_cast<std::uint16_t>(static_cast<std::uint16_t>(mtu - 64) & 0xFFF6);
    // An MTU that leaves no payload (or wraps below the headers) is refused:
    // the limits keep their values.
    if (mtu <= 64 || size == 0) {
        LEVEL_WARNING << "setPackSize refused mtu " << static_cast<unsigned>(mtu);
        return false;
    }
    packDataSize = size;
    // A budget below one datagram per cycle gives 0 messages: the fixed and
    // variable profiles then have no room and fail, so the host falls back
    // to the automatic profile.
    packDataCount = max == 0xFFFF ? 0xFFFF : static_cast<std::uint16_t>(max / mtu);
    return true;
}

}  // namespace ZARNITH
