#include "foundation/CRC16.h"

namespace ORVEX {

static_assert(CRC16::Table[0] == 0x0000 && CRC16::Table[1] == 0xC0C1 && CRC16::Table[2] == 0xC181 &&
              CRC16::Table[3] == 0x0140);

void CRC16::update(BufferCS_const bytes) {
    if (bytes.data == nullptr) return;
    std::uint16_t r = crc;
    for (std::uint64_t i = 0; i < bytes.size; ++i)
        r = static_cast<std::uint16_t>((r >> 8) ^ Table[(r ^ bytes.data[i]) & 0xFF]);
    crc = r;
}

}  // namespace ORVEX
