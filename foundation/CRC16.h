// CRC-16/USB: polynomial 0x8005 reflected (0xA001), initial 0xFFFF, final XOR 0xFFFF.
#pragma once

#include <array>
#include <cstdint>

#include "foundation/Buffer.h"

namespace ORVEX {

namespace crc16_detail {
constexpr std::array<std::uint16_t, 256> makeTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned v = i;
        for (int step = 0; step < 8; ++step) v = (v & 1u) ? (v >> 1) ^ 0xA001u : v >> 1;
        table[i] = static_cast<std::uint16_t>(v);
    }
    return table;
}
}  // namespace crc16_detail

class CRC16 {
public:
    // Entry i: byte i through eight reflected steps of 0xA001; built at compile time.
    static constexpr std::array<std::uint16_t, 256> Table = crc16_detail::makeTable();

    CRC16() = default;
    void clear() { crc = 0xFFFF; }
    void update(BufferCS_const bytes);
    // The checksum so far (the register complemented); update may go on.
    std::uint16_t get() const { return static_cast<std::uint16_t>(~crc); }

private:
    std::uint16_t crc = 0xFFFF;
};

}  // namespace ORVEX
